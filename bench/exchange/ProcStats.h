#pragma once
// Clock, process memory figures and test data for the exchange benchmark.
#include <QCryptographicHash>
#include <QFile>
#include <QString>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace bench {

inline double now()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// CPU seconds of the whole process, threads that already ended included.
inline double processCpu()
{
    timespec ts {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

inline double threadCpu()
{
    timespec ts {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

inline long statusKiB(const char* key)
{
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long value = -1;
    const size_t keyLen = std::strlen(key);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, key, keyLen) == 0) {
            value = std::atol(line + keyLen);
            break;
        }
    }
    std::fclose(f);
    return value;
}

// A counter of /proc/<pid>/io ("wchar:" counts every byte the process
// wrote, to sockets too); -1 when unreadable.
inline long long ioCounter(pid_t pid, const char* key)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/io", int(pid));
    FILE* f = std::fopen(path, "r");
    if (!f)
        return -1;
    char line[256];
    long long value = -1;
    const size_t keyLen = std::strlen(key);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, key, keyLen) == 0) {
            value = std::atoll(line + keyLen);
            break;
        }
    }
    std::fclose(f);
    return value;
}

// Bytes an unprivileged writer may still put on the file system of `path`.
inline qint64 freeBytes(const QString& path)
{
    struct statvfs s {};
    if (::statvfs(QFile::encodeName(path).constData(), &s) != 0)
        return -1;
    return qint64(s.f_bavail) * qint64(s.f_frsize);
}

// Restarts VmHWM from the current RSS; false when the kernel refuses.
inline bool resetPeak()
{
    const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, "5", 1) == 1;
    ::close(fd);
    return ok;
}

// Real (not sparse) data, every MiB different; `seed` varies the content.
inline bool makeFile(const QString& path, qint64 size, quint32 seed = 12345)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    std::vector<char> block(size_t(std::min<qint64>(size, 1 << 20)) + 1);
    quint32 x = seed;
    for (char& c : block) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 16);
    }
    bool ok = true;
    for (qint64 done = 0; ok && done < size;) {
        const qint64 n = std::min<qint64>(qint64(block.size()) - 1, size - done);
        block[0] = char(done >> 20);
        ok = ::write(fd, block.data(), size_t(n)) == n;
        done += n;
    }
    ::fsync(fd);
    ::close(fd);
    return ok;
}

// A sparse file of `size` bytes: a hole with 4 KiB of data at the start of
// every MiB, each block different, so a shifted or spliced copy shows.
inline bool makeSparse(const QString& path, qint64 size, quint64 seed = 12345)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    bool ok = ::ftruncate(fd, size) == 0;
    std::vector<quint64> block(512);
    for (qint64 at = 0; ok && at < size; at += 1 << 20) {
        quint64 x = seed ^ quint64(at);
        for (quint64& w : block) {  // splitmix64
            x += 0x9E3779B97F4A7C15ull;
            quint64 z = x;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            w = z ^ (z >> 31);
        }
        const qint64 n = std::min<qint64>(4096, size - at);
        ok = ::pwrite(fd, block.data(), size_t(n), at) == n;
    }
    ::close(fd);
    return ok;
}

// Compares two files byte for byte (cheaper than hashing both). The offset
// of the first difference, or -1 when equal; a missing file or another size
// counts as a difference at 0.
inline qint64 firstDifference(const QString& a, const QString& b)
{
    QFile fa(a), fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size())
        return 0;
    std::vector<char> ba(4 << 20), bb(4 << 20);
    for (qint64 at = 0;;) {
        const qint64 na = fa.read(ba.data(), qint64(ba.size()));
        const qint64 nb = fb.read(bb.data(), qint64(bb.size()));
        if (na != nb || na < 0)
            return at;
        if (na == 0)
            return -1;
        if (std::memcmp(ba.data(), bb.data(), size_t(na)) != 0) {
            const auto d = std::mismatch(ba.begin(), ba.begin() + na, bb.begin());
            return at + (d.first - ba.begin());
        }
        at += na;
    }
}

inline QByteArray sha256(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(&f);
    return h.result().toHex();
}

} // namespace bench

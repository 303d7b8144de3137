#pragma once
// Clock, process memory figures and test data for the exchange benchmark.
#include <QCryptographicHash>
#include <QFile>
#include <QString>

#include <fcntl.h>
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

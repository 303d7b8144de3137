// Moves one large file over loopback three ways: a plain TCP copy written
// for the comparison (one read/send per chunk, one write per chunk), the
// engine's pull (ReceiveFile against ServeFile) and its push (PushFile
// against ReceivePushedFile), all with the same chunk size. The receiving
// side runs in a child process so its peak memory can be measured on its
// own. Prints MB/s, CPU seconds per GiB and the receiver's peak memory
// growth, and the ratios against the plain copy.
//
// A second, smaller size is run the same way to show that the receiver's
// memory does not grow with the file. Exits non-zero when a run fails or a
// target is missed.
//
//   bench_transfer [size-MiB=1024] [temp-dir=<build>/benchtmp] [rounds=3] [small-MiB=256]
#include "core/protocol/Commands.h"
#include "core/protocol/FileDigest.h"
#include "core/protocol/HeaderBlock.h"
#include "core/protocol/TCRFileRec.h"
#include "core/protocol/TcpConnection.h"
#include "core/protocol/TcpListener.h"
#include "core/protocol/TransferEngine.h"
#include "core/protocol/Transport.h"
#include "exchange/ProcStats.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

using namespace corvid;

using bench::now;
using bench::resetPeak;
using bench::statusKiB;

namespace {

constexpr qint64 kChunk = 65536;

enum class Mode { Plain, Pull, Push };

const char* modeName(Mode m)
{
    switch (m) {
    case Mode::Plain: return "plain copy ";
    case Mode::Pull: return "engine pull";
    case Mode::Push: return "engine push";
    }
    return "?";
}

struct Report {  // sent by the receiving child through a pipe
    int ok = 0;
    int peakReset = 0;      // whether the peak memory counter could be restarted
    int status = -1;        // TransferStatus of the engine runs
    double wall = 0;        // seconds, from the first request to the last byte on disk
    double cpu = 0;         // receiver's CPU seconds
    long memGrowthKiB = 0;  // peak RSS during the transfer minus RSS before it
};

struct Figures {
    double mbps = 0;
    double cpuPerGiB = 0;
    double sendCpu = 0;
    double recvCpu = 0;
    long memKiB = 0;
    bool ok = false;
};

double processCpu()
{
    rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

bool makeSource(const QString& path, qint64 size)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    std::vector<char> block(1 << 20);
    quint32 x = 12345;
    for (char& c : block) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 16);
    }
    for (qint64 done = 0; done < size;) {
        const qint64 n = std::min<qint64>(qint64(block.size()), size - done);
        block[0] = char(done >> 20);  // every MiB differs
        if (::write(fd, block.data(), size_t(n)) != n) {
            ::close(fd);
            return false;
        }
        done += n;
    }
    ::fsync(fd);
    ::close(fd);
    return true;
}

bool sameFiles(const QString& a, const QString& b)
{
    QFile fa(a), fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly) || fa.size() != fb.size())
        return false;
    while (!fa.atEnd()) {
        if (fa.read(1 << 20) != fb.read(1 << 20))
            return false;
    }
    return true;
}

std::shared_ptr<TCRFileRec> runningRecord(const QString& path)
{
    auto rec = std::make_shared<TCRFileRec>();
    rec->LocalPath = path;
    rec->ReceiveFolder = QFileInfo(path).absolutePath();
    rec->ListItem = std::make_shared<RowLink>(1, RowState::Transferring);
    auto toggle = std::make_shared<RunToggle>();
    toggle->SetPressed(true);
    rec->RunButton = toggle;
    return rec;
}

// ---- plain copy, written for the comparison --------------------------------

bool plainSend(int sock, int fd, qint64 size)
{
    std::vector<char> buf(kChunk);
    for (qint64 pos = 0; pos < size;) {
        const qint64 n = std::min(kChunk, size - pos);
        if (::pread(fd, buf.data(), size_t(n), pos) != n)
            return false;
        for (qint64 sent = 0; sent < n;) {
            const ssize_t w = ::send(sock, buf.data() + sent, size_t(n - sent), MSG_NOSIGNAL);
            if (w <= 0)
                return false;
            sent += w;
        }
        pos += n;
    }
    return true;
}

bool plainReceive(int sock, int fd, qint64 size)
{
    std::vector<char> buf(kChunk);
    for (qint64 pos = 0; pos < size;) {
        const qint64 n = std::min(kChunk, size - pos);
        for (qint64 got = 0; got < n;) {
            const ssize_t r = ::recv(sock, buf.data() + got, size_t(n - got), 0);
            if (r <= 0)
                return false;
            got += r;
        }
        if (::write(fd, buf.data(), size_t(n)) != n)
            return false;
        pos += n;
    }
    return true;
}

// ---- the receiving child -----------------------------------------------------

Report receiveSide(Mode mode, TcpListener& listener, quint16 port, const QString& dest, qint64 size)
{
    Report r;
    TcpConnection c;
    if (mode == Mode::Push) {
        auto accepted = listener.accept();
        if (!accepted)
            return r;
        c = std::move(*accepted);
    } else if (!c.connectTo(QStringLiteral("127.0.0.1"), port, 5000)) {
        return r;
    }
    auto rec = runningRecord(dest);
    rec->ExpectedSize = size;
    HeaderBlock m;
    if (mode == Mode::Push && Commands::ReadCommand(c, m, 10000) != CmdSend)
        return r;

    r.peakReset = resetPeak() ? 1 : 0;
    if (!r.peakReset)
        return r;
    const long rssBefore = statusKiB("VmRSS:");
    const double cpu0 = processCpu();
    const double t0 = now();
    switch (mode) {
    case Mode::Plain: {
        const int fd = ::open(QFile::encodeName(dest).constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        r.ok = fd >= 0 && c.writeAll("go", 2) && plainReceive(c.fd(), fd, size);
        if (fd >= 0)
            ::close(fd);
        break;
    }
    case Mode::Pull: {
        const TransferOutcome o = TransferEngine::ReceiveFile(c, kToken, *rec, kChunk);
        r.ok = o.ok();
        r.status = int(o.status());
        break;
    }
    case Mode::Push: {
        const TransferOutcome o = TransferEngine::ReceivePushedFile(c, kToken, *rec, m, kChunk);
        r.ok = o.ok();
        r.status = int(o.status());
        break;
    }
    }
    r.wall = now() - t0;
    r.cpu = processCpu() - cpu0;
    r.memGrowthKiB = statusKiB("VmHWM:") - rssBefore;
    return r;
}

// ---- the sending parent ------------------------------------------------------

bool checked(const TransferOutcome& o)
{
    if (!o.ok())
        std::printf("  sending side: %s\n", TransferOutcome::StatusName(o.status()));
    return o.ok();
}

bool sendSide(Mode mode, TcpListener& listener, quint16 port, const QString& source, qint64 size)
{
    TcpConnection c;
    if (mode == Mode::Push) {
        if (!c.connectTo(QStringLiteral("127.0.0.1"), port, 5000))
            return false;
    } else {
        auto accepted = listener.accept();
        if (!accepted)
            return false;
        c = std::move(*accepted);
    }
    auto rec = runningRecord(source);
    switch (mode) {
    case Mode::Plain: {
        QByteArray go;
        while (go.size() < 2)
            if (c.readSome(go, 2 - go.size(), 10000) != ReadStatus::Ok)
                return false;
        const int fd = ::open(QFile::encodeName(source).constData(), O_RDONLY);
        const bool ok = fd >= 0 && plainSend(c.fd(), fd, size);
        if (fd >= 0)
            ::close(fd);
        return ok;
    }
    case Mode::Pull: {
        HeaderBlock j;
        if (Commands::ReadCommand(c, j, 10000) != CmdRecv)
            return false;
        rec->StartPosition = Header::IntValue(j, "StartPosition").value_or(-1);
        return checked(TransferEngine::ServeFile(c, kToken, *rec, kChunk));
    }
    case Mode::Push:
        return checked(TransferEngine::PushFile(c, kToken, *rec, kChunk));
    }
    return false;
}

bool runOnce(Mode mode, const QString& source, const QString& dest, qint64 size, Figures& out)
{
    QFile::remove(dest);
    TcpListener listener;
    if (!listener.listen(0))
        return false;
    const quint16 port = listener.port();
    int pipeFd[2];
    if (::pipe(pipeFd) != 0)
        return false;
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFd[0]);
        const Report r = receiveSide(mode, listener, port, dest, size);
        (void)!::write(pipeFd[1], &r, sizeof r);
        ::_exit(0);
    }
    ::close(pipeFd[1]);
    const double cpu0 = processCpu();
    const bool sent = sendSide(mode, listener, port, source, size);
    const double sendCpu = processCpu() - cpu0;
    Report r;
    const bool got = ::read(pipeFd[0], &r, sizeof r) == ssize_t(sizeof r);
    if (got && !r.peakReset)
        std::printf("  receiving side: cannot write /proc/self/clear_refs, no peak memory figure\n");
    if (got && !r.ok && r.status >= 0)
        std::printf("  receiving side: %s\n", TransferOutcome::StatusName(TransferStatus(r.status)));
    ::close(pipeFd[0]);
    ::waitpid(child, nullptr, 0);

    const double gib = double(size) / double(1 << 30);
    out.ok = sent && got && r.ok && sameFiles(source, dest);
    out.mbps = r.wall > 0 ? double(size) / r.wall / 1e6 : 0;
    out.sendCpu = sendCpu / gib;
    out.recvCpu = r.cpu / gib;
    out.cpuPerGiB = out.sendCpu + out.recvCpu;
    out.memKiB = r.memGrowthKiB;
    QFile::remove(dest);
    return out.ok;
}

Figures median(std::vector<Figures> runs)
{
    std::sort(runs.begin(), runs.end(), [](const Figures& a, const Figures& b) { return a.mbps < b.mbps; });
    Figures m = runs[runs.size() / 2];
    // CPU: the run with the median total, with that run's own two parts.
    std::vector<Figures> byCpu = runs;
    std::sort(byCpu.begin(), byCpu.end(), [](const Figures& a, const Figures& b) { return a.cpuPerGiB < b.cpuPerGiB; });
    const Figures& c = byCpu[byCpu.size() / 2];
    m.cpuPerGiB = c.cpuPerGiB;
    m.sendCpu = c.sendCpu;
    m.recvCpu = c.recvCpu;
    // Memory: the worst peak.
    for (const Figures& f : runs)
        m.memKiB = std::max(m.memKiB, f.memKiB);
    return m;
}

const Mode kModes[] = {Mode::Plain, Mode::Pull, Mode::Push};

// All rounds of the three ways for one size; the medians per way in `out`.
// False when a run failed.
bool benchSize(qint64 size, const QString& dir, int rounds, Figures (&out)[3])
{
    const QString source = dir + QStringLiteral("/send/data.bin");
    const QString dest = dir + QStringLiteral("/recv/data.bin");
    std::printf("\n%lld bytes, chunk %lld, %d rounds\n", size, kChunk, rounds);
    if (!makeSource(source, size)) {
        std::printf("cannot create %s\n", qPrintable(source));
        return false;
    }
    std::vector<Figures> runs[3];
    bool allOk = true;
    for (int round = 0; round < rounds; ++round) {
        for (int m = 0; m < 3; ++m) {
            Figures f;
            if (!runOnce(kModes[m], source, dest, size, f)) {
                std::printf("%s: round %d FAILED\n", modeName(kModes[m]), round + 1);
                allOk = false;
            }
            std::printf("  round %d %s: %8.1f MB/s  CPU %.3f s/GiB (send %.3f + receive %.3f)  peak +%ld KiB\n",
                        round + 1, modeName(kModes[m]), f.mbps, f.cpuPerGiB, f.sendCpu, f.recvCpu, f.memKiB);
            runs[m].push_back(f);
        }
    }
    QFile::remove(source);
    for (int m = 0; m < 3; ++m)
        out[m] = median(runs[m]);
    return allOk;
}

} // namespace

// The digest two of our own peers check every file with, over bytes in
// memory (best of three passes over 256 MiB): its own cost, apart from any
// disk or socket.
double digestMBps()
{
    const QByteArray bytes(256 << 20, 'x');
    double best = 0;
    for (int pass = 0; pass < 3; ++pass) {
        FileDigest d;
        const double t0 = now();
        d.Update(bytes.constData(), bytes.size());
        const QByteArray text = d.Text();
        const double t = now() - t0;
        if (t > 0 && !text.isEmpty())
            best = std::max(best, bytes.size() / t / 1e6);
    }
    return best;
}

int main(int argc, char** argv)
{
    const qint64 sizeMiB = argc > 1 ? std::atoll(argv[1]) : 1024;
    // Default: benchtmp in the build folder (the program sits in its bench/).
    // Cleaned, since a receive folder must be.
    const QString dir = QDir::cleanPath(
        argc > 2 && argv[2][0] ? QFileInfo(QString::fromLocal8Bit(argv[2])).absoluteFilePath()
                               : QFileInfo(QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath())
                                     .dir()
                                     .absoluteFilePath(QStringLiteral("../benchtmp")));
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    const qint64 smallMiB = argc > 4 ? std::atoll(argv[4]) : 256;
    const qint64 size = std::min<qint64>(sizeMiB << 20, TransferEngine::kMaxFileSize);
    const qint64 smallSize = std::min<qint64>(smallMiB << 20, size);
    // Same name on both sides, as a listed file has.
    QDir().mkpath(dir + QStringLiteral("/send"));
    QDir().mkpath(dir + QStringLiteral("/recv"));
    std::printf("bench_transfer: files in %s\n", qPrintable(dir));

    Figures big[3], small[3];
    bool allOk = benchSize(size, dir, rounds, big);
    const bool twoSizes = smallSize > 0 && smallSize < size;
    if (twoSizes)
        allOk = benchSize(smallSize, dir, rounds, small) && allOk;
    QDir().rmdir(dir + QStringLiteral("/send"));
    QDir().rmdir(dir + QStringLiteral("/recv"));
    QDir().rmdir(dir);

    const Figures& plain = big[0];
    std::printf("\nmedian of %d rounds at %lld bytes (CPU: the run with the median total, both sides; memory: the "
                "receiving side's worst peak growth)\n",
                rounds, size);
    const long memLimitKiB = long(kChunk / 1024) + 2048;
    bool targets = allOk;
    for (int m = 0; m < 3; ++m) {
        const Figures& f = big[m];
        const double speedRatio = plain.mbps > 0 ? f.mbps / plain.mbps : 0;
        const double cpuRatio = plain.cpuPerGiB > 0 ? f.cpuPerGiB / plain.cpuPerGiB : 0;
        std::printf("%s: %8.1f MB/s  %.3f CPU s/GiB (send %.3f + receive %.3f)  peak memory +%ld KiB",
                    modeName(kModes[m]), f.mbps, f.cpuPerGiB, f.sendCpu, f.recvCpu, f.memKiB);
        if (twoSizes)
            std::printf(" (+%ld KiB at %lld MiB)", small[m].memKiB, smallSize >> 20);
        if (m > 0) {
            const bool memMet = f.memKiB <= memLimitKiB && (!twoSizes || small[m].memKiB <= memLimitKiB);
            const bool met = speedRatio >= 0.8 && cpuRatio <= 1.25 && memMet;
            targets = targets && met;
            std::printf("  speed %.2f of plain, CPU %.2fx plain  [%s]", speedRatio, cpuRatio, met ? "met" : "MISSED");
        }
        std::printf("\n");
    }
    // The digest runs beside the copy on both sides: it must be far faster
    // than the copy it checks.
    const double digest = digestMBps();
    const bool digestMet = plain.mbps > 0 && digest >= 2 * plain.mbps;
    targets = targets && digestMet;
    std::printf("digest (XXH3-128, in memory): %8.1f MB/s, %.1fx the plain copy  [%s: at least 2x]\n", digest,
                plain.mbps > 0 ? digest / plain.mbps : 0.0, digestMet ? "met" : "MISSED");
    std::printf("targets: speed >= 0.80 of plain, CPU <= 1.25x plain, memory growth <= %ld KiB (chunk + 2 MiB) "
                "at every size, digest >= 2x plain: %s\n",
                memLimitKiB, targets ? "all met" : "NOT met");
    return targets ? 0 : 1;
}

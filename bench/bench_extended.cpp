// Two real program instances between them exchange what only two of our own
// can: files past 2 GiB, folder trees, and receptions resumed after the
// receiver was killed. Each instance is a child process with its own folder,
// corvid.ini (no router search, no update check), main window and transfer
// window (offscreen), driven through its windows. Every target is printed
// with its yardstick and the ratio; an OpenSSL TLS copy of the same bytes
// in the same run is the yardstick for rates (two of our own encrypt).
//
//   bench_extended big [size-MiB=5120] [rounds=3]
//       one sparse file pulled and pushed; rate >= 0.9 x TLS copy (best
//       round against best round), receiver's peak growth <= chunk + 8 MiB,
//       received bytes equal
//   bench_extended tree [files=2000] [levels=3] [folder|files]
//       a tree of files (1 KiB..1 MiB, Japanese names with blanks) dropped on
//       the sending transfer window as its folder (or, "files", as its files),
//       both roles: all Done <= 5 s after "受信開始", received tree equal
//   bench_extended kill [tries=10] [size-MiB=5120]
//       the receiver SIGKILLed mid-file, restarted on the same folder and
//       settings, received again: every try complete, equal and resumed
//   bench_extended all      the three with their defaults
//
// Run inside `unshare -n` (loopback only). Temporary data goes under
// <executable's folder>/exttmp and is removed at the end. Exits 1 when a
// target is missed, 2 when a run could not be set up.
#include "exchange/FileTree.h"
#include "exchange/Harness.h"
#include "exchange/RunSupport.h"
#include "exchange/Targets.h"
#include "exchange/TlsCopy.h"

#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>

#include <climits>
#include <cmath>
#include <random>
#include <vector>

using namespace bench;

namespace {

constexpr qint64 kMiB = qint64(1) << 20;
constexpr qint64 kGiB = qint64(1) << 30;

Targets targets;

bool target(const std::string& name, const QString& figure, const QString& yardstick, double ratio, bool met)
{
    return targets.check(QString::fromStdString(name), figure, yardstick, ratio, met);
}

QString mb(double bytesPerSecond)
{
    return megabytesPerSecond(bytesPerSecond);
}

// The session's protocol number as the given instance sees it.
bool protocolTarget(const std::string& where, Instance& i)
{
    int n = -1;
    std::sscanf(i.command("protocol").c_str(), "ok %d", &n);
    return target(where + ": session's protocol number", QString::number(n), QStringLiteral("2"), NAN, n == 2);
}

// ---- big: one file pulled and pushed against a TLS copy ----

struct BigRound {
    double plain = 0;    // TLS copy, bytes/s
    double program = 0;  // first byte on disk to all Done (the digest check included), bytes/s
    double onDisk = 0;   // first to last byte on disk, bytes/s
    long memKiB = -1;
    bool equal = false;
};

BigRound bigRound(Instance& from, Instance& to, const QString& source, const QString& dest, qint64 size,
                  qint64 chunk)
{
    BigRound b;
    ::sync();  // no earlier run's dirty pages in the way
    // Two of our own encrypt: the yardstick is a TLS copy of the same bytes.
    const PlainCopy c = tlsCopy(source, dest + QStringLiteral(".tls"), size, chunk).copy;
    b.plain = c.span > 0 ? double(size) / c.span : 0;
    if (!from.ok("add " + source.toStdString()))
        return b;
    if (!from.ok("sendrows 1 5000")) {
        std::printf("  the sending window gave the file no row\n");
        return b;
    }
    if (!from.ok("send") || !to.ok("rows 1"))
        return b;
    ::sync();
    const Reception r = parseReception(to.command("receive " + QFileInfo(dest).fileName().toStdString() + " "
                                                      + std::to_string(size) + " "
                                                      + std::to_string(receiveTimeout(size)),
                                                  receiveTimeout(size) + 10000));
    if (r.ok && r.first >= 0 && r.done > r.first)
        b.program = double(size) / (r.done - r.first);
    if (r.ok && r.span > 0)
        b.onDisk = double(size) / r.span;
    b.memKiB = r.memKiB;
    const qint64 diff = r.ok ? firstDifference(source, dest) : 0;
    b.equal = r.ok && diff < 0;
    if (r.ok && diff >= 0)
        std::printf("  received copy differs from byte %lld\n", diff);
    QFile::remove(dest);
    from.ok("clear");
    to.ok("clear");
    return b;
}

bool bigDirection(const std::string& t, const char* title, Instance& from, Instance& to, const QString& source,
                  const QString& dest, qint64 size, qint64 chunk, int rounds)
{
    std::printf("\n%s, %d rounds\n", title, rounds);
    double plain = 0, program = 0;
    long mem = 0;
    int equal = 0;
    for (int i = 1; i <= rounds; ++i) {
        const BigRound b = bigRound(from, to, source, dest, size, chunk);
        std::printf("  round %d: TLS copy %s; program %s to all Done (%s first to last byte on disk), ratio "
                    "%.3f; receiver's peak growth %ld KiB; %s\n",
                    i, mb(b.plain).toUtf8().constData(), mb(b.program).toUtf8().constData(),
                    mb(b.onDisk).toUtf8().constData(), b.plain > 0 ? b.program / b.plain : 0.0, b.memKiB,
                    b.equal ? "received bytes equal" : "NOT equal");
        plain = std::max(plain, b.plain);
        program = std::max(program, b.program);
        mem = b.memKiB < 0 ? LONG_MAX : std::max(mem, b.memKiB);
        equal += b.equal ? 1 : 0;
    }
    const double ratio = plain > 0 ? program / plain : 0;
    bool met = target(t + ": best rate (digest included), ratio must be >= 0.9", mb(program),
                      QStringLiteral("best TLS copy ") + mb(plain), ratio, ratio >= 0.9);
    const qint64 limitKiB = (chunk + 8 * kMiB) / 1024;
    const bool known = mem != LONG_MAX;
    met &= target(t + ": receiver's worst peak memory growth",
                  known ? QStringLiteral("%1 KiB").arg(mem) : QStringLiteral("unknown"),
                  QStringLiteral("chunk + 8 MiB = %1 KiB").arg(limitKiB), known ? double(mem) / double(limitKiB) : NAN,
                  mem <= limitKiB);
    met &= target(t + ": received bytes equal the source", QStringLiteral("%1 of %2 rounds").arg(equal).arg(rounds),
                  QStringLiteral("%1 of %1").arg(rounds), double(equal) / rounds, equal == rounds);
    return met;
}

int bigMode(const QString& base, qint64 size, int rounds)
{
    std::printf("big: one sparse file of %lld bytes (%.2f GiB)\n", size, double(size) / double(kGiB));
    if (!enoughRoom(base, size + 2 * kGiB))
        return 2;
    const QString source = base + QStringLiteral("/大きな ファイル.bin");
    if (!makeSparse(source, size))
        return 2;
    Pair p(base);
    if (!p.startServer() || !p.startClient())
        return 2;
    const qint64 chunk = chunkOf(*p.client);
    std::printf("chunk %lld bytes\n", chunk);
    bool met = protocolTarget("big", *p.client);
    const QString name = QFileInfo(source).fileName();
    met &= bigDirection("big pull", "pull: the listening side offers, the connecting side presses \"受信開始\"",
                        *p.server, *p.client, source, p.recv("client") + name, size, chunk, rounds);
    met &= bigDirection("big push", "push: the connecting side offers, the listening side presses \"受信開始\"",
                        *p.client, *p.server, source, p.recv("server") + name, size, chunk, rounds);
    return met ? 0 : 1;
}

// ---- tree: a folder tree dropped on the sending window, both roles ----

double cpuSeconds(Instance& i)
{
    double process = 0, ui = 0;
    std::sscanf(i.command("cpu").c_str(), "ok %lf %lf", &process, &ui);
    return process;
}

bool treeRole(const std::string& t, const char* title, Instance& from, Instance& to, const QString& root,
              const QString& recvDir, const TreeFigures& want, qint64 total, bool dropFolder)
{
    std::printf("\n%s\n", title);
    const int files = int(want.size());
    const std::string dropped = from.command((dropFolder ? "drop " : "dropfiles ") + root.toStdString());
    int rows = -1;
    const std::string listed = from.command("sendrows " + std::to_string(files) + " 20000", 30000);
    std::sscanf(listed.c_str(), "%*s %d", &rows);
    std::printf("  drop: %s; the sending window lists %d rows of %d\n", dropped.c_str(), rows, files);
    Reception r;
    double cpuFrom = 0, cpuTo = 0;
    if (rows == files && from.ok("send") && to.ok("rows " + std::to_string(files))) {
        ::sync();
        cpuFrom = -cpuSeconds(from);
        cpuTo = -cpuSeconds(to);
        r = parseReception(to.command("receive - 0 120000", 130000));
        cpuFrom += cpuSeconds(from);
        cpuTo += cpuSeconds(to);
    }
    const TreeComparison c = compareTrees(want, treeFigures(recvDir));
    std::printf("  all Done %.3f s after \"受信開始\" (%.1f MB/s; CPU s sender %.2f, receiver %.2f); received "
                "tree: %d equal, %d differing, %d missing, %d extra%s\n",
                r.done, r.ok ? double(total) / r.done / 1e6 : 0.0, cpuFrom, cpuTo, c.equal, c.differing,
                c.missing, c.extra,
                c.firstBad.isEmpty() ? "" : qPrintable(QStringLiteral(" (first: \"%1\")").arg(c.firstBad)));
    bool met = target(t + ": all rows Done after \"受信開始\"",
                      r.ok ? QStringLiteral("%1 s").arg(r.done, 0, 'f', 3) : QStringLiteral("not all Done"),
                      QStringLiteral("5 s"), r.ok ? r.done / 5 : NAN, r.ok && r.done <= 5);
    met &= target(t + ": received tree equals the source (names, sizes, SHA-256)",
                  QStringLiteral("%1 of %2 equal, %3 extra").arg(c.equal).arg(files).arg(c.extra),
                  QStringLiteral("%1 of %1, 0 extra").arg(files), double(c.equal) / double(files),
                  c.equal == files && c.extra == 0);
    QDir(recvDir).removeRecursively();
    QDir().mkpath(recvDir);
    from.ok("clear");
    to.ok("clear");
    return met;
}

int treeMode(const QString& base, int files, int levels, bool dropFolder)
{
    const QString top = QStringLiteral("写真 アルバム");
    const QString root = base + QStringLiteral("/source/") + top;
    std::printf("tree: %d files of 1 KiB..1 MiB in %d levels of folders, dropped as %s\n", files, levels,
                dropFolder ? "the folder" : "its files");
    if (!enoughRoom(base, 3 * kGiB * qint64(std::max(files, 1)) / 2000 + kGiB))
        return 2;
    const qint64 total = makeTree(root, files, levels);
    if (total < 0)
        return 2;
    // A dropped folder's rows are named from its parent on; dropped files by
    // their own names.
    TreeFigures want;
    for (const auto& [name, entry] : treeFigures(root))
        want[dropFolder ? top + QLatin1Char('/') + name : QFileInfo(name).fileName()] = entry;
    std::printf("%lld bytes in %zu files, for example \"%s\"\n", total, want.size(),
                want.empty() ? "" : qPrintable(want.rbegin()->first));
    if (int(want.size()) != files)
        return 2;
    Pair p(base);
    if (!p.startServer() || !p.startClient())
        return 2;
    bool met = protocolTarget("tree", *p.client);
    met &= treeRole("tree, listening side sends",
                    "the listening side offers, the connecting side presses \"受信開始\"", *p.server, *p.client,
                    root, p.recv("client"), want, total, dropFolder);
    met &= treeRole("tree, connecting side sends",
                    "the connecting side offers, the listening side presses \"受信開始\"", *p.client, *p.server,
                    root, p.recv("server"), want, total, dropFolder);
    return met ? 0 : 1;
}

// ---- kill: the receiver killed mid-file, restarted, resumed ----

qint64 sizeOf(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? qint64(st.st_size) : -1;
}

int killMode(const QString& base, int tries, qint64 size)
{
    std::printf("kill: %d tries, one sparse file of %lld bytes pulled by the connecting side\n", tries, size);
    if (!enoughRoom(base, size + kGiB))
        return 2;
    const QString source = base + QStringLiteral("/途中 ファイル.bin");
    if (!makeSparse(source, size))
        return 2;
    std::mt19937 rng(std::random_device {}());
    std::uniform_real_distribution<double> where(0.1, 0.9);
    Pair p(base);
    if (!p.startServer())
        return 2;
    const QString dest = p.recv("client") + QFileInfo(source).fileName();
    const int timeout = receiveTimeout(size);
    int complete = 0, resumed = 0;
    bool met = true;
    for (int t = 1; t <= tries; ++t) {
        QFile::remove(dest);
        const qint64 killAt = qint64(where(rng) * double(size));
        if (!p.server->ok("add " + source.toStdString()) || !p.startClient() || !p.server->ok("sendrows 1 5000")
            || !p.server->ok("send") || !p.client->ok("rows 1"))
            return 2;
        if (t == 1)
            met &= protocolTarget("kill", *p.client);
        p.client->post("receive - 0 " + std::to_string(timeout));
        for (const double end = now() + timeout / 1000.0; sizeOf(dest) < killAt && now() < end;)
            ::usleep(100);
        p.client->kill();
        const qint64 atKill = sizeOf(dest);
        // Again: a new process on the same folder and corvid.ini.
        const bool again = p.startClient() && p.server->ok("send") && p.client->ok("rows 1");
        const long long wrote0 = again ? ioCounter(p.client->pid(), "wchar:") : -1;
        const Reception r = again ? parseReception(p.client->command("receive - 0 " + std::to_string(timeout),
                                                                     timeout + 10000))
                                  : Reception {};
        const long long wrote1 = again ? ioCounter(p.client->pid(), "wchar:") : -1;
        // What the new receiver wrote meanwhile (the file, and a few lines
        // of log and settings; sockets' send() is not counted): the whole
        // file when the reception started again from 0.
        const qint64 moved = wrote0 >= 0 && wrote1 >= wrote0 ? qint64(wrote1 - wrote0) : -1;
        const bool equal = r.ok && firstDifference(source, dest) < 0;
        const bool wasResumed = atKill > 0 && moved >= 0 && moved < size - atKill / 2;
        complete += equal ? 1 : 0;
        resumed += equal && wasResumed ? 1 : 0;
        std::printf("  try %2d: killed with %lld of %lld bytes (%.1f %%) in the partial copy; again: %s in %.2f s, "
                    "the receiver wrote %lld bytes (%.1f %% of the file: started near byte %lld), %s\n",
                    t, atKill, size, 100.0 * double(atKill) / double(size), equal ? "complete and equal" : "FAILED",
                    r.done, moved, 100.0 * double(moved) / double(size), size - moved,
                    wasResumed ? "resumed" : "NOT resumed");
        p.client.reset();
        p.server->ok("clear");
    }
    QFile::remove(dest);
    met &= target("kill: complete and equal after the restart", QStringLiteral("%1 of %2").arg(complete).arg(tries),
                  QStringLiteral("%1 of %1").arg(tries), double(complete) / tries, complete == tries);
    met &= target("kill: resumed (the receiver wrote less than the file minus half the partial copy)",
                  QStringLiteral("%1 of %2").arg(resumed).arg(tries), QStringLiteral("%1 of %1").arg(tries),
                  double(resumed) / tries, resumed == tries);
    return met ? 0 : 1;
}

int usage()
{
    std::printf("usage: bench_extended big [size-MiB=5120] [rounds=3]\n"
                "       bench_extended tree [files=2000] [levels=3] [folder|files]\n"
                "       bench_extended kill [tries=10] [size-MiB=5120]\n"
                "       bench_extended all\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    const QString mode = argc > 1 ? QString::fromLatin1(argv[1]) : QString();
    auto arg = [&](int i, long long fallback) { return argc > i ? std::atoll(argv[i]) : fallback; };
    const bool all = mode == QLatin1String("all");
    if (!all && mode != QLatin1String("big") && mode != QLatin1String("tree") && mode != QLatin1String("kill"))
        return usage();
    const QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    const QString base = QFileInfo(exe).absolutePath() + QStringLiteral("/exttmp");
    int rc = 0;
    auto run = [&](auto&& body) {
        QDir(base).removeRecursively();
        QDir().mkpath(base);
        rc = std::max(rc, body());
        QDir(base).removeRecursively();
    };
    if (all || mode == QLatin1String("big"))
        run([&] { return bigMode(base, (all ? 5120 : arg(2, 5120)) * kMiB, all ? 3 : int(arg(3, 3))); });
    if (all || mode == QLatin1String("tree")) {
        const bool folder = all || argc <= 4 || std::strcmp(argv[4], "files") != 0;
        run([&] { return treeMode(base, all ? 2000 : int(arg(2, 2000)), all ? 3 : int(arg(3, 3)), folder); });
    }
    if (all || mode == QLatin1String("kill"))
        run([&] { return killMode(base, all ? 10 : int(arg(2, 10)), (all ? 5120 : arg(3, 5120)) * kMiB); });
    targets.printSummary();
    std::printf("%s\n", rc == 0 ? "all targets met" : rc == 1 ? "TARGET MISSED" : "RUN FAILED");
    return rc;
}

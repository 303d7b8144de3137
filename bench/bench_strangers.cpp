// What a stranger costs the listening side while two instances talk: 1,000
// idle connections come from one stranger address (127.0.0.2, a child
// process that opens them again a second after each is closed) while the
// partner (127.0.0.1) chats both ways and fetches a small file again and
// again. Figures, each next to its yardstick:
//   - every chat message and every file arrives (the session is unaffected);
//   - the thread count of this process stays under its count before the
//     stranger plus the cap on accepted connections;
//   - resident memory grows less than 64 MiB.
// Runs past the idle limit, so the stranger's held connections are closed
// and taken again at least once. Exits non-zero when a target is missed.
#include "core/protocol/Commands.h"
#include "core/protocol/TcpConnection.h"
#include "core/protocol/TransferEngine.h"
#include "core/session/ConnectionServer.h"
#include "core/session/ILogSink.h"
#include "core/session/ISessionDispatch.h"
#include "core/session/SessionController.h"
#include "core/session/UiHandOver.h"
#include "core/settings/Conversions.h"
#include "core/transfer/TransferQueue.h"
#include "exchange/ProcStats.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

using namespace corvid;

namespace {

constexpr int kStrangers = 1000;
constexpr double kRunSeconds = 14;           // past the 10 s idle limit
constexpr qint64 kFileSize = 256 * 1024;
constexpr long kMemoryLimitKiB = 64 * 1024;

int threadCount()
{
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (const dirent* e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

// ---- the stranger: a child process with 1,000 silent connections ----------

struct StrangerFigures {
    long opened = 0;
    long closedByServer = 0;
    long maxHeld = 0;  // connections the server had not closed, at most
};

int openFrom(quint16 port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.2", &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0
        || (::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS)) {
        ::close(s);
        return -1;
    }
    return s;
}

// Holds kStrangers connections open until `control` closes; a connection the
// server closes is opened again a second later. Never sends a byte.
void stranger(int control, int report)
{
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4096);
    ::setrlimit(RLIMIT_NOFILE, &files);
    quint16 port = 0;
    if (::read(control, &port, sizeof port) != sizeof port)
        ::_exit(1);
    StrangerFigures f;
    std::vector<pollfd> fds(kStrangers + 1, pollfd{-1, POLLIN, 0});
    std::vector<double> reopenAt(kStrangers, 0);
    fds[kStrangers] = {control, POLLIN, 0};
    for (bool running = true; running;) {
        const double t = bench::now();
        long held = 0;
        for (int i = 0; i < kStrangers; ++i) {
            if (fds[i].fd < 0 && t >= reopenAt[i]) {
                fds[i].fd = openFrom(port);
                f.opened += fds[i].fd >= 0;
                reopenAt[i] = t + 1;
            }
            held += fds[i].fd >= 0;
        }
        f.maxHeld = std::max(f.maxHeld, held);
        if (::poll(fds.data(), fds.size(), 100) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < kStrangers; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char byte;
            if (::recv(fds[i].fd, &byte, 1, MSG_DONTWAIT) > 0)
                continue;  // never happens: the server says nothing to a stranger
            ::close(fds[i].fd);
            fds[i].fd = -1;
            reopenAt[i] = bench::now() + 1;
            ++f.closedByServer;
        }
        running = !(fds[kStrangers].revents & (POLLIN | POLLHUP));
    }
    (void)!::write(report, &f, sizeof f);
    ::_exit(0);
}

// ---- the two instances ------------------------------------------------------

// Counts received chat lines and when each arrived.
class ArrivalLog : public ILogSink {
public:
    void AddLogLine(const QString& text, int kind) override
    {
        if (kind != LineRecv)
            return;
        std::lock_guard lock(mutex_);
        arrived_.emplace(text.trimmed(), bench::now());
    }
    double arrival(const QString& text) const
    {
        std::lock_guard lock(mutex_);
        const auto it = arrived_.find(text);
        return it == arrived_.end() ? -1 : it->second;
    }

private:
    mutable std::mutex mutex_;
    std::map<QString, double> arrived_;
};

// The listening side's transfer half: serves file pulls from one folder.
class FileServing : public ISessionDispatch {
public:
    explicit FileServing(QString folder) : folder_(std::move(folder)) {}
    void AcceptPushedList(TcpConnection&, HeaderBlock&) override {}
    void AcceptPushedFile(TcpConnection&, HeaderBlock&) override {}
    void ServeListRequest(TcpConnection&, HeaderBlock&) override {}
    void ServeFileRequest(TcpConnection& c, HeaderBlock& block) override
    {
        TransferQueue q(QueueKind::Send);
        q.RunButton()->SetPressed(true);
        const QString name = QString::fromUtf8(Header::Value(block, "FileName"));
        const RowRef row = q.Append(name, Conversions::FormatThousands(kFileSize), folder_ + "/",
                                    RowState::Transferring);
        auto rec = q.MakeRecord(row);
        rec->StartPosition = Header::IntValue(block, "StartPosition").value_or(0);
        rec->DoneBytes = rec->StartPosition;
        TransferEngine::ServeFile(c, QByteArray(kToken), *rec, 65536);
    }
    void PeerListChanged() override {}
    void PeerAsksForList() override {}
    void PeerAsksForFile(const HeaderBlock&) override {}

private:
    QString folder_;
};

// The partner fetches the file over a transfer connection of its own.
bool fetch(quint16 port, const QString& recvDir, const QString& name)
{
    QFile::remove(recvDir + "/" + name);
    TransferQueue q(QueueKind::Receive);
    q.RunButton()->SetPressed(true);
    const RowRef row = q.Append(name, Conversions::FormatThousands(kFileSize), recvDir + "/", RowState::Transferring);
    auto rec = q.MakeRecord(row);
    TcpConnection c;
    if (!c.connectTo(QStringLiteral("127.0.0.1"), port, 5000))
        return false;
    return TransferEngine::ReceiveFile(c, QByteArray(kToken), *rec, 65536).ok();
}

void pump(double seconds)
{
    const double end = bench::now() + seconds;
    while (bench::now() < end)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

bool check(bool ok, const char* what)
{
    std::printf("  %-62s %s\n", what, ok ? "met" : "MISSED");
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    // The stranger is forked before any thread exists.
    int control[2], report[2];
    if (::pipe(control) != 0 || ::pipe(report) != 0)
        return 2;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(control[1]);
        ::close(report[0]);
        stranger(control[0], report[1]);
    }
    ::close(control[0]);
    ::close(report[1]);

    QCoreApplication app(argc, argv);
    QTemporaryDir sendDir, recvDir;
    const QString fileName = QStringLiteral("small.dat");
    if (!bench::makeFile(sendDir.path() + "/" + fileName, kFileSize))
        return 2;
    const QByteArray want = bench::sha256(sendDir.path() + "/" + fileName);

    ArrivalLog logA, logB;
    UiHandOver uiA, uiB;
    SessionController a(logA, uiA), b(logB, uiB);
    FileServing serving(sendDir.path());
    a.setDispatch(&serving);
    a.setUserName(QStringLiteral("Aki"));
    b.setUserName(QStringLiteral("Ben"));
    if (!a.startServer(0))
        return 2;
    a.setServerMode(true);
    const quint16 port = a.listeningPort();
    b.connectToPeer(QStringLiteral("127.0.0.1"), QString::number(port));
    for (double end = bench::now() + 5; !(b.isClientConnected() && a.hasServerSession()) && bench::now() < end;)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (!b.isClientConnected() || !a.hasServerSession()) {
        std::printf("the session did not start\n");
        return 2;
    }
    pump(0.3);
    const int threadsBefore = threadCount();
    const long rssBefore = bench::statusKiB("VmRSS:");

    (void)!::write(control[1], &port, sizeof port);
    pump(1.5);  // the stranger's first round is in

    int sent = 0, late = 0, fetches = 0, fetched = 0;
    int maxThreads = threadCount();
    long maxRss = bench::statusKiB("VmRSS:");
    std::vector<double> delays;
    std::vector<std::pair<QString, double>> pending;
    std::thread fetcher;
    std::atomic<bool> fetching{false};
    std::atomic<int> fetchedOk{0};
    const double start = bench::now();
    double nextMessage = start, nextFetch = start;
    while (bench::now() - start < kRunSeconds) {
        const double t = bench::now();
        if (t >= nextMessage) {
            const QString toB = QStringLiteral("a%1").arg(sent), toA = QStringLiteral("b%1").arg(sent);
            a.SendChatMessage(toB);
            b.SendChatMessage(toA);
            pending.emplace_back(toB, t);
            pending.emplace_back(toA, t);
            ++sent;
            nextMessage += 0.2;
        }
        if (t >= nextFetch && !fetching) {
            if (fetcher.joinable())
                fetcher.join();
            fetching = true;
            ++fetches;
            fetcher = std::thread([&] {
                if (fetch(port, recvDir.path(), fileName) && bench::sha256(recvDir.path() + "/" + fileName) == want)
                    ++fetchedOk;
                fetching = false;
            });
            nextFetch += 1.0;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        maxThreads = std::max(maxThreads, threadCount());
        maxRss = std::max(maxRss, bench::statusKiB("VmRSS:"));
    }
    if (fetcher.joinable())
        fetcher.join();
    pump(2);  // the last messages
    fetched = fetchedOk;
    for (const auto& [text, at] : pending) {
        const double arrived = std::max(logA.arrival(text), logB.arrival(text));
        if (arrived < 0)
            ++late;
        else
            delays.push_back(arrived - at);
    }
    const bool sessionUp = b.isClientConnected() && a.hasServerSession();
    const quint64 refused = a.refusedConnections();

    ::close(control[1]);
    StrangerFigures s;
    if (::read(report[0], &s, sizeof s) != sizeof s)
        s = {};
    ::waitpid(child, nullptr, 0);
    b.shutdown();
    a.shutdown();

    std::sort(delays.begin(), delays.end());
    const double median = delays.empty() ? -1 : delays[delays.size() / 2] * 1000;
    const double worst = delays.empty() ? -1 : delays.back() * 1000;
    const ConnectionLimits caps;
    const int threadLimit = threadsBefore + caps.total;
    const long growth = maxRss - rssBefore;

    std::printf("%d idle connections from 127.0.0.2 for %.0f s while the partner on 127.0.0.1 talks\n", kStrangers,
                kRunSeconds);
    std::printf("  stranger: %ld connections opened, %ld closed by the server, at most %ld held open on its side\n",
                s.opened, s.closedByServer, s.maxHeld);
    std::printf("  server: %llu turned away at once over a cap (caps: %d in all, %d per address, idle %d ms)\n",
                static_cast<unsigned long long>(refused), caps.total, caps.perAddress, caps.idleMs);
    std::printf("  chat: %zu of %zu messages arrived, median %.1f ms, worst %.1f ms\n", delays.size(), pending.size(),
                median, worst);
    std::printf("  files: %d of %d fetches of %lld KiB arrived whole\n", fetched, fetches,
                static_cast<long long>(kFileSize / 1024));
    std::printf("  threads: %d before the stranger, at most %d during; yardstick %d (before + the cap), ratio %.2f\n",
                threadsBefore, maxThreads, threadLimit, double(maxThreads) / threadLimit);
    std::printf("  memory: RSS grew by at most %ld KiB; yardstick %ld KiB, ratio %.3f\n", growth, kMemoryLimitKiB,
                double(growth) / kMemoryLimitKiB);

    bool ok = true;
    ok &= check(s.opened >= kStrangers, "the stranger's connections were all made");
    ok &= check(late == 0 && sessionUp, "every chat message arrived and the session stayed up");
    ok &= check(fetches > 0 && fetched == fetches, "every file arrived whole");
    ok &= check(maxThreads < threadLimit, "thread count under the cap");
    ok &= check(growth < kMemoryLimitKiB, "memory growth under 64 MiB");
    return ok ? 0 : 1;
}

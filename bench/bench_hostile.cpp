// What a hostile or merely large peer costs the program, each figure next to
// its yardstick:
//   1. a header block that never ends (32 MB of "a" CR LF): memory growth of
//      the reader against the bytes sent;
//   2. a file-list body of 64 MiB of line feeds: peak memory growth of
//      receiving and merging it against the body's own size;
//   3. merging a list of 64,000 distinct rows: time against a plain pass
//      that only splits the same lines into fields;
//   4. the client's dispatch of a block written by the listening side:
//      median latency of 100 against a plain loopback read of the same bytes;
//   5. a message body announced as 1.9 GB of which 10 bytes come: the
//      reader's virtual memory growth against the announcement;
//   6. peers that trickle, never read, never answer or never accept, on the
//      session: the UI thread's worst lateness, and the time to close in
//      the middle of each (hostile/SessionCases.h).
// Memory cases run in child processes so each peak is their own. Exits
// non-zero when a target is missed.
#include "core/protocol/Commands.h"
#include "core/protocol/FileListExchange.h"
#include "core/protocol/TcpConnection.h"
#include "core/protocol/TcpListener.h"
#include "core/protocol/Transport.h"
#include "core/session/ISessionDispatch.h"
#include "core/session/ILogSink.h"
#include "core/session/SessionController.h"
#include "core/session/UiHandOver.h"
#include "core/transfer/FileListText.h"
#include "core/transfer/TransferQueue.h"
#include "hostile/SessionCases.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

using namespace corvid;

namespace {

// Resident peak of this process in KiB.
qint64 peakKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// Peak of this process's address space in KiB: a reservation counts even
// before it is touched.
qint64 peakVirtualKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmPeak:"))
            return line.mid(7).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

struct Pair {
    TcpConnection client;
    TcpConnection server;
};

Pair connectedPair()
{
    TcpListener l;
    l.listen(0);
    Pair p;
    std::thread t([&] { p.client.connectTo(QStringLiteral("127.0.0.1"), l.port(), 2000); });
    auto c = l.accept();
    t.join();
    p.server = std::move(*c);
    return p;
}

// Runs `body` in a child and returns the number it writes back (-1 on failure).
qint64 inChild(const std::function<qint64()>& body)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        const qint64 v = body();
        (void)!::write(fds[1], &v, sizeof v);
        ::_exit(0);
    }
    ::close(fds[1]);
    qint64 v = -1;
    if (::read(fds[0], &v, sizeof v) != sizeof v)
        v = -1;
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return v;
}

bool check(bool ok, const char* what)
{
    std::printf("  %-58s %s\n", what, ok ? "met" : "MISSED");
    return ok;
}

class NullLog : public ILogSink {
public:
    void AddLogLine(const QString&, int) override {}
};

// Counts PeerAsksForList calls and tells the time of the last.
class TimingDispatch : public ISessionDispatch {
public:
    void AcceptPushedList(TcpConnection&, HeaderBlock&) override {}
    void AcceptPushedFile(TcpConnection&, HeaderBlock&) override {}
    void ServeListRequest(TcpConnection&, HeaderBlock&) override {}
    void ServeFileRequest(TcpConnection&, HeaderBlock&) override {}
    void PeerListChanged() override {}
    void PeerAsksForList() override { ++seen; }
    void PeerAsksForFile(const HeaderBlock&) override {}
    std::atomic<int> seen{0};
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    bool ok = true;

    // 1. Endless header block.
    const qint64 floodBytes = 32LL << 20;
    const qint64 headerGrowth = inChild([&] {
        Pair p = connectedPair();
        std::thread flood([&] {
            const QByteArray chunk = QByteArray("a\r\n").repeated(8192);
            for (qint64 sent = 0; sent < floodBytes && p.server.writeAll(chunk); sent += chunk.size())
                ;
        });
        const qint64 before = peakKiB();
        HeaderBlock b;
        while (p.client.isOpen())
            Transport::ReadHeader(p.client, b, 3000);
        const qint64 growth = peakKiB() - before;
        p.server.shutdown();
        flood.join();
        return growth;
    });
    std::printf("endless header block (%lld MiB offered)\n", floodBytes >> 20);
    std::printf("  reader memory growth %lld KiB = %.4f of the bytes offered\n", headerGrowth,
                double(headerGrowth) * 1024 / double(floodBytes));
    ok &= check(headerGrowth >= 0 && headerGrowth < 2048, "growth under 2 MiB");

    // 2. A list body of 64 MiB of line feeds.
    const qint64 body = 64LL << 20;
    const qint64 listGrowth = inChild([&] {
        Pair p = connectedPair();
        const qint64 before = peakKiB();
        std::thread sender([&] {
            Transport::SendContent(p.client, QByteArray(kToken), "FileList", QByteArray(body, '\n'));
        });
        HeaderBlock block;
        Commands::ReadCommand(p.server, block, 3000);
        const bool got = FileListExchange::ReceiveFileList(p.server, QByteArray(kToken), block);
        sender.join();
        TransferQueue q(QueueKind::Receive);
        FileListText::MergeWireLines(q, block, {QStringLiteral("/tmp/recv/")});
        return got ? peakKiB() - before : -1;
    });
    std::printf("file-list body of %lld MiB of line feeds\n", body >> 20);
    std::printf("  peak growth %lld KiB = %.2f x the body\n", listGrowth, double(listGrowth) * 1024 / double(body));
    ok &= check(listGrowth >= 0 && listGrowth < 256 * 1024, "peak growth under 256 MiB");

    // 3. Merging 64,000 distinct rows.
    QList<QByteArray> lines;
    for (int i = 0; i < 64000; ++i)
        lines.append("\"file" + QByteArray::number(i) + ".dat\",\"" + QByteArray::number(1000 + i) + "\",");
    QElapsedTimer t;
    t.start();
    qsizetype fields = 0;
    for (const QByteArray& l : lines)
        fields += FileListText::SplitFields(QString::fromLatin1(l)).size();
    const qint64 splitMs = t.elapsed();
    TransferQueue q(QueueKind::Receive);
    t.restart();
    FileListText::MergeWireLines(q, lines, {QStringLiteral("/tmp/recv/")});
    const qint64 mergeMs = t.elapsed();
    std::printf("merge of %lld distinct rows (%lld fields)\n", static_cast<long long>(lines.size()),
                static_cast<long long>(fields));
    std::printf("  merge %lld ms, plain field split %lld ms, ratio %.2f\n", mergeMs, splitMs,
                double(mergeMs) / double(std::max<qint64>(1, splitMs)));
    ok &= check(q.Count() == 64000 && mergeMs < 1000, "64,000 rows merged in under 1 s");

    // 4. Dispatch latency on the client's session connection.
    std::vector<double> plain;
    {
        Pair p = connectedPair();
        const HeaderBlock req{"Command=Recv", "UserAgent=CRV2/", "ContentType=FileList", ""};
        for (int i = 0; i < 100; ++i) {
            QElapsedTimer e;
            e.start();
            Transport::WriteHeader(p.server, req);
            HeaderBlock b;
            Commands::ReadCommand(p.client, b, 3000);
            plain.push_back(double(e.nsecsElapsed()) / 1e6);
        }
    }
    std::vector<double> dispatch;
    {
        TcpListener l;
        l.listen(0);
        NullLog log;
        UiHandOver ui;
        SessionController ctl(log, ui);
        TimingDispatch d;
        ctl.setDispatch(&d);
        ctl.setUserName(QStringLiteral("Ben"));
        TcpConnection server;
        std::thread accept([&] {
            auto c = l.accept();
            HeaderBlock hello;
            Commands::ReadCommand(*c, hello, 3000);
            Transport::WriteHeader(*c, {"Command=Connect", "Accept=True", "Protocol=1", "UserAgent=CRV2/", "Name=A", ""});
            server = std::move(*c);
        });
        ctl.connectToPeer(QStringLiteral("127.0.0.1"), QString::number(l.port()));
        while (!ctl.isClientConnected() || server.fd() < 0)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        accept.join();
        const HeaderBlock req{"Command=Recv", "UserAgent=CRV2/", "ContentType=FileList", ""};
        for (int i = 0; i < 100; ++i) {
            QElapsedTimer e;
            e.start();
            Transport::WriteHeader(server, req);
            while (d.seen <= i && e.elapsed() < 3000)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
            dispatch.push_back(double(e.nsecsElapsed()) / 1e6);
        }
        ctl.shutdown();
    }
    const double md = median(dispatch), mp = median(plain);
    const double slowest = *std::max_element(dispatch.begin(), dispatch.end());
    std::printf("block from the listening side to the client's dispatch (100 blocks)\n");
    std::printf("  median %.3f ms, max %.3f ms; plain loopback read %.3f ms; ratio %.1f; the old poll tick 500 ms\n", md,
                slowest, mp, md / std::max(mp, 1e-6));
    ok &= check(md < 50, "median under 50 ms");
    ok &= check(slowest < 250, "slowest under 250 ms (half the old tick)");

    // 5. A body announced as 1.9 GB of which 10 bytes come.
    const qint64 announced = 1900000000;
    const qint64 bodyGrowth = inChild([&] {
        Pair p = connectedPair();
        p.server.writeAll(QByteArray("0123456789"));
        p.server.shutdown();
        const qint64 before = peakVirtualKiB();
        QByteArray out;
        const bool read = Transport::ReadBody(p.client, out, announced);
        return read ? -1 : peakVirtualKiB() - before;
    });
    std::printf("message body announced as %lld bytes, 10 sent\n", announced);
    std::printf("  address space growth %lld KiB = %.4f of the announcement\n", bodyGrowth,
                double(bodyGrowth) * 1024 / double(announced));
    ok &= check(bodyGrowth >= 0 && bodyGrowth < 256 * 1024, "growth under 256 MiB");

    // 6. Hostile peers on the session.
    ok &= bench::hostileSessionPeers();
    return ok ? 0 : 1;
}

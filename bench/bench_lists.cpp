// A peer's file lists against a real program instance (listening, in a child
// process, offscreen, its own folder and corvid.ini), each figure beside its
// yardstick:
//   1. 64 MiB of one-byte lines ("x" LF) pushed as a list;
//   2. 64 MiB of lines naming one file with ever other sizes (the list is
//      cut at 100,000 rows);
//      each: peak memory growth of the instance under 256 MiB, worst
//      lateness of its UI thread under 100 ms;
//   3. a list of 100,000 distinct rows pushed while the peer pushes a 1 GiB
//      file into the instance (paced at 300 MB/s, a fast LAN, so that the
//      file is still arriving when the list has been taken): worst UI
//      lateness under 100 ms, merge and view update (from the body's last
//      byte sent to the view showing every row) under 1 s; then the
//      lateness up to the end of the file.
// The peer is this process, speaking the protocol through the program's own
// core: a session, a connection per list, and the file pushed when the
// instance asks for it. Run inside `unshare -n` (loopback only). Temporary
// data goes under <executable's folder>/liststmp and is removed at the end.
// Exits non-zero when a run fails or a target is missed.
//
//   bench_lists [cases=123]    LISTS_TRACE=1 prints each UI lateness over
//                              50 ms with its time, beside the list's times.
#include "exchange/Harness.h"
#include "lists/ListInstance.h"

#include "core/protocol/Commands.h"
#include "core/protocol/TcpConnection.h"
#include "core/protocol/TransferEngine.h"
#include "core/protocol/Transport.h"
#include "core/settings/Conversions.h"

#include <QDir>
#include <QFileInfo>

#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>

using namespace corvid;
using bench::freePort;
using bench::now;

namespace {

constexpr qint64 kMiB = 1 << 20;
constexpr qint64 kBigFile = 1024 * kMiB;

// The instance in its child process, spoken to through two pipes.
bench::Instance listInstance(const QString& dir)
{
    return bench::Instance([dir](int inFd, int outFd) { return bench::runListInstance(dir, inFd, outFd); });
}

// Keeps a send at a given rate by pausing after chunks that run ahead.
class Pacer : public CopyObserver {
public:
    explicit Pacer(double bytesPerSecond) : rate_(bytesPerSecond) {}
    void OnChunk(qint64 bytes) override
    {
        if (start_ == 0)
            start_ = now();
        sent_ += bytes;
        const double ahead = double(sent_) / rate_ - (now() - start_);
        if (ahead > 0)
            ::usleep(useconds_t(ahead * 1e6));
    }

private:
    const double rate_;
    double start_ = 0;
    qint64 sent_ = 0;
};

// The other side: the client role, by hand.
class Peer {
public:
    explicit Peer(quint16 port) : port_(port) { run_->SetPressed(true); }
    ~Peer()
    {
        stop_ = true;
        session_.shutdown();
        if (reader_.joinable())
            reader_.join();
        if (pusher_.joinable())
            pusher_.join();
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool connect()
    {
        if (!session_.connectTo(QStringLiteral("127.0.0.1"), port_, 5000))
            return false;
        HeaderBlock b;
        Header::MakeConnectHeader(b, 1, QByteArray(kToken), "Aki");
        HeaderBlock answer;
        if (!Transport::WriteHeader(session_, b) || Commands::ReadCommand(session_, answer, 3000) != CmdConnect
            || !Header::IsAccepted(answer))
            return false;
        reader_ = std::thread([this] { readSession(); });
        return true;
    }
    // Blocks E, F and the body on a connection of its own. True when the
    // body's last byte was written.
    bool pushList(const QByteArray& body)
    {
        TcpConnection c;
        return c.connectTo(QStringLiteral("127.0.0.1"), port_, 5000)
            && Transport::SendContent(c, QByteArray(kToken), "FileList", body);
    }
    // The file pushed when the instance asks for it.
    void offer(const QString& path) { source_ = path; }
    qint64 pushed() const { return rec_.DoneBytes.load(); }
    int pushState() const { return state_; }  // 0 not asked, 1 running, 2 done, 3 failed
    double pushEnded() const { return ended_; }

private:
    void readSession()
    {
        while (!stop_ && session_.isOpen()) {
            HeaderBlock b;
            if (Commands::ReadCommand(session_, b, 200) != CmdRecv || Header::GetContentType(b) != CtFile)
                continue;
            if (state_ != 0 || source_.isEmpty())
                continue;  // one push; repeated asks while it starts are ignored
            state_ = 1;
            const qint64 start = Header::IntValue(b, "StartPosition").value_or(0);
            pusher_ = std::thread([this, start] { push(start); });
        }
    }
    void push(qint64 start)
    {
        TcpConnection c;
        rec_.LocalPath = source_;
        rec_.StartPosition = start;
        rec_.RunButton = run_;
        rec_.ListItem = std::make_shared<RowLink>(1, RowState::Transferring);
        rec_.Observer = &pacer_;
        const bool ok = c.connectTo(QStringLiteral("127.0.0.1"), port_, 5000)
            && TransferEngine::PushFile(c, QByteArray(kToken), rec_, 65536).ok();
        ended_ = now();
        state_ = ok ? 2 : 3;
    }

    quint16 port_;
    TcpConnection session_;
    std::thread reader_;
    std::thread pusher_;
    std::atomic<bool> stop_{false};
    std::shared_ptr<RunToggle> run_ = std::make_shared<RunToggle>();
    QString source_;
    Pacer pacer_{300e6};
    TCRFileRec rec_;
    std::atomic<int> state_{0};
    std::atomic<double> ended_{0};
};

bool check(bool met, const char* what)
{
    std::printf("  %-62s %s\n", what, met ? "met" : "MISSED");
    return met;
}

QByteArray line(const QByteArray& name, qint64 size)
{
    return "\"" + name + "\",\"" + Conversions::FormatThousands(size).toLatin1() + "\",\r\n";
}

// One hostile list: memory and lateness of the instance while it takes it.
bool hostileList(bench::Instance& inst, Peer& peer, const char* what, const QByteArray& body, int arrivals, int rows)
{
    std::printf("%s (%lld MiB)\n", what, qlonglong(body.size() / kMiB));
    const std::vector<double> cpu0 = inst.numbers("cpu");
    if (!inst.ok("mark") || cpu0.size() != 1)
        return false;
    const double t0 = now();
    if (!peer.pushList(body)) {
        std::printf("  the push failed after %.3f s\n", now() - t0);
        return false;
    }
    const double sent = now();
    const std::vector<double> end = inst.numbers("lists " + std::to_string(arrivals) + " 120000", 130000);
    const std::vector<double> late = inst.numbers("late");
    const std::vector<double> peak = inst.numbers("peak");
    const std::vector<double> cpu1 = inst.numbers("cpu");
    if (end.size() != 3 || late.size() != 1 || peak.size() != 1 || cpu1.size() != 1)
        return false;
    std::printf("  body sent in %.3f s; merged %.3f s and shown %.3f s after its last byte; %d rows;\n"
                "  UI thread busy %.0f ms of processor time meanwhile\n",
                sent - t0, end[0] - sent, end[1] - sent, int(end[2]), cpu1[0] - cpu0[0]);
    std::printf("  peak memory growth %.1f MiB (yardstick 256 MiB): ratio %.2f\n", peak[0] / 1024,
                peak[0] / 1024 / 256);
    std::printf("  worst UI lateness %.1f ms (yardstick 100 ms): ratio %.2f\n", late[0], late[0] / 100);
    bool ok = check(int(end[2]) == rows, rows ? "rows as the cap allows" : "no row");
    ok &= check(peak[0] < 256 * 1024, "peak memory growth under 256 MiB");
    ok &= check(late[0] < 100, "worst UI lateness under 100 ms");
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    // Which cases run: "123" (all) by default.
    const std::string cases = argc > 1 ? argv[1] : "123";
    const auto runs = [&](char c) { return cases.find(c) != std::string::npos; };
    ::signal(SIGPIPE, SIG_IGN);
    const QString base = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath() + QStringLiteral("/liststmp");
    QDir(base).removeRecursively();
    QDir().mkpath(base + QStringLiteral("/instance"));
    bool ok = true;
    {
        bench::Instance inst = listInstance(base + QStringLiteral("/instance"));
        const quint16 port = freePort();
        Peer peer(port);
        if (!inst.ok("listen " + std::to_string(port)) || !peer.connect() || !inst.ok("session")) {
            std::printf("no session with the instance\n");
            return 1;
        }
        const int cap = 100000;

        // 1 and 2: the two fuzzing reproducers.
        int arrivals = 0;
        if (runs('1'))
            ok &= hostileList(inst, peer, "1. a list of one-byte lines", QByteArray("x\n").repeated(32 << 20),
                              ++arrivals, 0);
        if (runs('2')) {
            QByteArray same;
            same.reserve(64 * kMiB + 64);
            for (qint64 i = 1;; ++i) {
                const QByteArray l = line("movie.mp4", i);
                if (same.size() + l.size() > Transport::kMaxFileListBody)
                    break;  // the largest body a list may have
                same += l;
            }
            ok &= hostileList(inst, peer, "2. a list of one name with ever other sizes", same, ++arrivals, cap);
            ok &= inst.ok("clear");
        }
        if (!runs('3')) {
            QDir(base).removeRecursively();
            return ok ? 0 : 1;
        }

        // 3. 100,000 rows while 1 GiB arrives.
        std::printf("3. a list of 100,000 rows while a 1 GiB file arrives\n");
        const QString big = base + QStringLiteral("/big.bin");
        if (!bench::makeFile(big, kBigFile)) {
            std::printf("  cannot write the 1 GiB file\n");
            return 1;
        }
        peer.offer(big);
        if (!peer.pushList(line("big.bin", kBigFile)) || !inst.ok("lists " + std::to_string(++arrivals) + " 30000") || !inst.ok("recv"))
            return 1;
        for (const double end = now() + 30; peer.pushed() < kMiB && peer.pushState() < 2 && now() < end;)
            ::usleep(1000);
        if (peer.pushState() != 1) {
            std::printf("  the file did not start (state %d)\n", peer.pushState());
            return 1;
        }
        QByteArray rows;
        for (int i = 0; i < cap; ++i)
            rows += line("file" + QByteArray::number(i).rightJustified(6, '0') + ".dat", 1000 + i);
        const std::vector<double> cpu0 = inst.numbers("cpu");
        inst.ok("mark");
        const qint64 before = peer.pushed();
        const double start = now();
        const bool pushed = peer.pushList(rows);
        const double sent = now();
        if (qEnvironmentVariableIsSet("LISTS_TRACE"))
            std::fprintf(stderr, "list push %.3f to %.3f\n", start, sent);
        const std::vector<double> end = inst.numbers("lists " + std::to_string(++arrivals) + " 60000", 70000);
        if (qEnvironmentVariableIsSet("LISTS_TRACE") && end.size() == 3)
            std::fprintf(stderr, "merged %.3f, in line %.3f\n", end[0], end[1]);
        const std::vector<double> late = inst.numbers("late");
        const std::vector<double> cpu1 = inst.numbers("cpu");
        const qint64 after = peer.pushed();
        if (!pushed || end.size() != 3 || late.size() != 1 || cpu0.size() != 1 || cpu1.size() != 1)
            return 1;
        const double shown = end[1] - sent;
        std::printf("  list of %lld KiB; %lld MiB of the file arrived meanwhile\n", qlonglong(rows.size() / 1024),
                    qlonglong((after - before) / kMiB));
        std::printf("  merged %.3f s, shown %.3f s after the body's last byte (yardstick 1 s): ratio %.2f; %d rows\n",
                    end[0] - sent, shown, shown, int(end[2]));
        std::printf("  UI thread busy %.0f ms of processor time meanwhile\n", cpu1[0] - cpu0[0]);
        std::printf("  worst UI lateness %.1f ms (yardstick 100 ms): ratio %.2f\n", late[0], late[0] / 100);
        const bool during = peer.pushState() == 1 || peer.pushEnded() > end[1];
        ok &= check(int(end[2]) == cap + 1, "every row of the list in the queue (beside the file's)");
        ok &= check(during, "the file was still arriving when the view was in line");
        ok &= check(shown < 1.0, "merge and view update under 1 s");
        ok &= check(late[0] < 100, "worst UI lateness under 100 ms");
        for (const double stop = now() + 600; peer.pushState() == 1 && now() < stop;)
            ::usleep(10000);
        ::usleep(300000);  // the row's end step and the cursor passing the new rows
        const std::vector<double> tail = inst.numbers("late");
        const std::vector<double> state = inst.numbers("state big.bin");
        if (tail.size() == 1)
            std::printf("  worst UI lateness up to the file's end %.1f ms (yardstick 100 ms): ratio %.2f\n", tail[0],
                        tail[0] / 100);
        ok &= check(peer.pushState() == 2 && state.size() == 1 && int(state[0]) == int(RowState::Done),
                    "the file arrived whole");
        ok &= check(tail.size() == 1 && tail[0] < 100, "worst UI lateness to the file's end under 100 ms");
    }
    QDir(base).removeRecursively();
    return ok ? 0 : 1;
}

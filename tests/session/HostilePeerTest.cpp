// Peers that trickle, stop reading, never answer or never accept: the
// session goes on or fails with the usual lines, a new session works
// afterwards, and closing in the middle of it is clean. How late the UI
// thread runs meanwhile and how long closing takes are figures of
// bench_hostile, not checks here: a unit test's verdict must not depend on
// the machine's speed or load.
#include "SessionSide.h"

#include "core/protocol/Commands.h"
#include "core/protocol/TcpListener.h"
#include "core/protocol/Transport.h"

#include <QTest>
#include <QTimer>
#include <arpa/inet.h>
#include <condition_variable>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace corvid;
using namespace corvid::test;
using Outcome = SessionController::ConnectOutcome;

namespace {

// How long a wait for an event may take before the test fails; not a
// bound. The thread checker on a busy machine needs some 18 s to settle the
// deaf peer's 24 failed sends.
constexpr int kWaitMs = 60000;

// A thread that stops at once when told, between steps of its work.
class Stoppable {
public:
    ~Stoppable() { stop(); }
    void start(std::function<void(Stoppable&)> body)
    {
        thread_ = std::thread([this, body = std::move(body)] { body(*this); });
    }
    // Waits up to ms; false when told to stop.
    bool pause(int ms)
    {
        std::unique_lock lock(mutex_);
        return !cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_; });
    }
    void stop()
    {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

const HeaderBlock kAccept{"Command=Connect", "Accept=True", "Protocol=1", "UserAgent=CRV2/", "Name=Raw", ""};
const HeaderBlock kConnect{"Command=Connect", "Protocol=1", "UserAgent=CRV2/", "Name=Raw", ""};
const HeaderBlock kBigMessage{"Command=Send", "UserAgent=CRV2/", "ContentType=Message", "ContentLength=100,000", ""};

// Sends one body byte every 200 ms on a connection the caller set up.
void trickle(Stoppable& s, TcpConnection& c)
{
    Transport::WriteHeader(c, kBigMessage);
    while (s.pause(200) && c.writeAll(QByteArray("x")))
        ;
}

// A peer that listens and answers the handshake, then runs `after`.
struct RawServer {
    TcpListener listener;
    TcpConnection conn;
    Stoppable worker;
    explicit RawServer(std::function<void(Stoppable&, TcpConnection&)> after, bool answer = true)
    {
        EXPECT_TRUE(listener.listen(0));
        worker.start([this, after, answer](Stoppable& s) {
            {
                auto c = listener.accept();
                if (!c)
                    return;
                conn = std::move(*c);
                HeaderBlock b;
                Commands::ReadCommand(conn, b, 3000);
                if (answer)
                    Transport::WriteHeader(conn, kAccept);
                if (after)
                    after(s, conn);
                while (s.pause(50))
                    ;  // holds the connection open and unread
                return;
            }
        });
    }
    ~RawServer()
    {
        listener.close();
        conn.shutdown();
        worker.stop();
    }
    QString port() const { return QString::number(listener.port()); }
};

// A raw client that shakes hands with `server`, then runs `after`.
struct RawClient {
    TcpConnection conn;
    Stoppable worker;
    RawClient(quint16 port, std::function<void(Stoppable&, TcpConnection&)> after)
    {
        EXPECT_TRUE(conn.connectTo(QStringLiteral("127.0.0.1"), port, 2000));
        EXPECT_TRUE(Transport::WriteHeader(conn, kConnect));
        HeaderBlock reply;
        EXPECT_EQ(Commands::ReadCommand(conn, reply, 3000), CmdConnect);
        worker.start([this, after](Stoppable& s) {
            if (after)
                after(s, conn);
        });
    }
    ~RawClient()
    {
        conn.shutdown();
        worker.stop();
    }
};

// A port whose accept queue is full, so that a new connect is never answered.
struct SilentPort {
    int listenFd = -1;
    std::vector<int> fillers;
    quint16 port = 0;
    SilentPort()
    {
        listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listenFd, 0);
        socklen_t len = sizeof a;
        ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        for (int i = 0; i < 2; ++i) {
            const int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
            fillers.push_back(f);
        }
        QTest::qWait(100);  // the fillers' handshakes complete in the kernel
    }
    ~SilentPort()
    {
        for (int f : fillers)
            ::close(f);
        ::close(listenFd);
    }
};

// A fresh real session between two new sides works.
void expectNewSessionWorks()
{
    ServerSide a(QStringLiteral("Ann"));
    Side b(QStringLiteral("Bob"));
    EXPECT_EQ(b.connect(QStringLiteral("127.0.0.1"), a.port()), Outcome::Connected);
    QTRY_VERIFY_WITH_TIMEOUT(a.ctl.hasServerSession(), kWaitMs);
}

} // namespace

TEST(HostilePeer, TrickledMessageBodyEndsNeitherSession)
{
    // Client role: the server trickles a message on the session connection.
    RawServer server([](Stoppable& s, TcpConnection& c) { trickle(s, c); });
    Side client(QStringLiteral("Ben"));
    ASSERT_EQ(client.connect(QStringLiteral("127.0.0.1"), server.port()), Outcome::Connected);
    // Server role: a partner that shook hands trickles its message.
    ServerSide listening;
    RawClient partner(listening.ctl.listeningPort(), [](Stoppable& s, TcpConnection& c) { trickle(s, c); });
    QTRY_VERIFY_WITH_TIMEOUT(listening.ctl.hasServerSession(), kWaitMs);

    QTest::qWait(15000);  // a watch past the block read limit: a slow body alone ends nothing
    EXPECT_TRUE(client.ctl.isClientConnected());
    EXPECT_TRUE(listening.ctl.hasServerSession());
    // The session goes on meanwhile: the client still talks.
    EXPECT_TRUE(client.ctl.SendChatMessage(QStringLiteral("still here")));
    QTRY_VERIFY_WITH_TIMEOUT(client.log.kindOf(QStringLiteral("still here\r\n")) == LineOwn, kWaitMs);
}

TEST(HostilePeer, PeerThatNeverReadsFailsTheSendAndClosesTheSession)
{
    const QString big(1000 * 1000, QLatin1Char('x'));
    for (const bool serverRole : {false, true}) {
        SCOPED_TRACE(serverRole ? "server role" : "client role");
        std::unique_ptr<RawServer> server;
        std::unique_ptr<RawClient> partner;
        ServerSide listening;
        Side client(QStringLiteral("Ben"));
        Side& me = serverRole ? static_cast<Side&>(listening) : client;
        me.ctl.setSendStallMs(1000);
        if (serverRole) {
            partner = std::make_unique<RawClient>(listening.ctl.listeningPort(), nullptr);
            QTRY_VERIFY_WITH_TIMEOUT(listening.ctl.hasServerSession(), kWaitMs);
        } else {
            server = std::make_unique<RawServer>(nullptr);
            ASSERT_EQ(client.connect(QStringLiteral("127.0.0.1"), server->port()), Outcome::Connected);
        }
        // Far more than the socket buffers take, one Enter at a time.
        int sent = 0;
        QTimer typing;
        typing.setInterval(20);
        QObject::connect(&typing, &QTimer::timeout, [&] {
            if (sent < 24 && me.ctl.hasSessionConnection() && me.ctl.SendChatMessage(big))
                ++sent;
        });
        typing.start();
        QTRY_VERIFY_WITH_TIMEOUT(me.log.anyStartsWith(QStringLiteral("メッセージ送信失敗：xxx")), kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(me.log.contains(QStringLiteral("切断")), kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!me.ctl.hasSessionConnection(), kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!me.ctl.chatInFlight(), kWaitMs);
        typing.stop();
        EXPECT_GT(sent, 3);
    }
    expectNewSessionWorks();
}

TEST(HostilePeer, UnansweredHandshakeAndUnansweredConnectFailWithTheirLines)
{
    struct Case {
        const char* name;
        std::function<QString()> portOf;  // where the client connects
        QString line;
    };
    RawServer mute(nullptr, false);
    SilentPort silent;
    const std::vector<Case> cases{
        {"handshake never answered", [&] { return mute.port(); }, QStringLiteral("接続失敗")},
        {"connect never answered", [&] { return QString::number(silent.port); }, QStringLiteral("サーバが見つかりません")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Side b(QStringLiteral("Ben"));
        ASSERT_EQ(b.ctl.connectToPeer(QStringLiteral("127.0.0.1"), c.portOf()), Outcome::Pending);
        EXPECT_TRUE(b.ctl.isConnecting());
        // A second attempt cannot start while one runs.
        EXPECT_EQ(b.ctl.connectToPeer(QStringLiteral("127.0.0.1"), c.portOf()), Outcome::Busy);
        QTRY_VERIFY_WITH_TIMEOUT(b.log.contains(c.line), kWaitMs);
        EXPECT_EQ(b.log.kindOf(c.line), LineSys);
        EXPECT_FALSE(b.log.contains(QStringLiteral("切断")));  // there never was a peer
        EXPECT_FALSE(b.ctl.isConnecting());
    }
    expectNewSessionWorks();
}

TEST(HostilePeer, ClosingDuringEachCaseIsClean)
{
    RawServer mute(nullptr, false);
    SilentPort silent;
    RawServer trickler([](Stoppable& s, TcpConnection& c) { trickle(s, c); });
    RawServer deaf(nullptr);
    const std::vector<std::pair<const char*, QString>> targets{
        {"handshake never answered", mute.port()},
        {"connect never answered", QString::number(silent.port)},
        {"trickled message", trickler.port()},
        {"never reads", deaf.port()},
    };
    for (const auto& [name, port] : targets) {
        SCOPED_TRACE(name);
        auto b = std::make_unique<Side>(QStringLiteral("Ben"));
        b->ctl.connectToPeer(QStringLiteral("127.0.0.1"), port);
        QTest::qWait(300);  // well inside each peer's stall
        if (b->ctl.isClientConnected())
            for (int i = 0; i < 8; ++i)
                b->ctl.SendChatMessage(QString(1000 * 1000, QLatin1Char('y')));
        b.reset();  // every thread wakes at the shutdown and is joined
    }
    // The listening side with a trickling partner closes as cleanly: its
    // reader waits on a body that would take hours to arrive.
    auto a = std::make_unique<ServerSide>();
    RawClient partner(a->ctl.listeningPort(), [](Stoppable& s, TcpConnection& c) { trickle(s, c); });
    QTRY_VERIFY_WITH_TIMEOUT(a->ctl.hasServerSession(), kWaitMs);
    a.reset();
}

// Peers that trickle, stop reading, never answer or never accept: the
// session goes on or fails with the usual lines, a new session works
// afterwards, and closing in the middle of it is clean. How late the UI
// thread runs meanwhile and how long closing takes are figures of
// bench_hostile, not checks here: a unit test's verdict must not depend on
// the machine's speed or load.
#include "HostilePeers.h"
#include "SessionSide.h"

#include <QTest>
#include <gtest/gtest.h>

using namespace corvid;
using namespace corvid::test;
using Outcome = SessionController::ConnectOutcome;

namespace {

// How long a wait for an event may take before the test fails; not a
// bound. The thread checker on a busy machine needs some 18 s to settle the
// deaf peer's 24 failed sends.
constexpr int kWaitMs = 60000;

// The raw peers are set up as the cases need them.
void expectListening(const RawServer& s)
{
    EXPECT_TRUE(s.listening);
}

void expectShookHands(const RawClient& c)
{
    EXPECT_TRUE(c.connected);
    EXPECT_TRUE(c.greeted);
    EXPECT_EQ(c.reply, CmdConnect);
}

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
    RawServer server(trickle);
    expectListening(server);
    Side client(QStringLiteral("Ben"));
    ASSERT_EQ(client.connect(QStringLiteral("127.0.0.1"), server.port()), Outcome::Connected);
    // Server role: a partner that shook hands trickles its message.
    ServerSide listening;
    RawClient partner(listening.ctl.listeningPort(), trickle);
    expectShookHands(partner);
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
            expectShookHands(*partner);
            QTRY_VERIFY_WITH_TIMEOUT(listening.ctl.hasServerSession(), kWaitMs);
        } else {
            server = std::make_unique<RawServer>(nullptr);
            expectListening(*server);
            ASSERT_EQ(client.connect(QStringLiteral("127.0.0.1"), server->port()), Outcome::Connected);
        }
        // Far more than the socket buffers take, one Enter at a time.
        Typist typing(me.ctl, big);
        QTRY_VERIFY_WITH_TIMEOUT(me.log.anyStartsWith(QStringLiteral("メッセージ送信失敗：xxx")), kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(me.log.contains(QStringLiteral("切断")), kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!me.ctl.hasSessionConnection(), kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!me.ctl.chatInFlight(), kWaitMs);
        typing.stop();
        EXPECT_GT(typing.sent(), 3);
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
    expectListening(mute);
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
    expectListening(mute);
    SilentPort silent;
    RawServer trickler(trickle);
    expectListening(trickler);
    RawServer deaf(nullptr);
    expectListening(deaf);
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
    RawClient partner(a->ctl.listeningPort(), trickle);
    expectShookHands(partner);
    QTRY_VERIFY_WITH_TIMEOUT(a->ctl.hasServerSession(), kWaitMs);
    a.reset();
}

#include "HostileTlsPeers.h"
#include "SessionSide.h"

#include "core/protocol/Commands.h"
#include "core/protocol/SjisCodec.h"
#include "core/protocol/TcpListener.h"
#include "core/protocol/Transport.h"
#include "core/security/PeerPins.h"
#include "core/security/TrustTexts.h"
#include "core/session/ConnectionServer.h"
#include "core/session/SecureUpgrade.h"
#include "core/session/SessionController.h"
#include "core/session/SessionTexts.h"

#include <QSignalSpy>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <QTest>
#include <gtest/gtest.h>

using namespace corvid;
using corvid::test::FakeLog;
using corvid::test::rawConnect;
using corvid::test::ServerSide;
using corvid::test::Side;

namespace {

constexpr int kWaitMs = 5000;

// Echoes every line; a line counts as the greeting.
class EchoHandler : public ConnectionServer::Handler {
public:
    void ServerConnect(AcceptedConnection&) override {}
    void ServerExecute(AcceptedConnection& c) override
    {
        QByteArray line;
        if (c.connection->readLine(line, 200) != ReadStatus::Ok)
            return;
        c.greeted = true;
        c.connection->writeAll(line + "\n");
    }
    void ServerDisconnect(AcceptedConnection&) override {}
};

// A connection to the loopback listener from the given source address (all
// of 127.0.0.0/8 is this machine), or to ::1 from ::1.
std::unique_ptr<TcpConnection> connectFrom(const char* source, quint16 port)
{
    auto c = std::make_unique<TcpConnection>();
    if (QByteArray(source) == "::1") {
        // A connection turned away may be reset before connect has seen it
        // through; served() then fails and turnedAway() holds.
        c->connectTo(QStringLiteral("::1"), port, 2000);
        return c;
    }
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &from.sin_addr);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    ::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to);
    *c = TcpConnection(s);
    return c;
}

// Served: the handler answers. Turned away: closed without a byte.
bool served(TcpConnection& c)
{
    QByteArray line;
    return c.writeAll("ping\n") && c.readLine(line, kWaitMs) == ReadStatus::Ok && line == "ping";
}
bool turnedAway(TcpConnection& c)
{
    QByteArray some;
    return c.readSome(some, 1, kWaitMs) == ReadStatus::Closed && some.isEmpty();
}

} // namespace

TEST(ConnectionServer, ConnectionsOverACapAreClosedAtOnce)
{
    EchoHandler handler;
    ConnectionServer server(handler, ConnectionLimits{6, 4, 0, -1});
    ASSERT_TRUE(server.start(0));
    std::vector<std::unique_ptr<TcpConnection>> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(connectFrom("127.0.0.1", server.port()));
        ASSERT_TRUE(served(*held.back())) << i;
    }
    EXPECT_TRUE(turnedAway(*connectFrom("127.0.0.1", server.port())));
    // Another address still gets in, up to the cap on all connections.
    for (int i = 0; i < 2; ++i) {
        held.push_back(connectFrom("::1", server.port()));
        ASSERT_TRUE(served(*held.back())) << i;
    }
    EXPECT_TRUE(turnedAway(*connectFrom("::1", server.port())));
    EXPECT_EQ(server.refusedCount(), 2u);
    // A place given up is taken again (once the server has seen it go).
    held.front()->close();
    bool again = false;
    for (int i = 0; i < 250 && !again; ++i) {
        auto c = connectFrom("127.0.0.1", server.port());
        again = served(*c);
        if (!again)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(again);
}

TEST(ConnectionServer, PlacesKeptForThePartnerStayFreeOfStrangers)
{
    EchoHandler handler;
    ConnectionServer server(handler, ConnectionLimits{8, 4, 4, -1});
    ASSERT_TRUE(server.start(0));
    server.setPartnerAddress(QStringLiteral("::1"));
    std::vector<std::unique_ptr<TcpConnection>> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(connectFrom("127.0.0.1", server.port()));
        ASSERT_TRUE(served(*held.back())) << i;
    }
    // A second stranger address finds the strangers' places taken ...
    EXPECT_TRUE(turnedAway(*connectFrom("127.0.0.2", server.port())));
    // ... while the partner gets its own, up to its per-address cap.
    for (int i = 0; i < 4; ++i) {
        held.push_back(connectFrom("::1", server.port()));
        ASSERT_TRUE(served(*held.back())) << i;
    }
    EXPECT_TRUE(turnedAway(*connectFrom("::1", server.port())));
}

TEST(SessionController, SilentConnectionIsClosedAtTheIdleLimitAndTalkingOnesStay)
{
    constexpr int kIdleMs = 1000;
    ServerSide a;
    a.ctl.setConnectionLimits(ConnectionLimits{64, 16, 16, kIdleMs});
    Side b(QStringLiteral("Ben"));
    ASSERT_EQ(b.connect(QStringLiteral("127.0.0.1"), a.port()), SessionController::ConnectOutcome::Connected);
    TcpConnection talking;
    ASSERT_TRUE(talking.connectTo(QStringLiteral("127.0.0.1"), a.ctl.listeningPort(), 2000));
    ASSERT_TRUE(Transport::WriteHeader(talking, {"Command=Recv", "UserAgent=CRV2/", "ContentType=FileList", ""}));

    TcpConnection silent;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(silent.connectTo(QStringLiteral("127.0.0.1"), a.ctl.listeningPort(), 2000));
    QByteArray some;
    EXPECT_EQ(silent.readSome(some, 1, 5 * kIdleMs), ReadStatus::Closed);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(kIdleMs));
    EXPECT_LT(waited, std::chrono::milliseconds(2 * kIdleMs));

    // Accepted before the silent one, so past their own idle limit by now.
    EXPECT_EQ(talking.readSome(some, 1, 100), ReadStatus::Timeout);
    EXPECT_TRUE(a.ctl.hasServerSession());
    EXPECT_TRUE(b.ctl.isClientConnected());
}

TEST(SessionController, ClientAndServerShakeHandsAndSeeEachOther)
{
    ServerSide a;
    Side b(QStringLiteral("Ben"));
    QSignalSpy aTitle(&a.ctl, &SessionController::titleChanged);

    EXPECT_EQ(b.connect(QStringLiteral("127.0.0.1"), a.port()), SessionController::ConnectOutcome::Connected);
    EXPECT_TRUE(b.log.contains(QStringLiteral("接続成功")));
    EXPECT_EQ(b.ctl.peerName(), QStringLiteral("Aki"));
    EXPECT_TRUE(b.ctl.pollActive());
    ASSERT_FALSE(b.ctl.recentPeers().entries().isEmpty());
    EXPECT_EQ(b.ctl.recentPeers().entries().first(), QStringLiteral("127.0.0.1:%1 Aki").arg(a.port()));

    QTRY_VERIFY_WITH_TIMEOUT(a.ctl.hasServerSession(), kWaitMs);
    EXPECT_TRUE(a.log.contains(QStringLiteral("接続成功")));
    EXPECT_EQ(a.ctl.peerName(), QStringLiteral("Ben"));
    QTRY_VERIFY_WITH_TIMEOUT(!aTitle.isEmpty(), kWaitMs);
    EXPECT_EQ(aTitle.last().at(0).toString(), QStringLiteral("Ben"));
}

TEST(SessionController, ThirdPartyIsRefusedAndSessionGoesOn)
{
    ServerSide a;
    Side b(QStringLiteral("Ben"));
    Side c(QStringLiteral("Cho"));
    ASSERT_EQ(b.connect(QStringLiteral("127.0.0.1"), a.port()), SessionController::ConnectOutcome::Connected);
    QTRY_VERIFY_WITH_TIMEOUT(a.ctl.hasServerSession(), kWaitMs);

    EXPECT_EQ(c.connect(QStringLiteral("127.0.0.1"), a.port()), SessionController::ConnectOutcome::Refused);
    EXPECT_TRUE(c.log.contains(QStringLiteral("接続失敗")));
    EXPECT_FALSE(c.ctl.isClientConnected());
    QTRY_VERIFY_WITH_TIMEOUT(a.log.contains(QStringLiteral("接続失敗")), kWaitMs);
    EXPECT_EQ(a.ctl.peerName(), QStringLiteral("Ben"));
    EXPECT_TRUE(a.ctl.hasServerSession());
    EXPECT_TRUE(b.ctl.isClientConnected());
}

TEST(SessionController, RefusalWhileBusyCarriesEmptyName)
{
    ServerSide a;
    Side b(QStringLiteral("Ben"));
    ASSERT_EQ(b.connect(QStringLiteral("127.0.0.1"), a.port()), SessionController::ConnectOutcome::Connected);
    TcpConnection raw;
    const HeaderBlock reply = rawConnect(a.ctl.listeningPort(), "1", raw);
    EXPECT_EQ(reply, (HeaderBlock{"Command=Connect", "Accept=False", "Protocol=1", "UserAgent=CRV2/", "Name=", ""}));
    // The refused connection is closed by the server side.
    QByteArray rest;
    EXPECT_EQ(raw.readSome(rest, 10, 3000), ReadStatus::Closed);
}

TEST(SessionController, NonNumericProtocolIsRefusedWithOwnName)
{
    ServerSide a;
    TcpConnection raw;
    const HeaderBlock reply = rawConnect(a.ctl.listeningPort(), "one", raw);
    EXPECT_EQ(reply, (HeaderBlock{"Command=Connect", "Accept=False", "Protocol=2", "UserAgent=CRV2/", "Name=Aki", ""}));
    QByteArray rest;
    EXPECT_EQ(raw.readSome(rest, 10, 3000), ReadStatus::Closed);
    QTRY_VERIFY_WITH_TIMEOUT(a.log.contains(QStringLiteral("接続失敗")), kWaitMs);
    EXPECT_FALSE(a.ctl.hasServerSession());
}

// Each session starts at our own number, 2, and its handshake lowers it to
// the peer's: one original peer no longer holds later sessions at 1.
TEST(SessionController, EachSessionStartsAtTheOwnProtocolNumberAndItsHandshakeLowersIt)
{
    ServerSide a;
    // At 2 the raw peer turns TLS as one of our own does, with one key.
    const auto rawTls = TlsContext::Make(Identity::Create());
    PeerPins rawPins;
    const auto session = [&](const QByteArray& offered, const QByteArray& answered, int kept) {
        SCOPED_TRACE(offered.constData());
        {
            TcpConnection raw;
            const HeaderBlock reply = rawConnect(a.ctl.listeningPort(), offered, raw);
            EXPECT_EQ(Header::Value(reply, "Protocol"), answered);
            EXPECT_TRUE(Header::IsAccepted(reply));
            const SecureUpgrade::Peer who{answered.toInt(), QStringLiteral("Aki"), QStringLiteral("127.0.0.1"), "Raw",
                                          Header::Value(reply, "Name")};
            if (kept >= 2) {
                EXPECT_TRUE(SecureUpgrade::Run(raw, TlsRole::Client, rawTls.get(), rawPins, kWaitMs, who).encrypted);
            }
            QTRY_VERIFY_WITH_TIMEOUT(a.ctl.hasServerSession(), kWaitMs);
            EXPECT_EQ(a.ctl.protocolNumber(), kept);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!a.ctl.hasServerSession(), kWaitMs);
    };
    session("0", "0", 0);
    session("1", "1", 1);
    session("2", "2", 2);
    session("3", "2", 2);
    // The user reads what a session with an original peer cannot do, and
    // only then.
    EXPECT_EQ(a.log.count(SessionTexts::OriginalPeer()), 2);

    // A Connect refused during a session does not touch the session's number.
    Side b(QStringLiteral("Ben"));
    ASSERT_EQ(b.connect(QStringLiteral("127.0.0.1"), a.port()), SessionController::ConnectOutcome::Connected);
    EXPECT_EQ(b.ctl.protocolNumber(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(a.ctl.hasServerSession(), kWaitMs);
    TcpConnection raw;
    EXPECT_EQ(Header::Value(rawConnect(a.ctl.listeningPort(), "0", raw), "Protocol"), QByteArray("0"));
    EXPECT_EQ(a.ctl.protocolNumber(), 2);
}

// The connecting side offers 2 and runs at what the answer says; an
// instance set to play an original peer offers and answers 1.
TEST(SessionController, ClientOffersTwoAndTakesTheAnswersNumber)
{
    // An original listener: reads block A, answers at 1, holds the line.
    TcpListener listener;
    ASSERT_TRUE(listener.listen(0));
    HeaderBlock offered;
    TcpConnection held;
    std::thread old([&] {
        auto c = listener.accept();
        if (!c)
            return;
        held = std::move(*c);
        Commands::ReadCommand(held, offered, 3000);
        Transport::WriteHeader(held, {"Command=Connect", "Accept=True", "Protocol=1", "UserAgent=CRV2/", "Name=Raw", ""});
    });
    Side b(QStringLiteral("Ben"));
    const auto outcome = b.connect(QStringLiteral("127.0.0.1"), QString::number(listener.port()));
    old.join();
    ASSERT_EQ(outcome, SessionController::ConnectOutcome::Connected);
    EXPECT_EQ(offered, (HeaderBlock{"Command=Connect", "Protocol=2", "UserAgent=CRV2/", "Name=Ben", ""}));
    EXPECT_EQ(b.ctl.protocolNumber(), 1);
    EXPECT_TRUE(b.log.contains(SessionTexts::OriginalPeer()));
    EXPECT_TRUE(b.log.contains(TrustTexts::NotEncrypted()));
    // After the Connect exchange the original peer reads today's plaintext.
    const QString text = QStringLiteral("平文のまま");
    ASSERT_TRUE(b.ctl.SendChatMessage(text));
    const QByteArray chat = corvid::test::chatWire(text);
    EXPECT_EQ(corvid::test::readExactly(held, chat.size(), kWaitMs), chat);
    b.ctl.disconnectClient();
    held.shutdown();

    ServerSide original(QStringLiteral("Old"));
    original.ctl.setOwnProtocol(1);
    Side c(QStringLiteral("Cho"));
    ASSERT_EQ(c.connect(QStringLiteral("127.0.0.1"), original.port()), SessionController::ConnectOutcome::Connected);
    EXPECT_EQ(c.ctl.protocolNumber(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(original.ctl.hasServerSession(), kWaitMs);
    EXPECT_EQ(original.ctl.protocolNumber(), 1);
    EXPECT_TRUE(c.log.contains(SessionTexts::OriginalPeer()));
    EXPECT_TRUE(c.log.contains(TrustTexts::NotEncrypted()));
    EXPECT_TRUE(corvid::test::waitFor([&] { return original.log.contains(TrustTexts::NotEncrypted()); }, kWaitMs));
    QTRY_VERIFY_WITH_TIMEOUT(original.log.contains(SessionTexts::OriginalPeer()), kWaitMs);
}

TEST(SessionController, DisconnectIsSeenByBothSides)
{
    ServerSide a;
    Side b(QStringLiteral("Ben"));
    ASSERT_EQ(b.connect(QStringLiteral("127.0.0.1"), a.port()), SessionController::ConnectOutcome::Connected);
    QTRY_VERIFY_WITH_TIMEOUT(a.ctl.hasServerSession(), kWaitMs);

    // Client lets go: both log the disconnection, the server keeps listening.
    QSignalSpy bGone(&b.ctl, &SessionController::clientDisconnected);
    b.ctl.disconnectClient();
    EXPECT_EQ(bGone.count(), 1);
    EXPECT_TRUE(b.log.contains(QStringLiteral("切断")));
    EXPECT_FALSE(b.ctl.pollActive());
    QTRY_VERIFY_WITH_TIMEOUT(a.log.contains(QStringLiteral("切断")), kWaitMs);
    EXPECT_FALSE(a.ctl.hasServerSession());
    EXPECT_TRUE(a.ctl.peerName().isEmpty());
    EXPECT_TRUE(a.ctl.isListening());

    // Server stops with a partner: the client's poll notices it.
    Side c(QStringLiteral("Cho"));
    ASSERT_EQ(c.connect(QStringLiteral("127.0.0.1"), a.port()), SessionController::ConnectOutcome::Connected);
    QTRY_VERIFY_WITH_TIMEOUT(a.ctl.hasServerSession(), kWaitMs);
    QSignalSpy cGone(&c.ctl, &SessionController::clientDisconnected);
    a.ctl.stopServer();
    EXPECT_EQ(a.log.count(QStringLiteral("切断")), 2);
    EXPECT_TRUE(cGone.wait(kWaitMs));
    EXPECT_TRUE(c.log.contains(QStringLiteral("切断")));
    EXPECT_FALSE(c.ctl.isClientConnected());
}

TEST(SessionController, UnreachablePeerAndMissingInput)
{
    Side b(QStringLiteral("Ben"));
    // A port nobody listens on: take a free one and close it again.
    quint16 port = 0;
    {
        ServerSide probe;
        port = probe.ctl.listeningPort();
    }
    EXPECT_EQ(b.connect(QStringLiteral("127.0.0.1"), QString::number(port)),
              SessionController::ConnectOutcome::NotFound);
    EXPECT_TRUE(b.log.contains(QStringLiteral("サーバが見つかりません")));
    EXPECT_EQ(b.connect(QString(), QStringLiteral("6256")), SessionController::ConnectOutcome::MissingInput);
    b.ctl.setUserName(QString());
    EXPECT_EQ(b.connect(QStringLiteral("127.0.0.1"), QStringLiteral("6256")),
              SessionController::ConnectOutcome::MissingInput);
}

TEST(SessionController, ShutdownWithOpenConnectionsJoinsEverything)
{
    auto a = std::make_unique<ServerSide>();
    Side b(QStringLiteral("Ben"));
    ASSERT_EQ(b.connect(QStringLiteral("127.0.0.1"), a->port()), SessionController::ConnectOutcome::Connected);
    // A few idle connections too, as a peer's transfer connections would be.
    std::vector<TcpConnection> idle(3);
    for (auto& c : idle)
        ASSERT_TRUE(c.connectTo(QStringLiteral("127.0.0.1"), a->ctl.listeningPort(), 2000));
    QTRY_VERIFY_WITH_TIMEOUT(a->ctl.hasServerSession(), kWaitMs);
    a.reset();  // must return promptly, with every thread joined
    QSignalSpy bGone(&b.ctl, &SessionController::clientDisconnected);
    EXPECT_TRUE(bGone.wait(kWaitMs));
}

TEST(SessionController, StoppingFreesThePort)
{
    ServerSide a;
    const quint16 port = a.ctl.listeningPort();
    a.ctl.stopServer();
    EXPECT_FALSE(a.ctl.isListening());
    // A plain bind without address reuse succeeds only when the port is free.
    const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    int off = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(port);
    addr.sin6_addr = in6addr_any;
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
    // And listening again works.
    EXPECT_TRUE(a.ctl.startServer(port));
}

#include "SessionSide.h"

#include "core/protocol/Commands.h"
#include "core/protocol/SjisCodec.h"
#include "core/protocol/Transport.h"
#include "core/session/SessionController.h"

#include <QSignalSpy>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QTest>
#include <gtest/gtest.h>

using namespace corvid;
using corvid::test::FakeLog;
using corvid::test::ServerSide;
using corvid::test::Side;

namespace {

constexpr int kWaitMs = 5000;

// Sends a raw Connect block and returns the reply.
HeaderBlock rawConnect(quint16 port, const QByteArray& protocolValue, TcpConnection& c)
{
    EXPECT_TRUE(c.connectTo(QStringLiteral("127.0.0.1"), port, 2000));
    HeaderBlock b{"Command=Connect", "Protocol=" + protocolValue, "UserAgent=CRV2/", "Name=Raw", ""};
    EXPECT_TRUE(Transport::WriteHeader(c, b));
    HeaderBlock reply;
    Commands::ReadCommand(c, reply, 3000);
    return reply;
}

} // namespace

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
    EXPECT_EQ(reply, (HeaderBlock{"Command=Connect", "Accept=False", "Protocol=1", "UserAgent=CRV2/", "Name=Aki", ""}));
    QByteArray rest;
    EXPECT_EQ(raw.readSome(rest, 10, 3000), ReadStatus::Closed);
    QTRY_VERIFY_WITH_TIMEOUT(a.log.contains(QStringLiteral("接続失敗")), kWaitMs);
    EXPECT_FALSE(a.ctl.hasServerSession());
}

TEST(SessionController, ServerOnlyLowersTheProtocolNumber)
{
    ServerSide a;
    {
        TcpConnection raw;
        const HeaderBlock reply = rawConnect(a.ctl.listeningPort(), "0", raw);
        EXPECT_EQ(Header::Value(reply, "Protocol"), QByteArray("0"));
        EXPECT_TRUE(Header::IsAccepted(reply));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!a.ctl.hasServerSession(), kWaitMs);
    EXPECT_EQ(a.ctl.protocolNumber(), 0);
    TcpConnection raw2;
    const HeaderBlock reply2 = rawConnect(a.ctl.listeningPort(), "1", raw2);
    EXPECT_EQ(Header::Value(reply2, "Protocol"), QByteArray("0"));
    EXPECT_EQ(a.ctl.protocolNumber(), 0);
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

#include "SessionSide.h"

#include "core/protocol/Commands.h"
#include "core/protocol/SjisCodec.h"
#include "core/protocol/TcpListener.h"
#include "core/protocol/Transport.h"
#include "core/session/SessionController.h"

#include <QTest>
#include <gtest/gtest.h>
#include <thread>

using namespace corvid;
using corvid::test::FakeLog;
using corvid::test::ServerSide;
using corvid::test::Side;

namespace {

constexpr int kWaitMs = 5000;

// A raw peer in the server role: accepts one client and answers its Connect.
struct RawServer {
    TcpListener listener;
    TcpConnection conn;
    std::thread thread;

    RawServer()
    {
        EXPECT_TRUE(listener.listen(0));
        thread = std::thread([this] {
            auto c = listener.accept();
            if (!c)
                return;
            conn = std::move(*c);
            HeaderBlock b;
            Commands::ReadCommand(conn, b, 3000);
            Transport::WriteHeader(conn, {"Command=Connect", "Accept=True", "Protocol=1", "UserAgent=CRV2/", "Name=Raw", ""});
        });
    }
    ~RawServer()
    {
        listener.close();
        if (thread.joinable())
            thread.join();
    }
    void waitAccepted()
    {
        if (thread.joinable())
            thread.join();
    }
    // Reads exactly n bytes as they came over the wire.
    QByteArray readRaw(qint64 n)
    {
        QByteArray out;
        while (out.size() < n)
            if (conn.readSome(out, n - out.size(), 3000) != ReadStatus::Ok)
                break;
        return out;
    }
};

struct Pair {
    ServerSide aSide;
    Side bSide{QStringLiteral("Ben")};
    FakeLog& aLog = aSide.log;
    FakeLog& bLog = bSide.log;
    SessionController& a = aSide.ctl;
    SessionController& b = bSide.ctl;
    Pair()
    {
        EXPECT_EQ(bSide.connect(QStringLiteral("127.0.0.1"), aSide.port()), SessionController::ConnectOutcome::Connected);
        QTRY_VERIFY_WITH_TIMEOUT(a.hasServerSession(), kWaitMs);
    }
};

} // namespace

TEST(ChatMessage, BodyIsEscapedLinkedAndEndsEveryLineWithCrLf)
{
    EXPECT_EQ(SessionController::MessageBody(QStringLiteral("hello")), QStringLiteral("hello\r\n"));
    EXPECT_EQ(SessionController::MessageBody(QStringLiteral("a<b")), QStringLiteral("a&lt;b\r\n"));
    // A typed line break becomes <br> inside one line.
    EXPECT_EQ(SessionController::MessageBody(QStringLiteral("one\ntwo")), QStringLiteral("one<br>two\r\n"));
    EXPECT_EQ(SessionController::MessageBody(QStringLiteral("see http://example.org/a,b")),
              QStringLiteral("see <a href=\"http://example.org/a\">http://example.org/a</a>,b\r\n"));
}

TEST(ChatMessage, ClientSendsTheExactBytes)
{
    RawServer peer;
    Side ben(QStringLiteral("Ben"));
    SessionController& b = ben.ctl;
    FakeLog& log = ben.log;
    ASSERT_EQ(ben.connect(QStringLiteral("127.0.0.1"), QString::number(peer.listener.port())),
              SessionController::ConnectOutcome::Connected);
    peer.waitAccepted();

    ASSERT_TRUE(b.SendChatMessage(QStringLiteral("hello")));
    EXPECT_EQ(peer.readRaw(78), QByteArray("Command=Send\r\nUserAgent=CRV2/\r\nContentType=Message\r\n"
                                           "ContentLength=7\r\n\r\nhello\r\n"));
    // Japanese travels as Shift-JIS; what Shift-JIS cannot carry becomes "?".
    ASSERT_TRUE(b.SendChatMessage(QStringLiteral("接続\U0001F600")));
    const QByteArray body = SjisCodec::encode(QStringLiteral("接続?\r\n"));
    ASSERT_EQ(body.size(), 7);
    EXPECT_EQ(peer.readRaw(71 + 7), QByteArray("Command=Send\r\nUserAgent=CRV2/\r\nContentType=Message\r\n"
                                               "ContentLength=7\r\n\r\n") + body);
    QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("接続?\r\n")), kWaitMs);
}

TEST(ChatMessage, ChatBothWaysWithJapaneseText)
{
    Pair p;
    ASSERT_TRUE(p.b.SendChatMessage(QStringLiteral("こんにちは")));
    QTRY_VERIFY_WITH_TIMEOUT(p.aLog.contains(QStringLiteral("こんにちは\r\n")), kWaitMs);
    ASSERT_TRUE(p.a.SendChatMessage(QStringLiteral("やあ <b>")));
    QTRY_VERIFY_WITH_TIMEOUT(p.bLog.contains(QStringLiteral("やあ &lt;b&gt;\r\n")), kWaitMs);
    EXPECT_TRUE(p.aLog.contains(QStringLiteral("やあ &lt;b&gt;\r\n")));  // own line too
}

TEST(ChatMessage, ThreeQuickMessagesReachTheClientInOrder)
{
    Pair p;
    for (const char* m : {"one", "two", "three"})
        ASSERT_TRUE(p.a.SendChatMessage(QString::fromLatin1(m)));
    QTRY_VERIFY_WITH_TIMEOUT(p.bLog.contains(QStringLiteral("three\r\n")), kWaitMs);
    const QStringList lines = p.bLog.lines();
    const auto one = lines.indexOf(QStringLiteral("one\r\n"));
    const auto two = lines.indexOf(QStringLiteral("two\r\n"));
    const auto three = lines.indexOf(QStringLiteral("three\r\n"));
    EXPECT_TRUE(one >= 0 && one < two && two < three);
}

TEST(ChatMessage, SendingWithoutConnectionFailsAndLogsTheHtml)
{
    Pair p;
    p.b.disconnectClient();
    QTRY_VERIFY_WITH_TIMEOUT(!p.a.hasServerSession(), kWaitMs);
    EXPECT_FALSE(p.b.SendChatMessage(QStringLiteral("a<b")));
    EXPECT_TRUE(p.bLog.contains(QStringLiteral("メッセージ送信失敗：a&lt;b\r\n")));
    EXPECT_FALSE(p.a.SendChatMessage(QStringLiteral("x")));
    EXPECT_TRUE(p.aLog.contains(QStringLiteral("メッセージ送信失敗：x\r\n")));
}

TEST(ChatMessage, EmptyOrShortBodiesAreReportedAsFailures)
{
    ServerSide a;
    // The partner itself, after its handshake: a zero length is a failed
    // message and the session goes on.
    TcpConnection raw;
    ASSERT_TRUE(raw.connectTo(QStringLiteral("127.0.0.1"), a.ctl.listeningPort(), 2000));
    ASSERT_TRUE(Transport::WriteHeader(raw, {"Command=Connect", "Protocol=1", "UserAgent=CRV2/", "Name=Raw", ""}));
    HeaderBlock reply;
    ASSERT_EQ(Commands::ReadCommand(raw, reply, 3000), CmdConnect);
    ASSERT_TRUE(Transport::WriteHeader(raw, {"Command=Send", "UserAgent=CRV2/", "ContentType=Message", "ContentLength=0", ""}));
    QTRY_VERIFY_WITH_TIMEOUT(a.log.contains(QStringLiteral("メッセージ受信失敗")), kWaitMs);
    EXPECT_EQ(a.log.kindOf(QStringLiteral("メッセージ受信失敗")), LineSys);
    EXPECT_TRUE(a.ctl.hasServerSession());
    // A body cut short by a closed connection is a failure too.
    ASSERT_TRUE(Transport::WriteHeader(raw, {"Command=Send", "UserAgent=CRV2/", "ContentType=Message", "ContentLength=1,000", ""}));
    ASSERT_TRUE(raw.writeAll(QByteArray("short")));
    raw.close();
    QTRY_COMPARE_WITH_TIMEOUT(a.log.count(QStringLiteral("メッセージ受信失敗")), 2, kWaitMs);
}

TEST(ChatMessage, OnlyTheSessionConnectionSpeaksInTheLog)
{
    Pair p;
    // A stranger on the same port, without a handshake, cannot post lines
    // under the partner's name; its body is read and dropped.
    TcpConnection stranger;
    ASSERT_TRUE(stranger.connectTo(QStringLiteral("127.0.0.1"), p.a.listeningPort(), 2000));
    ASSERT_TRUE(Transport::SendContent(stranger, QByteArray(kToken), "Message", "forged\r\n"));
    ASSERT_TRUE(p.b.SendChatMessage(QStringLiteral("real")));
    QTRY_VERIFY_WITH_TIMEOUT(p.aLog.contains(QStringLiteral("real\r\n")), kWaitMs);
    // The sender logs its own line when its write has ended, which may come
    // after the peer has the message.
    QTRY_VERIFY_WITH_TIMEOUT(p.bLog.contains(QStringLiteral("real\r\n")), kWaitMs);
    EXPECT_EQ(p.aLog.kindOf(QStringLiteral("real\r\n")), LineRecv);
    EXPECT_EQ(p.bLog.kindOf(QStringLiteral("real\r\n")), LineOwn);
    EXPECT_EQ(p.aLog.peerName(), QStringLiteral("Ben"));
    // The stranger's message arrived before the partner's, and was dropped.
    EXPECT_FALSE(p.aLog.anyStartsWith(QStringLiteral("forged")));
    EXPECT_FALSE(p.aLog.contains(QStringLiteral("メッセージ受信失敗")));

    // Without any session a message is a failed one, never a received line.
    p.b.disconnectClient();
    QTRY_VERIFY_WITH_TIMEOUT(!p.a.hasServerSession(), kWaitMs);
    ASSERT_TRUE(Transport::SendContent(stranger, QByteArray(kToken), "Message", "alone\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(p.aLog.contains(QStringLiteral("メッセージ受信失敗")), kWaitMs);
    EXPECT_FALSE(p.aLog.anyStartsWith(QStringLiteral("alone")));
}

TEST(ChatMessage, BodyThePeerWouldRefuseIsNotSent)
{
    Pair p;
    const QString huge(int(Transport::kMaxMessageBody) + 10, QLatin1Char('x'));
    EXPECT_TRUE(p.b.SendChatMessage(huge));
    QTRY_VERIFY_WITH_TIMEOUT(!p.b.chatInFlight(), kWaitMs);
    ASSERT_FALSE(p.bLog.lines().isEmpty());
    EXPECT_TRUE(p.bLog.lines().last().startsWith(QStringLiteral("メッセージ送信失敗：xxx")));
    // The session goes on.
    ASSERT_TRUE(p.b.SendChatMessage(QStringLiteral("small")));
    QTRY_VERIFY_WITH_TIMEOUT(p.aLog.contains(QStringLiteral("small\r\n")), kWaitMs);
    EXPECT_TRUE(p.b.isClientConnected());
}

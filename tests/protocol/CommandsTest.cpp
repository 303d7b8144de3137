// Command reading, the Result exchange, the Connect handshake and content
// sending with its answer.
#include "LoopbackPeer.h"
#include "core/protocol/Commands.h"
#include "core/protocol/Transport.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace corvid;
using namespace corvid::test;

namespace {

struct Answer {
    bool accepted = false;
    QByteArray peerName = "untouched";
};

// Server side of one handshake on `conn`, as a connection thread runs it.
std::future<Answer> answerAsync(TcpConnection& conn, std::atomic<int>& protocol, bool allowed)
{
    return std::async(std::launch::async, [&conn, &protocol, allowed] {
        Answer a;
        HeaderBlock b;
        if (Commands::ReadCommand(conn, b, 5000) == CmdConnect)
            a.accepted = Commands::AnswerConnect(conn, protocol, kToken, allowed, b, a.peerName, "server");
        return a;
    });
}

// Sends block A to our side's AnswerConnect and returns the reply bytes
// (up to the close when the answer refuses).
QByteArray replyTo(const QByteArray& request, std::atomic<int>& protocol, bool allowed, Answer* answer = nullptr,
                   bool* closed = nullptr)
{
    RawPair p = makeRawPair();
    auto server = answerAsync(p.conn, protocol, allowed);
    EXPECT_TRUE(p.peer->send(request));
    const Answer a = server.get();
    if (answer)
        *answer = a;
    if (closed)
        *closed = !p.conn.isOpen();
    p.conn.shutdown();
    return p.peer->readUntilClosed();
}

} // namespace

TEST(Handshake, ProtocolNumberIsLoweredByTheServerAndAdoptedByTheClient)
{
    std::atomic<int> server{1};
    std::atomic<int> client{0};
    {
        ConnPair c = makeConnPair();
        auto answer = answerAsync(c.server, server, true);
        QByteArray peer;
        EXPECT_TRUE(Commands::RequestConnect(c.client, client, kToken, peer, "client"));
        EXPECT_EQ(peer, "server");
        EXPECT_EQ(answer.get().peerName, "client");
        EXPECT_EQ(client.load(), 0);
        EXPECT_EQ(server.load(), 0);
    }
    {   // The server keeps 0 for the rest of the run; a later peer at 1 gets 0.
        ConnPair c = makeConnPair();
        auto answer = answerAsync(c.server, server, true);
        std::atomic<int> later{1};
        QByteArray peer;
        EXPECT_TRUE(Commands::RequestConnect(c.client, later, kToken, peer, "later"));
        EXPECT_TRUE(answer.get().accepted);
        EXPECT_EQ(later.load(), 0);
        EXPECT_EQ(server.load(), 0);
    }
    {   // A peer at 2 meets a server at 1 and then runs at 1.
        std::atomic<int> fresh{1};
        std::atomic<int> newer{2};
        ConnPair c = makeConnPair();
        auto answer = answerAsync(c.server, fresh, true);
        QByteArray peer;
        EXPECT_TRUE(Commands::RequestConnect(c.client, newer, kToken, peer, "newer"));
        EXPECT_TRUE(answer.get().accepted);
        EXPECT_EQ(newer.load(), 1);
        EXPECT_EQ(fresh.load(), 1);
    }
}

TEST(Handshake, AcceptReplyBytes)
{
    std::atomic<int> protocol{1};
    Answer a;
    bool closed = true;
    EXPECT_EQ(replyTo("Command=Connect\r\nProtocol=1\r\nUserAgent=CRV2/\r\nName=alice\r\nName=bob\r\n\r\n", protocol,
                      true, &a, &closed),
              "Command=Connect\r\nAccept=True\r\nProtocol=1\r\nUserAgent=CRV2/\r\nName=server\r\n\r\n");  // B
    EXPECT_TRUE(a.accepted);
    EXPECT_EQ(a.peerName, "alice");  // the first of two Name lines
    EXPECT_FALSE(closed);

    replyTo("Command=Connect\r\nProtocol=1\r\nName=\r\n\r\n", protocol, true, &a);
    EXPECT_TRUE(a.accepted);
    EXPECT_EQ(a.peerName, "");
}

TEST(Handshake, RefusalsReplyAcceptFalseAndClose)
{
    std::atomic<int> protocol{1};
    Answer a;
    bool closed = false;
    // A session is already active: empty Name, peer name left alone.
    EXPECT_EQ(replyTo("Command=Connect\r\nProtocol=1\r\nName=carol\r\n\r\n", protocol, false, &a, &closed),
              "Command=Connect\r\nAccept=False\r\nProtocol=1\r\nUserAgent=CRV2/\r\nName=\r\n\r\n");
    EXPECT_FALSE(a.accepted);
    EXPECT_EQ(a.peerName, "untouched");
    EXPECT_TRUE(closed);

    // No usable protocol number: refused with the own name.
    for (const char* request : {"Command=Connect\r\nProtocol=one\r\nName=dave\r\n\r\n",
                                "Command=Connect\r\nName=dave\r\n\r\n"}) {
        closed = false;
        EXPECT_EQ(replyTo(request, protocol, true, &a, &closed),
                  "Command=Connect\r\nAccept=False\r\nProtocol=1\r\nUserAgent=CRV2/\r\nName=server\r\n\r\n");
        EXPECT_FALSE(a.accepted);
        EXPECT_TRUE(closed);
    }
    EXPECT_EQ(protocol.load(), 1);
}

TEST(Handshake, ClientNeedsAParsableProtocolInTheReply)
{
    struct Case {
        const char* reply;
        bool ok;
        int protocolAfter;
        const char* peerName;
    } cases[] = {
        {"Command=Connect\r\nAccept=True\r\nUserAgent=CRV2/\r\nName=x\r\n\r\n", false, 1, ""},
        {"Command=Connect\r\nAccept=True\r\nProtocol=\r\nName=x\r\n\r\n", false, 1, ""},
        {"Command=Whatever\r\nAccept=true\r\nProtocol=1\r\nName=srv\r\n\r\n", true, 1, "srv"},
        {"Command=Connect\r\nAccept=False\r\nProtocol=0\r\nName=\r\n\r\n", false, 0, ""},
        {"", false, 1, ""},  // the peer closes without a reply
    };
    for (const Case& c : cases) {
        RawPair p = makeRawPair();
        std::atomic<int> protocol{1};
        QByteArray peer;
        auto client = std::async(std::launch::async,
                                 [&] { return Commands::RequestConnect(p.conn, protocol, kToken, peer, "me"); });
        const QByteArray blockA = "Command=Connect\r\nProtocol=1\r\nUserAgent=CRV2/\r\nName=me\r\n\r\n";
        EXPECT_EQ(p.peer->read(blockA.size()), blockA);
        if (*c.reply)
            ASSERT_TRUE(p.peer->send(c.reply));
        else
            p.peer->close();
        EXPECT_EQ(client.get(), c.ok) << c.reply;
        EXPECT_EQ(protocol.load(), c.protocolAfter) << c.reply;
        EXPECT_EQ(peer, c.peerName) << c.reply;
    }
}

TEST(Commands, ReadResultWantsCodeFourAndResultTrue)
{
    struct Case {
        const char* block;
        bool ok;
    } cases[] = {
        {"Command=Result\r\nUserAgent=CRV2/\r\nResult=True\r\n\r\n", true},
        {"command=RESULT\r\nresult=true\r\n\r\n", true},
        {"Command=Result\r\nResult=1\r\n\r\n", false},
        {"Command=Result\r\n\r\n", false},
        {"Command=Send\r\nResult=True\r\n\r\n", false},
    };
    for (const Case& c : cases) {
        RawPair p = makeRawPair();
        ASSERT_TRUE(p.peer->send(c.block));
        EXPECT_EQ(Commands::ReadResult(p.conn), c.ok) << c.block;
    }
    RawPair p = makeRawPair();
    p.peer->close();
    EXPECT_FALSE(Commands::ReadResult(p.conn));
}

TEST(SendContent, FileListBodyFollowsOnlyAnAcceptingAnswer)
{
    const QByteArray body = "a.txt\t1,024\r\n";
    const QByteArray blockE = "Command=Send\r\nUserAgent=CRV2/\r\nContentType=FileList\r\nContentLength=13\r\n\r\n";
    struct Case {
        QByteArray answer;
        bool ok;
    } cases[] = {
        {"Command=Send\r\nAccept=True\r\nUserAgent=CRV2/\r\nContentType=FileList\r\nContentLength=13\r\n\r\n", true},
        {"Command=Send\r\nAccept=False\r\n\r\n", false},
        {"Command=Recv\r\nAccept=True\r\n\r\n", false},
    };
    for (const Case& c : cases) {
        RawPair p = makeRawPair();
        auto sender = std::async(std::launch::async,
                                 [&] { return Transport::SendContent(p.conn, kToken, "FileList", body); });
        EXPECT_EQ(p.peer->read(blockE.size()), blockE);
        ASSERT_TRUE(p.peer->send(c.answer));
        EXPECT_EQ(sender.get(), c.ok);
        p.conn.shutdown();
        EXPECT_EQ(p.peer->readUntilClosed(), c.ok ? body : QByteArray());
    }
    // Any other content type: the block only, and false.
    RawPair p = makeRawPair();
    EXPECT_FALSE(Transport::SendContent(p.conn, kToken, "File", "data"));
    p.conn.shutdown();
    EXPECT_EQ(p.peer->readUntilClosed(), "Command=Send\r\nUserAgent=CRV2/\r\nContentType=File\r\nContentLength=4\r\n\r\n");
}

TEST(SendContent, ConcurrentSendersNeverInterleaveBlockAndBody)
{
    ConnPair c = makeConnPair();
    constexpr int kEach = 200;
    auto writer = [&](char tag) {
        return std::async(std::launch::async, [&c, tag] {
            bool ok = true;
            for (int i = 0; i < kEach; ++i)
                ok = Transport::SendContent(c.client, kToken, "Message",
                                            QByteArray(100 + i, tag) + QByteArray::number(i) + "\r\n") && ok;
            return ok;
        });
    };
    auto a = writer('a');
    auto b = writer('b');
    int next[2] = {0, 0};
    for (int received = 0; received < 2 * kEach; ++received) {
        HeaderBlock block;
        ASSERT_EQ(Commands::ReadCommand(c.server, block, 5000), CmdSend);
        QString text;
        ASSERT_TRUE(Transport::ReadMessageText(c.server, *Header::IntValue(block, "ContentLength"), text));
        const int who = text.startsWith('a') ? 0 : 1;
        const int i = next[who]++;
        EXPECT_EQ(text, QString(100 + i, QChar(who ? 'b' : 'a')) + QString::number(i) + "\r\n");
    }
    EXPECT_TRUE(a.get());
    EXPECT_TRUE(b.get());
}

TEST(SendStream, FailsOnAConnectionThatIsShutDown)
{
    RawPair p = makeRawPair();
    p.conn.shutdown();
    EXPECT_FALSE(Transport::SendStream(p.conn, "data"));
    HeaderBlock b;
    Header::MakeDisconnectHeader(b, kToken);
    EXPECT_FALSE(Transport::WriteHeader(p.conn, b));
}

// Exact bytes of every block this layer builds, as they arrive at a raw
// socket on the other end.
#include "LoopbackPeer.h"
#include "core/protocol/Commands.h"
#include "core/protocol/SjisCodec.h"
#include "core/protocol/Transport.h"

#include <gtest/gtest.h>

#include <future>

using namespace corvid;
using namespace corvid::test;

namespace {

// Writes the block, closes our side and returns everything the peer got.
QByteArray wireOf(const HeaderBlock& b)
{
    RawPair p = makeRawPair();
    EXPECT_TRUE(Transport::WriteHeader(p.conn, b));
    p.conn.shutdown();
    bool closed = false;
    QByteArray bytes = p.peer->readUntilClosed(&closed);
    EXPECT_TRUE(closed);
    return bytes;
}

HeaderBlock inserted(HeaderBlock b, std::initializer_list<std::pair<int, const char*>> lines)
{
    for (const auto& [index, line] : lines)
        b.insert(index, QByteArray(line));
    return b;
}

} // namespace

TEST(WireFormat, ChatMessageHelloIs71BytesOfBlockAnd7OfBody)
{
    RawPair p = makeRawPair();
    ASSERT_TRUE(Transport::SendContent(p.conn, kToken, "Message", "hello\r\n"));
    p.conn.shutdown();
    bool closed = false;
    const QByteArray wire = p.peer->readUntilClosed(&closed);
    EXPECT_TRUE(closed);
    const QByteArray block = "Command=Send\r\nUserAgent=CRV2/\r\nContentType=Message\r\nContentLength=7\r\n\r\n";
    ASSERT_EQ(block.size(), 71);
    EXPECT_EQ(wire.size(), 78);
    EXPECT_EQ(wire, block + "hello\r\n");
}

TEST(WireFormat, BuiltBlocks)
{
    HeaderBlock b;
    Header::MakeConnectHeader(b, 1, kToken, SjisCodec::encode(QStringLiteral("太郎")));
    EXPECT_EQ(wireOf(b), "Command=Connect\r\nProtocol=1\r\nUserAgent=CRV2/\r\nName=\x91\xbe\x98\x59\r\n\r\n");  // A

    Header::MakeSendHeader(b, kTokenBare, "FileList", 123);  // D
    EXPECT_EQ(wireOf(b), "Command=Send\r\nUserAgent=CRV2\r\nContentType=FileList\r\nContentLength=123\r\n\r\n");
    Header::MakeSendHeader(b, kToken, "FileList", 0);  // E
    EXPECT_EQ(wireOf(b), "Command=Send\r\nUserAgent=CRV2/\r\nContentType=FileList\r\nContentLength=0\r\n\r\n");

    Header::MakeRecvHeader(b, kTokenBare, "FileList");  // G
    EXPECT_EQ(wireOf(b), "Command=Recv\r\nUserAgent=CRV2\r\nContentType=FileList\r\n\r\n");
    Header::MakeRecvHeader(b, kToken, "FileList");  // H
    EXPECT_EQ(wireOf(b), "Command=Recv\r\nUserAgent=CRV2/\r\nContentType=FileList\r\n\r\n");
    EXPECT_EQ(wireOf(inserted(b, {{1, "Accept=True"}, {2, "ContentLength=456"}})),  // I
              "Command=Recv\r\nAccept=True\r\nContentLength=456\r\nUserAgent=CRV2/\r\nContentType=FileList\r\n\r\n");

    Header::MakeRecvHeader(b, kToken, "File");
    EXPECT_EQ(wireOf(inserted(b, {{3, "FileName=a.txt"}, {4, "ContentLength=100"}, {5, "StartPosition=10"}})),  // J
              "Command=Recv\r\nUserAgent=CRV2/\r\nContentType=File\r\nFileName=a.txt\r\nContentLength=100\r\n"
              "StartPosition=10\r\n\r\n");
    EXPECT_EQ(wireOf(inserted(b, {{1, "Accept=True"}, {2, "FileName=a.txt"}, {3, "ContentLength=100"},
                                  {4, "FileAttr=32"}})),  // K
              "Command=Recv\r\nAccept=True\r\nFileName=a.txt\r\nContentLength=100\r\nFileAttr=32\r\n"
              "UserAgent=CRV2/\r\nContentType=File\r\n\r\n");
    EXPECT_EQ(wireOf(inserted(b, {{1, "Accept=False"}})),  // L
              "Command=Recv\r\nAccept=False\r\nUserAgent=CRV2/\r\nContentType=File\r\n\r\n");

    Header::MakeSendHeader(b, kToken, "File", 100);
    EXPECT_EQ(wireOf(inserted(b, {{2, "FileName=a.txt"}, {3, "StartPosition=10"}, {4, "FileAttr=33"}})),  // M
              "Command=Send\r\nUserAgent=CRV2/\r\nFileName=a.txt\r\nStartPosition=10\r\nFileAttr=33\r\n"
              "ContentType=File\r\nContentLength=100\r\n\r\n");

    Header::MakeDisconnectHeader(b, kToken);  // P
    EXPECT_EQ(wireOf(b), "Command=Disconnect\r\nUserAgent=CRV2/\r\n\r\n");
}

TEST(WireFormat, ResultBlockAndNotice)
{
    for (bool ok : {true, false}) {
        RawPair p = makeRawPair();
        ASSERT_TRUE(Commands::SendResult(p.conn, kToken, ok));  // O
        p.conn.shutdown();
        EXPECT_EQ(p.peer->readUntilClosed(),
                  QByteArray("Command=Result\r\nUserAgent=CRV2/\r\nResult=") + (ok ? "True" : "False") + "\r\n\r\n");
    }
    RawPair p = makeRawPair();
    ASSERT_TRUE(Transport::SendContentNotice(p.conn, kTokenBare, "FileList", 2048));  // D, no body
    p.conn.shutdown();
    EXPECT_EQ(p.peer->readUntilClosed(),
              "Command=Send\r\nUserAgent=CRV2\r\nContentType=FileList\r\nContentLength=2048\r\n\r\n");
}

TEST(WireFormat, EchoedBlocksKeepTheLinesAsReadWithAcceptInserted)
{
    // F: block E as read (lines trimmed), Accept=True at index 1.
    RawPair p = makeRawPair();
    ASSERT_TRUE(p.peer->send("Command=Send\r\n  UserAgent=CRV2/\t\r\nContentType=FileList\nContentLength=5\r\n\r\n"));
    HeaderBlock b;
    ASSERT_EQ(Commands::ReadCommand(p.conn, b, 5000), CmdSend);
    b.insert(1, "Accept=True");
    ASSERT_TRUE(Transport::WriteHeader(p.conn, b));
    const QByteArray blockF =
        "Command=Send\r\nAccept=True\r\nUserAgent=CRV2/\r\nContentType=FileList\r\nContentLength=5\r\n\r\n";
    EXPECT_EQ(p.peer->read(blockF.size()), blockF);

    // N: block M as read, Accept=True at index 0, Command=Send second.
    ASSERT_TRUE(p.peer->send("Command=Send\r\nUserAgent=CRV2/\r\nFileName=x\r\nStartPosition=0\r\nFileAttr=32\r\n"
                             "ContentType=File\r\nContentLength=9\r\n\r\n"));
    ASSERT_EQ(Commands::ReadCommand(p.conn, b, 5000), CmdSend);
    b.insert(0, "Accept=True");
    ASSERT_TRUE(Transport::WriteHeader(p.conn, b));
    p.conn.shutdown();
    EXPECT_EQ(p.peer->readUntilClosed(), "Accept=True\r\nCommand=Send\r\nUserAgent=CRV2/\r\nFileName=x\r\n"
                                         "StartPosition=0\r\nFileAttr=32\r\nContentType=File\r\nContentLength=9\r\n\r\n");
}

TEST(WireFormat, LineBreakInsideALineIsNeverWritten)
{
    RawPair p = makeRawPair();
    HeaderBlock b;
    Header::MakeConnectHeader(b, 1, kToken, "evil\r\nCommand=Send");
    EXPECT_FALSE(Transport::WriteHeader(p.conn, b));
    Header::MakeRecvHeader(b, kToken, "File");
    b.insert(3, "FileName=a\nb");
    EXPECT_FALSE(Transport::WriteHeader(p.conn, b));
    p.conn.shutdown();
    EXPECT_EQ(p.peer->readUntilClosed(), QByteArray());
}

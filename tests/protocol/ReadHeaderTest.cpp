// Reading header blocks from a real socket: trimming, line ends, the line
// limit and the time limits.
#include "LoopbackPeer.h"
#include "core/protocol/Commands.h"
#include "core/protocol/Transport.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace corvid;
using namespace corvid::test;
using L = QList<QByteArray>;

TEST(ReadHeader, TrimsBothEndsAndAcceptsBareLf)
{
    RawPair p = makeRawPair();
    ASSERT_TRUE(p.peer->send("  Command=Send \t\nName=a\rb\r\r\n\x01UserAgent=CRV2/\r\n\r\n"));
    HeaderBlock b;
    ASSERT_TRUE(Transport::ReadHeader(p.conn, b, 5000));
    // A CR inside a line stays; one at the end goes with the trimming.
    EXPECT_EQ(b, (L{"Command=Send", "Name=a\rb", "UserAgent=CRV2/", ""}));
}

TEST(ReadHeader, BlankLineOfSpacesEndsTheBlock)
{
    RawPair p = makeRawPair();
    ASSERT_TRUE(p.peer->send("Command=Send\r\n \t \r\nName=x\r\n\r\n"));
    HeaderBlock b;
    ASSERT_TRUE(Transport::ReadHeader(p.conn, b, 5000));
    EXPECT_EQ(b, (L{"Command=Send", ""}));
    ASSERT_TRUE(Transport::ReadHeader(p.conn, b, 5000));
    EXPECT_EQ(b, (L{"Name=x", ""}));
}

TEST(ReadHeader, OnlyTheEmptyLineGivesAnEmptyBlockAndCodeMinusOne)
{
    RawPair p = makeRawPair();
    ASSERT_TRUE(p.peer->send("\r\nCommand=Recv\r\n\r\n"));
    HeaderBlock b{"stale"};
    EXPECT_EQ(Commands::ReadCommand(p.conn, b, 5000), CmdNothing);
    EXPECT_TRUE(b.isEmpty());
    EXPECT_EQ(Commands::ReadCommand(p.conn, b, 5000), CmdRecv);
}

TEST(ReadHeader, LineLimitCountsTheCrBeforeLf)
{
    const QByteArray max(Transport::kLineLimit, 'x');
    struct Case {
        QByteArray line;
        bool ok;
    } cases[] = {
        {max + "\n", true},
        {max.left(max.size() - 1) + "\r\n", true},
        {max + "\r\n", false},
        {max + "y\n", false},
    };
    for (const Case& c : cases) {
        RawPair p = makeRawPair();
        ASSERT_TRUE(p.peer->send(c.line + "\r\n"));
        HeaderBlock b;
        EXPECT_EQ(Transport::ReadHeader(p.conn, b, 5000), c.ok) << c.line.size();
        if (c.ok) {
            ASSERT_EQ(b.size(), 2);
            EXPECT_EQ(b[0].size(), c.line.count('x'));
        } else {
            // The rest of the line is never parsed as a block: the connection goes.
            bool closed = false;
            p.peer->readUntilClosed(&closed);
            EXPECT_TRUE(closed);
            EXPECT_FALSE(p.conn.isOpen());
        }
    }
}

TEST(ReadHeader, OverlongLineFailsWithoutWaitingForItsEnd)
{
    RawPair p = makeRawPair();
    ASSERT_TRUE(p.peer->send(QByteArray(Transport::kLineLimit + 1, 'x')));
    HeaderBlock b;
    // Waiting would end in a timeout, which reads as true with an empty block.
    EXPECT_FALSE(Transport::ReadHeader(p.conn, b, 20000));
    // Inside a block the limit applies to every line and earlier lines stay.
    RawPair q = makeRawPair();
    ASSERT_TRUE(q.peer->send("Command=Send\r\n" + QByteArray(Transport::kLineLimit + 1, 'x')));
    EXPECT_FALSE(Transport::ReadHeader(q.conn, b, 5000));
    EXPECT_EQ(b, (L{"Command=Send"}));
}

TEST(ReadHeader, TimeoutBeforeFirstLineIsAnEmptyBlockAndKeepsPartialBytes)
{
    RawPair p = makeRawPair();
    HeaderBlock b{"stale"};
    EXPECT_TRUE(Transport::ReadHeader(p.conn, b, 50));
    EXPECT_TRUE(b.isEmpty());
    ASSERT_TRUE(p.peer->send("Comm"));
    EXPECT_TRUE(Transport::ReadHeader(p.conn, b, 100));
    EXPECT_TRUE(b.isEmpty());
    EXPECT_EQ(p.conn.bufferedBytes(), 4);
    ASSERT_TRUE(p.peer->send("and=Send\r\n\r\n"));
    ASSERT_TRUE(Transport::ReadHeader(p.conn, b, 5000));
    EXPECT_EQ(b, (L{"Command=Send", ""}));
}

TEST(ReadHeader, PauseInsideABlockEndsItAndTheRestIsTheNextBlock)
{
    RawPair p = makeRawPair();
    ASSERT_TRUE(p.peer->send("Command=Send\r\nContentType=Mes"));
    HeaderBlock b;
    // The reader itself waits out the 500 ms for the next line.
    ASSERT_TRUE(Transport::ReadHeader(p.conn, b, 5000));
    EXPECT_EQ(b, (L{"Command=Send", ""}));
    ASSERT_TRUE(p.peer->send("sage\r\n\r\n"));
    ASSERT_TRUE(Transport::ReadHeader(p.conn, b, 5000));
    EXPECT_EQ(b, (L{"ContentType=Message", ""}));
}

TEST(ReadHeader, ShortPauseInsideABlockKeepsItTogether)
{
    RawPair p = makeRawPair();
    ASSERT_TRUE(p.peer->send("Command=Send\r\n"));
    auto late = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // well inside the 500 ms
        return p.peer->send("Name=x\r\n\r\n");
    });
    HeaderBlock b;
    ASSERT_TRUE(Transport::ReadHeader(p.conn, b, 5000));
    EXPECT_TRUE(late.get());
    EXPECT_EQ(b, (L{"Command=Send", "Name=x", ""}));
}

TEST(ReadHeader, ClosedConnectionFailsKeepingTheLinesRead)
{
    RawPair p = makeRawPair();
    ASSERT_TRUE(p.peer->send("Command=Send\r\nName=x\r\nUserAg"));
    p.peer->close();
    HeaderBlock b;
    EXPECT_FALSE(Transport::ReadHeader(p.conn, b, 5000));
    EXPECT_EQ(b, (L{"Command=Send", "Name=x"}));
    EXPECT_EQ(Commands::ReadCommand(p.conn, b, 5000), CmdNothing);
    EXPECT_FALSE(p.conn.isOpen());
}

TEST(ReadHeader, BodyInTheSameSegmentIsReadFromTheBuffer)
{
    RawPair p = makeRawPair();
    ASSERT_TRUE(p.peer->send("Command=Send\r\nContentType=Message\r\nContentLength=9\r\n\r\n"
                             "one\r\n\r\ntwCommand=Recv\r\n\r\n"));
    HeaderBlock b;
    ASSERT_EQ(Commands::ReadCommand(p.conn, b, 5000), CmdSend);
    QByteArray body;
    ASSERT_TRUE(Transport::ReadBody(p.conn, body, *Header::IntValue(b, "ContentLength")));
    EXPECT_EQ(body, "one\r\n\r\ntw");
    EXPECT_EQ(Commands::ReadCommand(p.conn, b, 5000), CmdRecv);
}

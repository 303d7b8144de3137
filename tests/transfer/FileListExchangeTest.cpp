// The file-list conversations over loopback, in both roles, with the exact
// blocks on the wire.
#include "TransferTestSupport.h"

#include "core/protocol/Commands.h"
#include "core/protocol/FileListExchange.h"
#include "core/protocol/ListLineSplitter.h"
#include "core/protocol/Transport.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <thread>

using namespace corvid;
using namespace corvid::test;

namespace {
const QByteArray kBody("\"a.txt\",\"1,234\",\r\n\"b c,d.txt\",\"56\",\r\n");
const QList<QByteArray> kLines{"\"a.txt\",\"1,234\",", "\"b c,d.txt\",\"56\","};
} // namespace

TEST(FileListExchange, FetchSendsBlockHAndReadsTheListAfterBlockI)
{
    Loopback lo;
    ASSERT_TRUE(lo.open());
    QList<QByteArray> lines;
    bool ok = false;
    std::thread client([&] { ok = FileListExchange::FetchFileList(lo.client, kToken, lines); });
    EXPECT_EQ(readBlock(lo.server), blockBytes({"Command=Recv", "UserAgent=CRV2/", "ContentType=FileList"}));
    lo.server.writeAll(blockBytes({"Command=Recv", "Accept=True", "ContentLength=37", "UserAgent=CRV2/",
                                   "ContentType=FileList"}) + kBody);
    client.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(lines, kLines);
}

TEST(FileListExchange, SendFileListAnswersWithBlockIAndTheBody)
{
    Loopback lo;
    ASSERT_TRUE(lo.open());
    ASSERT_TRUE(FileListExchange::SendFileList(lo.server, kToken, "FileList", kBody));
    const QByteArray expected = blockBytes({"Command=Recv", "Accept=True", "ContentLength=37", "UserAgent=CRV2/",
                                            "ContentType=FileList"}) + kBody;
    EXPECT_EQ(readBytes(lo.client, expected.size() + 1, 500), expected);
}

TEST(FileListExchange, PullBetweenTwoPeersOfOurs)
{
    Loopback lo;
    ASSERT_TRUE(lo.open());
    std::thread server([&] {
        HeaderBlock b;
        if (Commands::ReadCommand(lo.server, b, 3000) == CmdRecv && Header::GetContentType(b) == CtFileList)
            FileListExchange::SendFileList(lo.server, kToken, "FileList", kBody);
    });
    QList<QByteArray> lines;
    EXPECT_TRUE(FileListExchange::FetchFileList(lo.client, kToken, lines));
    server.join();
    EXPECT_EQ(lines, kLines);
}

TEST(FileListExchange, AnEmptyListAfterEitherBlockIsStillAList)
{
    Loopback lo;
    ASSERT_TRUE(lo.open());
    std::thread server([&] {
        HeaderBlock b;
        Commands::ReadCommand(lo.server, b, 3000);
        FileListExchange::SendFileList(lo.server, kToken, "FileList", {});
    });
    QList<QByteArray> lines{"stale"};
    EXPECT_TRUE(FileListExchange::FetchFileList(lo.client, kToken, lines));
    server.join();
    EXPECT_TRUE(lines.isEmpty());

    lo.client.writeAll(blockBytes({"Command=Send", "UserAgent=CRV2/", "ContentType=FileList", "ContentLength=0"}));
    HeaderBlock block;
    ASSERT_EQ(Commands::ReadCommand(lo.server, block, 3000), CmdSend);
    EXPECT_TRUE(FileListExchange::ReceiveFileList(lo.server, kToken, block));
    EXPECT_TRUE(block.isEmpty());
}

TEST(FileListExchange, FetchFailsOnARefusalOrAnotherContentType)
{
    for (const char* accept : {"Accept=False", "Accept=1"}) {
        Loopback lo;
        ASSERT_TRUE(lo.open());
        lo.server.writeAll(blockBytes({"Command=Recv", accept, "ContentLength=37", "ContentType=FileList"}) + kBody);
        QList<QByteArray> lines;
        EXPECT_FALSE(FileListExchange::FetchFileList(lo.client, kToken, lines)) << accept;
        EXPECT_TRUE(lines.isEmpty());
    }
    Loopback lo;
    ASSERT_TRUE(lo.open());
    lo.server.writeAll(blockBytes({"Command=Recv", "Accept=True", "ContentLength=37", "ContentType=File"}) + kBody);
    QList<QByteArray> lines;
    EXPECT_FALSE(FileListExchange::FetchFileList(lo.client, kToken, lines));
}

TEST(FileListExchange, FetchGivesUpAfterThreeSecondsWithoutAnAnswer)
{
    Loopback lo;
    ASSERT_TRUE(lo.open());
    QElapsedTimer t;
    t.start();
    QList<QByteArray> lines;
    EXPECT_FALSE(FileListExchange::FetchFileList(lo.client, kToken, lines));
    EXPECT_GE(t.elapsed(), 2900);
    EXPECT_LT(t.elapsed(), 9000);  // the 3 s limit, with twice its length as slack
}

TEST(FileListExchange, PushedListIsAcceptedWithBlockFAndRead)
{
    Loopback lo;
    ASSERT_TRUE(lo.open());
    bool ok = false;
    std::thread client([&] { ok = Transport::SendContent(lo.client, kToken, "FileList", kBody); });
    HeaderBlock block;
    ASSERT_EQ(Commands::ReadCommand(lo.server, block, 3000), CmdSend);
    ASSERT_EQ(Header::GetContentType(block), CtFileList);
    EXPECT_TRUE(FileListExchange::ReceiveFileList(lo.server, kToken, block));
    client.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(block, kLines);
}

TEST(FileListExchange, BlockFEchoesTheRequestWithAcceptAsSecondLine)
{
    Loopback lo;
    ASSERT_TRUE(lo.open());
    lo.client.writeAll(blockBytes({"Command=Send", "UserAgent=CRV2/", "ContentType=FileList", "ContentLength=37"}));
    HeaderBlock block;
    ASSERT_EQ(Commands::ReadCommand(lo.server, block, 3000), CmdSend);
    bool ok = false;
    std::thread server([&] { ok = FileListExchange::ReceiveFileList(lo.server, kToken, block); });
    EXPECT_EQ(readBlock(lo.client), blockBytes({"Command=Send", "Accept=True", "UserAgent=CRV2/",
                                                "ContentType=FileList", "ContentLength=37"}));
    lo.client.writeAll(kBody);
    server.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(block, kLines);
}

TEST(FileListExchange, PushedListWithoutANumberIsAnsweredThenFails)
{
    Loopback lo;
    ASSERT_TRUE(lo.open());
    lo.client.writeAll(blockBytes({"Command=Send", "UserAgent=CRV2/", "ContentType=FileList", "ContentLength=x"}));
    HeaderBlock block;
    ASSERT_EQ(Commands::ReadCommand(lo.server, block, 3000), CmdSend);
    EXPECT_FALSE(FileListExchange::ReceiveFileList(lo.server, kToken, block));
    EXPECT_EQ(readBlock(lo.client), blockBytes({"Command=Send", "Accept=True", "UserAgent=CRV2/",
                                                "ContentType=FileList", "ContentLength=x"}));
}

TEST(FileListExchange, ANegativeLengthIsNoListInEitherDirection)
{
    Loopback lo;
    ASSERT_TRUE(lo.open());
    lo.server.writeAll(blockBytes({"Command=Recv", "Accept=True", "ContentLength=-1", "ContentType=FileList"}));
    QList<QByteArray> lines;
    EXPECT_FALSE(FileListExchange::FetchFileList(lo.client, kToken, lines));
    EXPECT_FALSE(lo.client.isOpen());

    Loopback other;
    ASSERT_TRUE(other.open());
    other.client.writeAll(blockBytes({"Command=Send", "UserAgent=CRV2/", "ContentType=FileList", "ContentLength=-5"}));
    HeaderBlock block;
    ASSERT_EQ(Commands::ReadCommand(other.server, block, 3000), CmdSend);
    EXPECT_FALSE(FileListExchange::ReceiveFileList(other.server, kToken, block));
    EXPECT_FALSE(other.server.isOpen());
}

TEST(FileListExchange, PushedListCutShortFails)
{
    Loopback lo;
    ASSERT_TRUE(lo.open());
    lo.client.writeAll(blockBytes({"Command=Send", "UserAgent=CRV2/", "ContentType=FileList", "ContentLength=37"})
                       + kBody.left(20));
    lo.client.shutdown();
    HeaderBlock block;
    ASSERT_EQ(Commands::ReadCommand(lo.server, block, 3000), CmdSend);
    EXPECT_FALSE(FileListExchange::ReceiveFileList(lo.server, kToken, block));
}

TEST(FileListExchange, PushRefusedByThePeerSendsNoBody)
{
    Loopback lo;
    ASSERT_TRUE(lo.open());
    bool ok = true;
    std::thread client([&] { ok = Transport::SendContent(lo.client, kToken, "FileList", kBody); });
    readBlock(lo.server);
    lo.server.writeAll(blockBytes({"Command=Send", "Accept=False", "ContentType=FileList"}));
    client.join();
    EXPECT_FALSE(ok);
    lo.client.shutdown();
    QByteArray rest;
    EXPECT_TRUE(waitClosed(lo.server, 3000, &rest));
    EXPECT_TRUE(rest.isEmpty());
}

TEST(FileListExchange, ServerNoticesAreBlocksDAndG)
{
    Loopback lo;
    ASSERT_TRUE(lo.open());
    ASSERT_TRUE(Transport::SendContentNotice(lo.server, kTokenBare, "FileList", 37));
    EXPECT_EQ(readBlock(lo.client),
              blockBytes({"Command=Send", "UserAgent=CRV2", "ContentType=FileList", "ContentLength=37"}));
    ASSERT_TRUE(FileListExchange::RequestFileList(lo.server, kTokenBare));
    EXPECT_EQ(readBlock(lo.client), blockBytes({"Command=Recv", "UserAgent=CRV2", "ContentType=FileList"}));
}

// A body of millions of one-byte lines is read to its end but kept only to
// one line past the cap (enough to tell that the list was cut): the lines
// kept are bounded, and the connection stays in step for the next block.
TEST(FileListExchange, AHugeListIsKeptOnlyToTheCapAndReadToItsEnd)
{
    Loopback lo;
    ASSERT_TRUE(lo.open());
    const QByteArray body = QByteArray("x\n").repeated(4 << 20);  // 4 Mi lines
    bool ok = false;
    std::thread client([&] {
        ok = Transport::SendContent(lo.client, kToken, "FileList", body)
            && Transport::WriteHeader(lo.client, {"Command=Recv", "UserAgent=CRV2/", "ContentType=FileList", ""});
    });
    HeaderBlock block;
    ASSERT_EQ(Commands::ReadCommand(lo.server, block, 3000), CmdSend);
    EXPECT_TRUE(FileListExchange::ReceiveFileList(lo.server, kToken, block));
    ASSERT_EQ(block.size(), FileListExchange::kMaxListLines + 1);
    EXPECT_EQ(block.count("x"), block.size());
    HeaderBlock next;
    EXPECT_EQ(Commands::ReadCommand(lo.server, next, 3000), CmdRecv);
    client.join();
    EXPECT_TRUE(ok);
}

TEST(ListLineSplitter, LinesSpanPiecesAndBlankOrOverlongLinesAreLeftOut)
{
    using L = QList<QByteArray>;
    const QByteArray longest(ListLineSplitter::kMaxLineBytes, 'k');
    const QByteArray tooLong = longest + 'y';
    ListLineSplitter split(10);
    split.feed("a\r");
    split.feed("\nb");
    split.feed("c\n \t\r\n" + tooLong.left(100));
    split.feed(tooLong.mid(100) + "\n" + longest.left(7));
    split.feed(longest.mid(7) + "\r\n" + tooLong + "\rd");
    split.finish();
    EXPECT_EQ(split.takeLines(), (L{"a", "bc", longest, "d"}));

    // At the cap the rest is not even looked at.
    ListLineSplitter capped(2);
    capped.feed("1\n2\n3\n");
    EXPECT_TRUE(capped.full());
    capped.feed("4\n");
    capped.finish();
    EXPECT_EQ(capped.takeLines(), (L{"1", "2"}));
}

// The file conversations byte for byte: blocks J to P in both roles against
// a raw peer, and complete pulls and pushes between two peers of ours.
#include "EngineFixture.h"

#include <unistd.h>

using namespace corvid;
using namespace corvid::test;

namespace {
// Pattern data whose end cannot be taken for the start of block P.
QByteArray content(qint64 n, int seed = 7)
{
    QByteArray data = pattern(n, seed);
    data[data.size() - 1] = 'z';
    return data;
}
} // namespace

TEST_F(EngineTest, PullResumesAHiddenPartialCopyFromItsSize)
{
    const QByteArray data = content(1000);
    ASSERT_TRUE(writeFile(inPath("a.txt"), data.left(400)));
    ASSERT_TRUE(FileAttributes::Write(inPath("a.txt"), 34));
    auto rec = receiving("a.txt", 1000);

    TransferOutcome result;
    std::thread client([&] { result = TransferEngine::ReceiveFile(lo.client, kToken, *rec, 65536); });
    EXPECT_EQ(readBlock(lo.server), blockBytes({"Command=Recv", "UserAgent=CRV2/", "ContentType=File",
                                                "FileName=a.txt", "ContentLength=1000", "StartPosition=400"}));
    lo.server.writeAll(blockBytes({"Command=Recv", "Accept=True", "FileName=a.txt", "ContentLength=1000",
                                   "FileAttr=32", "UserAgent=CRV2/", "ContentType=File"})
                       + data.mid(400));
    EXPECT_EQ(readBlock(lo.server), blockBytes({"Command=Result", "UserAgent=CRV2/", "Result=True"}));
    lo.server.writeAll(blockBytes({"Command=Disconnect", "UserAgent=CRV2/"}));
    client.join();

    EXPECT_TRUE(result.ok()) << TransferOutcome::StatusName(result.status());
    EXPECT_EQ(readFile(inPath("a.txt")), data);
    EXPECT_EQ(attrOf(inPath("a.txt")), 32u);  // the sender's word: no longer hidden
    EXPECT_EQ(rec->DoneBytes.load(), 1000);
    EXPECT_EQ(rec->GetTransferred(), 1000);
    EXPECT_EQ(result.ReceiveResultCode(), RcReceived);
}

TEST_F(EngineTest, ServeFileAnswersWithBlockKThenDataThenBlockP)
{
    const QByteArray data = content(1000);
    ASSERT_TRUE(writeFile(outPath("a.txt"), data));
    auto rec = sending("a.txt", 400);

    TransferOutcome result;
    std::thread server([&] { result = TransferEngine::ServeFile(lo.server, kToken, *rec, 65536); });
    EXPECT_EQ(readBlock(lo.client), blockBytes({"Command=Recv", "Accept=True", "FileName=a.txt",
                                                "ContentLength=1000", "FileAttr=32", "UserAgent=CRV2/",
                                                "ContentType=File"}));
    EXPECT_EQ(readBytes(lo.client, 600), data.mid(400));
    lo.client.writeAll(blockBytes({"Command=Result", "UserAgent=CRV2/", "Result=True"}));
    EXPECT_EQ(readBlock(lo.client), blockBytes({"Command=Disconnect", "UserAgent=CRV2/"}));
    QByteArray rest;
    EXPECT_TRUE(waitClosed(lo.client, 3000, &rest));
    EXPECT_TRUE(rest.isEmpty());
    server.join();
    EXPECT_TRUE(result.ok());
    EXPECT_EQ(result.fileBytes(), 1000);
    EXPECT_EQ(result.SendResultCode(), RcSent);
}

TEST_F(EngineTest, MissingFileIsRefusedWithBlockLAndLeavesNoEmptyFile)
{
    auto out = sending("gone.txt");
    auto in = receiving("gone.txt", 1000);
    std::thread server([&] { TransferEngine::ServeFile(lo.server, kToken, *out, 65536); });
    EXPECT_EQ(readBlock(lo.client),
              blockBytes({"Command=Recv", "Accept=False", "UserAgent=CRV2/", "ContentType=File"}));
    EXPECT_TRUE(waitClosed(lo.client));
    server.join();

    // And between two peers of ours: the puller fails, nothing stays behind.
    Loopback second;
    ASSERT_TRUE(second.open());
    const Pair p = pullOn(second, *in, *out);
    EXPECT_EQ(p.client.status(), TransferStatus::Refused);
    EXPECT_EQ(p.server.status(), TransferStatus::LocalFileError);
    EXPECT_FALSE(QFile::exists(inPath("gone.txt")));
}

TEST(CopyLoop, ProgressCountsWholePiecesAndTheRestOfAChunk)
{
    // 150000 bytes as one span: 146 pieces of 1024 and one of 496.
    std::vector<qint64> steps;
    qint64 counted = 0;
    for (qint64 accepted = 0; accepted <= 150000; ++accepted) {
        const qint64 now = CopyLoop::CountedBytes(accepted, 150000);
        ASSERT_GE(now, counted);
        ASSERT_LE(now, accepted);
        if (now != counted)
            steps.push_back(now - counted);
        counted = now;
    }
    ASSERT_EQ(steps.size(), 147u);
    EXPECT_EQ(std::count(steps.begin(), steps.end(), 1024), 146);
    EXPECT_EQ(steps.back(), 496);
    EXPECT_EQ(CopyLoop::CountedBytes(70000, 65536), 65536);
    EXPECT_EQ(CopyLoop::CountedBytes(1023, 65536), 0);
}

TEST_F(EngineTest, PullOf150000BytesMovesThreeChunksAndCountsWhatTheSocketTook)
{
    const QByteArray data = content(150000);
    ASSERT_TRUE(writeFile(outPath("big.bin"), data));
    ASSERT_TRUE(FileAttributes::Write(outPath("big.bin"), 36));  // system + archive travel
    auto out = sending("big.bin");
    auto in = receiving("big.bin", 150000);
    Trace sent, received;
    out->Observer = &sent;
    in->Observer = &received;
    pid_t carrier = 0;
    std::vector<qint64> doneAfterChunk;
    received.afterChunk = [&](int) {
        carrier = in->CarrierThread();
        doneAfterChunk.push_back(in->DoneBytes.load());
    };

    std::atomic<bool> finished{false};
    std::vector<qint64> polledIn, polledOut;
    std::thread poller([&] {
        while (!finished.load()) {
            polledIn.push_back(in->GetTransferred());
            polledOut.push_back(out->DoneBytes.load());
        }
    });
    const Pair p = pull(*in, *out);
    finished = true;
    poller.join();

    ASSERT_TRUE(p.client.ok()) << TransferOutcome::StatusName(p.client.status());
    ASSERT_TRUE(p.server.ok()) << TransferOutcome::StatusName(p.server.status());
    EXPECT_EQ(sent.chunks, (std::vector<qint64>{65536, 65536, 18928}));
    EXPECT_EQ(received.chunks, (std::vector<qint64>{65536, 65536, 18928}));
    // The sender's count moves with what the socket accepted: forward only,
    // in whole pieces except at a chunk's end, and ends at the file size.
    ASSERT_FALSE(sent.pieces.empty());
    qint64 previous = 0;
    for (size_t i = 0; i < sent.pieces.size(); ++i) {
        EXPECT_GT(sent.pieces[i], 0);
        EXPECT_EQ(sent.doneAfterPiece[i], previous + sent.pieces[i]);
        const bool chunkEnd = sent.doneAfterPiece[i] % 65536 == 0 || sent.doneAfterPiece[i] == 150000;
        EXPECT_TRUE(chunkEnd || sent.doneAfterPiece[i] % 1024 == 0) << sent.doneAfterPiece[i];
        previous = sent.doneAfterPiece[i];
    }
    EXPECT_EQ(previous, 150000);
    EXPECT_EQ(out->DoneBytes.load(), 150000);
    EXPECT_EQ(doneAfterChunk, (std::vector<qint64>{65536, 131072, 150000}));
    EXPECT_TRUE(std::is_sorted(polledIn.begin(), polledIn.end()));
    EXPECT_TRUE(std::is_sorted(polledOut.begin(), polledOut.end()));
    EXPECT_LE(polledIn.empty() ? 0 : polledIn.back(), 150000);
    EXPECT_EQ(in->GetTransferred(), 150000);

    EXPECT_EQ(readFile(inPath("big.bin")), data);
    EXPECT_EQ(attrOf(inPath("big.bin")), 36u);
    EXPECT_EQ(carrier, ::gettid());  // the thread that carried the reception

    EXPECT_EQ(in->CarrierThread(), 0);  // released at the end
}

TEST_F(EngineTest, VisibleFileOfTheSameNameSendsTheDataToAFreshName)
{
    const QByteArray data = content(300);
    ASSERT_TRUE(writeFile(inPath("a.txt"), "old"));
    auto in = receiving("a.txt", 300);
    TransferOutcome result;
    std::thread client([&] { result = TransferEngine::ReceiveFile(lo.client, kToken, *in, 65536); });
    EXPECT_EQ(readBlock(lo.server), blockBytes({"Command=Recv", "UserAgent=CRV2/", "ContentType=File",
                                                "FileName=a.txt", "ContentLength=300", "StartPosition=0"}));
    lo.server.writeAll(blockBytes({"Command=Recv", "Accept=True", "FileName=a.txt", "ContentLength=300",
                                   "FileAttr=32", "UserAgent=CRV2/", "ContentType=File"})
                       + data);
    readBlock(lo.server);
    lo.server.writeAll(blockBytes({"Command=Disconnect", "UserAgent=CRV2/"}));
    client.join();
    EXPECT_TRUE(result.ok());
    EXPECT_EQ(readFile(inPath("a.txt")), "old");
    EXPECT_EQ(readFile(inPath("a_1.txt")), data);
}

TEST_F(EngineTest, RequestFileAsksOnTheSessionConnectionFromThePartialSize)
{
    ASSERT_TRUE(writeFile(inPath("a.txt"), pattern(400)));
    ASSERT_TRUE(FileAttributes::Write(inPath("a.txt"), 34));
    ASSERT_TRUE(TransferEngine::RequestFile(lo.server, kToken, inPath("a.txt"), 1000));
    EXPECT_EQ(readBlock(lo.client), blockBytes({"Command=Recv", "UserAgent=CRV2/", "ContentType=File",
                                                "FileName=a.txt", "ContentLength=1000", "StartPosition=400"}));
    ASSERT_TRUE(TransferEngine::RequestFile(lo.server, kToken, inPath("none.txt"), 1000));
    EXPECT_EQ(readBlock(lo.client), blockBytes({"Command=Recv", "UserAgent=CRV2/", "ContentType=File",
                                                "FileName=none.txt", "ContentLength=1000", "StartPosition=0"}));
}

TEST_F(EngineTest, PushFileSendsBlockMThenDataAfterBlockN)
{
    const QByteArray data = content(1000);
    ASSERT_TRUE(writeFile(outPath("a.txt"), data));
    auto out = sending("a.txt", 400);
    TransferOutcome result;
    std::thread client([&] { result = TransferEngine::PushFile(lo.client, kToken, *out, 65536); });
    const QByteArray m = blockBytes({"Command=Send", "UserAgent=CRV2/", "FileName=a.txt", "StartPosition=400",
                                     "FileAttr=32", "ContentType=File", "ContentLength=1000"});
    EXPECT_EQ(readBlock(lo.server), m);
    lo.server.writeAll("Accept=True\r\n" + m);
    EXPECT_EQ(readBytes(lo.server, 600), data.mid(400));
    lo.server.writeAll(blockBytes({"Command=Result", "UserAgent=CRV2/", "Result=True"}));
    EXPECT_EQ(readBlock(lo.server), blockBytes({"Command=Disconnect", "UserAgent=CRV2/"}));
    EXPECT_TRUE(waitClosed(lo.server));
    client.join();
    EXPECT_TRUE(result.ok()) << TransferOutcome::StatusName(result.status());
}

TEST_F(EngineTest, ReceivePushedFileEchoesMAsNAndAnswersResult)
{
    const QByteArray data = content(1000);
    auto in = receiving("a.txt", 1000);
    lo.client.writeAll(blockBytes({"Command=Send", "UserAgent=CRV2/", "FileName=a.txt", "StartPosition=0",
                                   "FileAttr=33", "ContentType=File", "ContentLength=1000"}));
    HeaderBlock m;
    ASSERT_EQ(Commands::ReadCommand(lo.server, m, 3000), CmdSend);
    TransferOutcome result;
    std::thread server([&] { result = TransferEngine::ReceivePushedFile(lo.server, kToken, *in, m, 65536); });
    EXPECT_EQ(readBlock(lo.client),
              blockBytes({"Accept=True", "Command=Send", "UserAgent=CRV2/", "FileName=a.txt", "StartPosition=0",
                          "FileAttr=33", "ContentType=File", "ContentLength=1000"}));
    lo.client.writeAll(data);
    EXPECT_EQ(readBlock(lo.client), blockBytes({"Command=Result", "UserAgent=CRV2/", "Result=True"}));
    lo.client.writeAll(blockBytes({"Command=Disconnect", "UserAgent=CRV2/"}));
    server.join();
    EXPECT_TRUE(result.ok()) << TransferOutcome::StatusName(result.status());
    EXPECT_EQ(readFile(inPath("a.txt")), data);
    EXPECT_EQ(attrOf(inPath("a.txt")), 33u);
    EXPECT_EQ(::access(QFile::encodeName(inPath("a.txt")).constData(), W_OK) == 0, geteuid() == 0);
}

TEST_F(EngineTest, PushBetweenTwoPeersOfOursResumesTheServersPartialCopy)
{
    const QByteArray data = content(50000);
    ASSERT_TRUE(writeFile(outPath("p.bin"), data));
    ASSERT_TRUE(writeFile(inPath("p.bin"), data.left(10000)));
    ASSERT_TRUE(FileAttributes::Write(inPath("p.bin"), 34));
    // The server asks on the session connection; the client takes the offset.
    Loopback session;
    ASSERT_TRUE(session.open());
    ASSERT_TRUE(TransferEngine::RequestFile(session.server, kToken, inPath("p.bin"), 50000));
    HeaderBlock j;
    ASSERT_EQ(Commands::ReadCommand(session.client, j, 3000), CmdRecv);
    ASSERT_EQ(Header::IntValue(j, "StartPosition"), 10000);

    auto out = sending("p.bin", *Header::IntValue(j, "StartPosition"));
    auto in = receiving("p.bin", 50000);
    const Pair p = push(*out, *in, 4096);
    EXPECT_TRUE(p.client.ok()) << TransferOutcome::StatusName(p.client.status());
    EXPECT_TRUE(p.server.ok()) << TransferOutcome::StatusName(p.server.status());
    EXPECT_EQ(readFile(inPath("p.bin")), data);
    EXPECT_EQ(attrOf(inPath("p.bin")), 32u);
}

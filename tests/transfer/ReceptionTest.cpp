// What a reception may trust: the folder a row was listed with, a partial
// copy only when it was made for the same listing, and a stop that takes
// effect while a sender trickles.
#include "EngineFixture.h"

#include "core/protocol/LocalFileChooser.h"
#include "core/transfer/FileListText.h"

#include <QElapsedTimer>

using namespace corvid;
using namespace corvid::test;

namespace {

// A partial copy left by a reception that expected `expected` bytes.
bool leavePartial(const QString& path, qint64 expected, const QByteArray& bytes)
{
    LocalFile f;
    return LocalFileChooser::Choose(path, expected, f) && f.Path() == path && f.Append(bytes);
}

} // namespace

TEST_F(EngineTest, RowsReceiveIntoTheFolderTheyWereListedWith)
{
    const QByteArray data = pattern(1000, 3);
    ASSERT_TRUE(writeFile(outPath("a.txt"), data));
    ASSERT_TRUE(writeFile(outPath("d.txt"), data));

    // The row's own folder, whatever RecvDir says by now.
    const RowRef row = recvQueue.Append("a.txt", "1,000", recvDir.path() + "/", RowState::Transferring);
    auto in = recvQueue.MakeRecord(row);
    auto out = sending("a.txt");
    Pair p = pull(*in, *out);
    EXPECT_TRUE(p.client.ok()) << TransferOutcome::StatusName(p.client.status());
    EXPECT_EQ(readFile(inPath("a.txt")), data);

    // A hand-written RecvDir with a doubled "/": rows carry it clean, and
    // the reception lands there.
    ASSERT_TRUE(QDir(recvDir.path()).mkdir("in"));
    const QString doubled = recvDir.path() + "//in/";
    MergeOptions options;
    options.receiveFolder = doubled;
    ASSERT_TRUE(FileListText::MergeListLines(recvQueue, {"\"d.txt\",\"1,000\","}, options));
    const RowRef listed = recvQueue.Row(recvQueue.Count() - 1).Ref();
    recvQueue.SetState(listed, RowState::Transferring);
    auto in2 = recvQueue.MakeRecord(listed);
    auto out2 = sending("d.txt");
    Loopback second;
    ASSERT_TRUE(second.open());
    p = pullOn(second, *in2, *out2);
    EXPECT_TRUE(p.client.ok()) << TransferOutcome::StatusName(p.client.status());
    EXPECT_EQ(readFile(recvDir.path() + "/in/d.txt"), data);
}

TEST_F(EngineTest, APartialCopyOfAnotherListedSizeIsNeverAppendedTo)
{
    // The peer replaced a.txt: it was listed with 1000 bytes, 256 came, and
    // now it is listed with 2000 bytes of other content.
    const QByteArray old = pattern(1000, 5);
    const QByteArray now = pattern(2000, 6);
    ASSERT_TRUE(leavePartial(inPath("a.txt"), 1000, old.left(256)));
    ASSERT_TRUE(writeFile(outPath("a.txt"), now));

    // The push of the server role: the request asks from 0, and the pushed
    // data goes to a fresh file.
    QByteArray wire;
    ASSERT_TRUE(TransferEngine::EncodeFileRequest(kToken, inPath("a.txt"), 2000, wire));
    const qint64 start = wire.mid(wire.indexOf("StartPosition=") + 14).split('\r').first().toLongLong();
    EXPECT_EQ(start, 0);
    auto pushed = receiving("a.txt", 2000);
    auto source = sending("a.txt", start);
    Pair p = push(*source, *pushed);
    EXPECT_TRUE(p.server.ok()) << TransferOutcome::StatusName(p.server.status());
    EXPECT_EQ(readFile(inPath("a_1.txt")), now);
    EXPECT_EQ(readFile(inPath("a.txt")), old.left(256));  // left as it was, still a partial copy
    EXPECT_EQ(attrOf(inPath("a.txt")), 34u);

    // The pull of the client role: from 0 as well.
    ASSERT_TRUE(QFile::remove(inPath("a_1.txt")));
    auto in = receiving("a.txt", 2000);
    auto out = sending("a.txt");
    Loopback second;
    ASSERT_TRUE(second.open());
    p = pullOn(second, *in, *out);
    EXPECT_EQ(out->StartPosition, 0);
    EXPECT_TRUE(p.client.ok()) << TransferOutcome::StatusName(p.client.status());
    EXPECT_EQ(readFile(inPath("a_1.txt")), now);
    EXPECT_EQ(readFile(inPath("a.txt")), old.left(256));

    // Listed again with its old size, the old copy is resumed where it ended.
    ASSERT_TRUE(writeFile(outPath("a.txt"), old));
    auto again = receiving("a.txt", 1000);
    auto oldOut = sending("a.txt");
    Loopback third;
    ASSERT_TRUE(third.open());
    p = pullOn(third, *again, *oldOut);
    EXPECT_EQ(oldOut->StartPosition, 256);
    EXPECT_TRUE(p.client.ok()) << TransferOutcome::StatusName(p.client.status());
    EXPECT_EQ(readFile(inPath("a.txt")), old);
    EXPECT_EQ(attrOf(inPath("a.txt")), 32u);
}

TEST_F(EngineTest, AStopTakesEffectWhileTheSenderTrickles)
{
    // One byte every 100 ms: the 1000-byte chunk would take 100 s, and a
    // read waits up to 60 s for a byte, so only a test between reads ends
    // it soon after the stop.
    auto in = receiving("t.bin", 1000);
    TransferOutcome result;
    std::atomic<bool> ended{false};
    std::thread client([&] {
        result = TransferEngine::ReceiveFile(lo.client, kToken, *in, 65536);
        ended = true;
    });
    readBlock(lo.server);
    lo.server.writeAll(blockBytes({"Command=Recv", "Accept=True", "FileName=t.bin", "ContentLength=1000",
                                   "FileAttr=32", "UserAgent=CRV2/", "ContentType=File"}));
    QElapsedTimer sinceStop;
    for (int i = 0; i < 300 && !ended; ++i) {
        lo.server.writeAll("x", 1);
        if (i == 5) {
            recvQueue.RunButton()->SetPressed(false);
            sinceStop.start();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(sinceStop.isValid());
    const qint64 stopToEnd = sinceStop.elapsed();
    const QByteArray answer = readBlock(lo.server);
    lo.server.shutdown();
    client.join();
    EXPECT_EQ(result.status(), TransferStatus::Stopped);
    EXPECT_LT(stopToEnd, 10000);  // the trickle alone runs for 30 s
    EXPECT_EQ(answer, blockBytes({"Command=Result", "UserAgent=CRV2/", "Result=False"}));
    EXPECT_FALSE(QFile::exists(inPath("t.bin")));  // the chunk in flight is dropped: nothing written
}

TEST_F(EngineTest, ASenderThatFallsSilentLosesTheReception)
{
    auto in = receiving("q.bin", 1000);
    LocalFile file;
    ASSERT_TRUE(LocalFileChooser::Choose(in->LocalPath, 1000, file));
    lo.server.writeAll(QByteArray(100, 'x'));
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(CopyLoop::Receive(lo.client, *in, file, 1000, 65536, 300), TransferStatus::ConnectionLost);
    EXPECT_GE(t.elapsed(), 250);
    EXPECT_EQ(file.Size(), 0);
}

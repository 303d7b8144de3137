// How transfers end early: stop conditions on both sides, entries that
// cannot run, cut connections, the closing block arriving in place of data,
// file read and write errors, mismatched answers and hostile names.
#include "EngineFixture.h"

#include "core/protocol/LocalFileChooser.h"

#include <QElapsedTimer>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/resource.h>

using namespace corvid;
using namespace corvid::test;

namespace {

QByteArray content(qint64 n, int seed = 11)
{
    QByteArray data = pattern(n, seed);
    for (qint64 i = 1; i <= n / 256; ++i)  // no chunk end may look like the start of block P
        if (data[qsizetype(i * 256 - 1)] == 'C')
            data[qsizetype(i * 256 - 1)] = 'c';
    data[data.size() - 1] = 'z';
    return data;
}

const QByteArray kBlockK1000 = blockBytes({"Command=Recv", "Accept=True", "FileName=a.txt", "ContentLength=1000",
                                           "FileAttr=32", "UserAgent=CRV2/", "ContentType=File"});
const QByteArray kBlockP = blockBytes({"Command=Disconnect", "UserAgent=CRV2/"});

enum class Stop { RowRemoved, ToggleUp, NotTransferring };

void applyStop(Stop how, TransferQueue& q, const RowRef& row)
{
    switch (how) {
    case Stop::RowRemoved: q.Remove(row); break;
    case Stop::ToggleUp: q.RunButton()->SetPressed(false); break;
    case Stop::NotTransferring: row->SetState(RowState::Refused); break;
    }
}

class StopTest : public EngineTest, public ::testing::WithParamInterface<Stop> {};

} // namespace

TEST_P(StopTest, ReceiverStopsBeforeTheNextChunkAndKeepsWhatItWrote)
{
    const QByteArray data = content(150000);
    auto in = receiving("s.bin", 150000);
    Trace trace;
    in->Observer = &trace;
    trace.afterChunk = [&](int) { applyStop(GetParam(), recvQueue, in->ListItem); };
    TransferOutcome result;
    std::thread client([&] { result = TransferEngine::ReceiveFile(lo.client, kToken, *in, 65536); });
    readBlock(lo.server);
    lo.server.writeAll(blockBytes({"Command=Recv", "Accept=True", "FileName=s.bin", "ContentLength=150000",
                                   "FileAttr=32", "UserAgent=CRV2/", "ContentType=File"})
                       + data);
    EXPECT_EQ(readBlock(lo.server), blockBytes({"Command=Result", "UserAgent=CRV2/", "Result=False"}));
    client.join();
    EXPECT_EQ(result.status(), TransferStatus::Stopped);
    EXPECT_EQ(trace.chunks.size(), 1u);
    EXPECT_EQ(readFile(inPath("s.bin")), data.left(65536));
    EXPECT_EQ(attrOf(inPath("s.bin")), 34u);  // still the hidden partial copy
}

TEST_P(StopTest, SenderStopsBeforeTheNextChunkAndTheReceiverKeepsOnlyData)
{
    const QByteArray data = content(150000);
    ASSERT_TRUE(writeFile(outPath("s.bin"), data));
    auto out = sending("s.bin");
    auto in = receiving("s.bin", 150000);
    Trace trace;
    out->Observer = &trace;
    trace.afterChunk = [&](int) { applyStop(GetParam(), sendQueue, out->ListItem); };
    const Pair p = pull(*in, *out);
    EXPECT_EQ(p.server.status(), TransferStatus::Stopped);
    EXPECT_EQ(p.client.status(), TransferStatus::ConnectionLost);
    EXPECT_EQ(trace.chunks.size(), 1u);
    EXPECT_EQ(readFile(inPath("s.bin")), data.left(65536));
    EXPECT_EQ(attrOf(inPath("s.bin")), 34u);
}

INSTANTIATE_TEST_SUITE_P(EachCondition, StopTest,
                         ::testing::Values(Stop::RowRemoved, Stop::ToggleUp, Stop::NotTransferring));

TEST_F(EngineTest, AnEntryThatCannotRunIsRefusedAndNeverPushed)
{
    ASSERT_TRUE(writeFile(outPath("a.txt"), content(1000)));
    auto out = sending("a.txt");
    sendQueue.RunButton()->SetPressed(false);
    auto in = receiving("a.txt", 1000);
    const Pair p = pull(*in, *out);
    EXPECT_EQ(p.server.status(), TransferStatus::NotRunnable);
    EXPECT_EQ(p.client.status(), TransferStatus::Refused);
    EXPECT_FALSE(QFile::exists(inPath("a.txt")));

    Loopback second;
    ASSERT_TRUE(second.open());
    const TransferOutcome pushed = TransferEngine::PushFile(second.client, kToken, *out, 65536);
    EXPECT_EQ(pushed.status(), TransferStatus::NotRunnable);
    QByteArray rest;
    EXPECT_TRUE(waitClosed(second.server, 3000, &rest));
    EXPECT_TRUE(rest.isEmpty());  // not even block M
}

TEST_F(EngineTest, ACutConnectionKeepsWholeChunksAndTheNextPullResumes)
{
    const QByteArray data = content(150000);
    auto in = receiving("c.bin", 150000);
    TransferOutcome first;
    std::thread client([&] { first = TransferEngine::ReceiveFile(lo.client, kToken, *in, 65536); });
    readBlock(lo.server);
    lo.server.writeAll(blockBytes({"Command=Recv", "Accept=True", "FileName=c.bin", "ContentLength=150000",
                                   "FileAttr=32", "UserAgent=CRV2/", "ContentType=File"})
                       + data.left(100000));
    lo.server.shutdown();
    client.join();
    EXPECT_EQ(first.status(), TransferStatus::ConnectionLost);
    EXPECT_EQ(readFile(inPath("c.bin")), data.left(65536));  // the chunk in flight is dropped
    EXPECT_EQ(attrOf(inPath("c.bin")), 34u);

    ASSERT_TRUE(writeFile(outPath("c.bin"), data));
    auto out = sending("c.bin");
    auto again = receiving("c.bin", 150000);
    Loopback second;
    ASSERT_TRUE(second.open());
    const Pair p = pullOn(second, *again, *out);
    EXPECT_EQ(out->StartPosition, 65536);
    EXPECT_TRUE(p.client.ok()) << TransferOutcome::StatusName(p.client.status());
    EXPECT_TRUE(p.server.ok());
    EXPECT_EQ(readFile(inPath("c.bin")), data);
    EXPECT_EQ(attrOf(inPath("c.bin")), 32u);
}

TEST_F(EngineTest, BlockPInPlaceOfTheLastBytesIsNeverKept)
{
    // The sender stops with 20 bytes still due and sends block P: its first
    // 20 bytes would complete the file.
    const QByteArray data = content(1000);
    auto in = receiving("a.txt", 1000);
    TransferOutcome result;
    std::thread client([&] { result = TransferEngine::ReceiveFile(lo.client, kToken, *in, 256); });
    readBlock(lo.server);
    lo.server.writeAll(kBlockK1000 + data.left(980) + kBlockP);
    lo.server.shutdown();
    client.join();
    EXPECT_FALSE(result.ok());
    const QByteArray kept = readFile(inPath("a.txt"));
    EXPECT_EQ(kept, data.left(980));  // the last chunk without the bytes of P
    EXPECT_FALSE(kept.contains("Command"));
    EXPECT_EQ(attrOf(inPath("a.txt")), 34u);
}

TEST_F(EngineTest, BlockPEndingAnEarlierChunkIsCutWhenTheDataStops)
{
    // Stopped at 500 of 1000: the second chunk of 256 ends with 12 bytes of
    // block P, and nothing but the rest of P follows.
    const QByteArray data = content(1000);
    auto in = receiving("a.txt", 1000);
    TransferOutcome result;
    std::thread client([&] { result = TransferEngine::ReceiveFile(lo.client, kToken, *in, 256); });
    readBlock(lo.server);
    lo.server.writeAll(kBlockK1000 + data.left(500) + kBlockP);
    lo.server.shutdown();
    client.join();
    EXPECT_EQ(result.status(), TransferStatus::ConnectionLost);
    EXPECT_EQ(readFile(inPath("a.txt")), data.left(500));
}

TEST_F(EngineTest, AChunkEndingLikeBlockPStaysWholeWhenDataFollows)
{
    // The first chunk of 256 really ends with "Comm"; data follows, then the
    // connection is cut mid-chunk. The good chunk is kept whole.
    QByteArray data = content(1000);
    data.replace(252, 4, "Comm");
    auto in = receiving("a.txt", 1000);
    TransferOutcome result;
    std::thread client([&] { result = TransferEngine::ReceiveFile(lo.client, kToken, *in, 256); });
    readBlock(lo.server);
    lo.server.writeAll(kBlockK1000 + data.left(300));
    lo.server.shutdown();
    client.join();
    EXPECT_EQ(result.status(), TransferStatus::ConnectionLost);
    EXPECT_EQ(readFile(inPath("a.txt")), data.left(256));
}

TEST_F(EngineTest, AChunkEndingLikeBlockPStaysWholeWhenTheReceptionStops)
{
    QByteArray data = content(1000);
    data.replace(252, 4, "Comm");
    auto in = receiving("a.txt", 1000);
    Trace trace;
    in->Observer = &trace;
    trace.afterChunk = [&](int) { recvQueue.RunButton()->SetPressed(false); };
    TransferOutcome result;
    std::thread client([&] { result = TransferEngine::ReceiveFile(lo.client, kToken, *in, 256); });
    readBlock(lo.server);
    lo.server.writeAll(kBlockK1000 + data.left(256));
    client.join();
    EXPECT_EQ(result.status(), TransferStatus::Stopped);
    EXPECT_EQ(readFile(inPath("a.txt")), data.left(256));
}

TEST_F(EngineTest, AFileThatEndsLikeBlockPStillCompletes)
{
    QByteArray data = content(1000);
    data.replace(990, 10, "Command=Di");
    auto in = receiving("a.txt", 1000);
    TransferOutcome result;
    std::thread client([&] { result = TransferEngine::ReceiveFile(lo.client, kToken, *in, 65536); });
    readBlock(lo.server);
    lo.server.writeAll(kBlockK1000 + data);
    EXPECT_EQ(readBlock(lo.server), blockBytes({"Command=Result", "UserAgent=CRV2/", "Result=True"}));
    lo.server.writeAll(kBlockP);
    client.join();
    EXPECT_TRUE(result.ok());
    EXPECT_EQ(readFile(inPath("a.txt")), data);
}

TEST_F(EngineTest, BytesThatCameWithTheAnswerGoBeforeBytesReadLaterFromTheSocket)
{
    // 300 bytes come with the answer; the rest is sent only once the first
    // chunk of 256 is on disk, so 44 bytes wait in the connection's buffer
    // while later ones wait in the socket.
    const QByteArray data = content(1000);
    auto in = receiving("a.txt", 1000);
    Trace trace;
    in->Observer = &trace;
    trace.afterChunk = [&](int chunkNo) {
        if (chunkNo == 1)
            lo.server.writeAll(data.mid(300));
    };
    TransferOutcome result;
    std::thread client([&] { result = TransferEngine::ReceiveFile(lo.client, kToken, *in, 256); });
    readBlock(lo.server);
    lo.server.writeAll(kBlockK1000 + data.left(300));
    EXPECT_EQ(readBlock(lo.server), blockBytes({"Command=Result", "UserAgent=CRV2/", "Result=True"}));
    lo.server.writeAll(kBlockP);
    client.join();
    EXPECT_TRUE(result.ok()) << TransferOutcome::StatusName(result.status());
    EXPECT_EQ(readFile(inPath("a.txt")), data);
}

TEST_F(EngineTest, ALetterCaseMismatchFailsWithoutResult)
{
    ASSERT_TRUE(writeFile(outPath("A.TXT"), content(1000)));
    auto out = sending("A.TXT");
    auto in = receiving("a.txt", 1000);
    const Pair p = pull(*in, *out);
    EXPECT_EQ(p.client.status(), TransferStatus::Mismatch);
    EXPECT_EQ(p.server.status(), TransferStatus::NotConfirmed);
    EXPECT_FALSE(QFile::exists(inPath("a.txt")));
}

TEST_F(EngineTest, NoAnswerWithinThreeSecondsKeepsTheResumedCopy)
{
    ASSERT_TRUE(writeFile(inPath("a.txt"), pattern(400)));
    ASSERT_TRUE(FileAttributes::Write(inPath("a.txt"), 34));
    auto in = receiving("a.txt", 1000);
    QElapsedTimer t;
    t.start();
    const TransferOutcome result = TransferEngine::ReceiveFile(lo.client, kToken, *in, 65536);
    EXPECT_EQ(result.status(), TransferStatus::NotAnswered);
    EXPECT_GE(t.elapsed(), 2900);
    EXPECT_EQ(readFile(inPath("a.txt")).size(), 400);
}

TEST_F(EngineTest, APushFromAnotherOffsetThanOurCopyIsNotTaken)
{
    const QByteArray data = content(1000);
    ASSERT_TRUE(writeFile(inPath("a.txt"), data.left(400)));
    ASSERT_TRUE(FileAttributes::Write(inPath("a.txt"), 34));
    auto in = receiving("a.txt", 1000);
    lo.client.writeAll(blockBytes({"Command=Send", "UserAgent=CRV2/", "FileName=a.txt", "StartPosition=0",
                                   "FileAttr=32", "ContentType=File", "ContentLength=1000"}));
    HeaderBlock m;
    ASSERT_EQ(Commands::ReadCommand(lo.server, m, 3000), CmdSend);
    const TransferOutcome result = TransferEngine::ReceivePushedFile(lo.server, kToken, *in, m, 65536);
    EXPECT_EQ(result.status(), TransferStatus::Mismatch);
    EXPECT_EQ(readFile(inPath("a.txt")), data.left(400));
    QByteArray rest;
    EXPECT_TRUE(waitClosed(lo.client, 3000, &rest));
    EXPECT_TRUE(rest.isEmpty());  // refused without block N
}

TEST_F(EngineTest, APushThatDoesNotMatchTheEntryIsRefusedWithoutAnswer)
{
    const char* starts[] = {"StartPosition=400", "StartPosition=0", "StartPosition=0", "StartPosition=0"};
    const char* attrs[] = {"FileAttr=32", "FileAttr=-1", "FileAttr=x", "FileAttr=32"};
    const char* sizes[] = {"ContentLength=1000", "ContentLength=1000", "ContentLength=1000", "ContentLength=999"};
    for (int i = 0; i < 4; ++i) {
        auto in = receiving("a.txt", 1000);  // nothing on disk: only offset 0 fits
        Loopback link;
        ASSERT_TRUE(link.open());
        link.client.writeAll(
            blockBytes({"Command=Send", "UserAgent=CRV2/", "FileName=a.txt", starts[i], attrs[i], "ContentType=File",
                        sizes[i]}));
        HeaderBlock m;
        ASSERT_EQ(Commands::ReadCommand(link.server, m, 3000), CmdSend);
        EXPECT_EQ(TransferEngine::ReceivePushedFile(link.server, kToken, *in, m, 65536).status(),
                  TransferStatus::Mismatch)
            << i;
        QByteArray rest;
        EXPECT_TRUE(waitClosed(link.client, 3000, &rest));
        EXPECT_TRUE(rest.isEmpty()) << i;
        EXPECT_FALSE(QFile::exists(inPath("a.txt"))) << i;
    }
}

TEST_F(EngineTest, TheSendersHiddenBitNeverStaysOnAFinishedFile)
{
    const QByteArray data = content(1000);
    auto in = receiving("a.txt", 1000);
    TransferOutcome result;
    std::thread client([&] { result = TransferEngine::ReceiveFile(lo.client, kToken, *in, 65536); });
    readBlock(lo.server);
    lo.server.writeAll(blockBytes({"Command=Recv", "Accept=True", "FileName=a.txt", "ContentLength=1000",
                                   "FileAttr=39", "UserAgent=CRV2/", "ContentType=File"})
                       + data);
    EXPECT_EQ(readBlock(lo.server), blockBytes({"Command=Result", "UserAgent=CRV2/", "Result=True"}));
    lo.server.writeAll(kBlockP);
    client.join();
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(attrOf(inPath("a.txt")), 37u);  // read-only, system, archive; not hidden
    // So a second reception of the name goes to a fresh file, never into it.
    EXPECT_EQ(LocalFileChooser::ResumeOffset(inPath("a.txt"), 2000), 0);
}

TEST_F(EngineTest, ANegativeAttributeWordFailsThePull)
{
    auto in = receiving("a.txt", 1000);
    TransferOutcome result;
    std::thread client([&] { result = TransferEngine::ReceiveFile(lo.client, kToken, *in, 65536); });
    readBlock(lo.server);
    lo.server.writeAll(blockBytes({"Command=Recv", "Accept=True", "FileName=a.txt", "ContentLength=1000",
                                   "FileAttr=-32", "UserAgent=CRV2/", "ContentType=File"})
                       + content(1000));
    client.join();
    EXPECT_EQ(result.status(), TransferStatus::Mismatch);
    EXPECT_FALSE(QFile::exists(inPath("a.txt")));
    EXPECT_EQ(FileAttributes::FinishedWord(-1), std::nullopt);
    EXPECT_EQ(FileAttributes::FinishedWord(0xFFFFFFFFll), 0xFFFFFFFDu);
}

TEST_F(EngineTest, ASenderWhosePeerStopsReadingGivesUpAndShutsDown)
{
    // Small socket buffers so that a peer that reads nothing blocks the
    // sender within a few hundred kilobytes.
    const int small = 4096;
    ::setsockopt(lo.client.fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(lo.server.fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const QByteArray data = content(4 << 20);
    ASSERT_TRUE(writeFile(outPath("s.bin"), data));
    auto out = sending("s.bin");
    const int fd = ::open(QFile::encodeName(outPath("s.bin")).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    QElapsedTimer t;
    t.start();
    qint64 position = 0;
    const TransferStatus status = CopyLoop::Send(lo.client, *out, fd, data.size(), 65536, position, 300);
    ::close(fd);
    EXPECT_EQ(status, TransferStatus::ConnectionLost);
    EXPECT_GE(t.elapsed(), 250);
    EXPECT_LT(t.elapsed(), 10000);
    EXPECT_LT(position, data.size());
    EXPECT_LT(out->DoneBytes.load(), data.size());
    EXPECT_FALSE(lo.client.isOpen());
    EXPECT_FALSE(lo.client.writeAll("x", 1));  // shut down: nothing more goes out
}

TEST_F(EngineTest, ASourceFileThatShrinksFailsTheSend)
{
    const QByteArray data = content(150000);
    ASSERT_TRUE(writeFile(outPath("r.bin"), data));
    auto out = sending("r.bin");
    auto in = receiving("r.bin", 150000);
    Trace trace;
    out->Observer = &trace;
    trace.afterChunk = [&](int) { ::truncate(QFile::encodeName(outPath("r.bin")).constData(), 70000); };
    const Pair p = pull(*in, *out);
    EXPECT_EQ(p.server.status(), TransferStatus::FileReadError);
    EXPECT_FALSE(p.client.ok());
    EXPECT_EQ(readFile(inPath("r.bin")), data.left(65536));
}

TEST_F(EngineTest, AWriteErrorEndsTheReceptionAndKeepsWhatWasWritten)
{
    const QByteArray data = content(150000);
    ASSERT_TRUE(writeFile(outPath("w.bin"), data));
    auto out = sending("w.bin");
    auto in = receiving("w.bin", 150000);
    rlimit old {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 100000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const Pair p = pull(*in, *out);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(p.client.status(), TransferStatus::FileWriteError);
    EXPECT_FALSE(p.server.ok());
    const QByteArray kept = readFile(inPath("w.bin"));
    EXPECT_EQ(kept, data.left(kept.size()));
    EXPECT_GE(kept.size(), 65536);
    EXPECT_EQ(in->DoneBytes.load(), kept.size());
    EXPECT_EQ(attrOf(inPath("w.bin")), 34u);
}

TEST_F(EngineTest, HostileLocalNamesNeverLeaveTheReceiveFolder)
{
    const QString sub = recvDir.path() + "/sub";
    ASSERT_TRUE(QDir().mkdir(sub));
    const QString paths[] = {
        recvDir.path() + "/..",
        recvDir.path() + "/a\\..\\b",
        recvDir.path() + "/",
        recvDir.path() + "/../x",           // the name is plain, the folder is not
        recvDir.path() + "/sub/../x",
        recvDir.path() + "//x",
        sub + "/x",                          // another folder than the receive folder
        QStringLiteral("x"),                 // no folder at all
    };
    for (const QString& path : paths) {
        auto in = receiving("x", 100);
        in->LocalPath = path;
        const QByteArray name = LocalFileChooser::BareName(path).toLatin1();
        EXPECT_EQ(TransferEngine::ReceiveFile(lo.client, kToken, *in, 65536).status(), TransferStatus::BadRequest);
        HeaderBlock m{"Command=Send", "FileName=" + name, "ContentLength=100", "StartPosition=0", "FileAttr=32"};
        Loopback other;
        ASSERT_TRUE(other.open());
        EXPECT_EQ(TransferEngine::ReceivePushedFile(other.server, kToken, *in, m, 65536).status(),
                  TransferStatus::BadRequest);
    }
    // A record without the receive folder is refused too.
    auto noFolder = receiving("x", 100);
    noFolder->ReceiveFolder.clear();
    EXPECT_EQ(TransferEngine::ReceiveFile(lo.client, kToken, *noFolder, 65536).status(), TransferStatus::BadRequest);
    EXPECT_TRUE(QDir(sub).isEmpty());
    ASSERT_TRUE(QDir().rmdir(sub));
    QByteArray rest;
    lo.client.shutdown();
    EXPECT_TRUE(waitClosed(lo.server, 3000, &rest));
    EXPECT_TRUE(rest.isEmpty());  // no request ever went out
    EXPECT_TRUE(QDir(recvDir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
}

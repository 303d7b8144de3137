// The client role's worker threads over loopback against a peer of ours:
// every job kind with its result code, the silent end without a peer, a
// second fetch of a row in transfer, a row removed mid-transfer, and
// shutdown while a worker waits on the UI thread or moves a file.
#include "TransferFakes.h"
#include "TransferTestSupport.h"
#include "WorkerPeer.h"
#include "session/FakeLog.h"

#include "core/protocol/Commands.h"
#include "core/protocol/FileListExchange.h"
#include "core/protocol/TransferEngine.h"
#include "core/protocol/TransferResultCode.h"
#include "core/session/UiHandOver.h"
#include "core/settings/AppSettings.h"
#include "core/settings/Conversions.h"
#include "core/transfer/FileListText.h"
#include "core/transfer/TClientThread.h"
#include "core/transfer/TransferCenter.h"
#include "core/transfer/TransferRun.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <future>
#include <list>
#include <mutex>
#include <thread>

using namespace corvid;
using namespace corvid::test;

namespace {

constexpr int kWaitMs = 20000;
const QByteArray kBody("\"a.txt\",\"1,234\",\r\n\"b c,d.txt\",\"56\",\r\n");

class ClientThreadTest : public ::testing::Test {
protected:
    QTemporaryDir recvDir;
    QTemporaryDir sendDir;
    FakeLog log;
    UiHandOver handOver;
    AppSettings settings;
    std::unique_ptr<TransferCenter> center;
    // Touched on the UI thread only.
    EventRecorder recorder;
    QList<QPair<int, QString>>& events = recorder.events;
    FakeTransferWindow window;
    int& arrivals = window.arrivals;

    void SetUp() override
    {
        settings.RecvDir = recvDir.path() + "/";
        settings.publish();
        center = std::make_unique<TransferCenter>(settings, log, handOver);
        observe();
    }
    void TearDown() override { center.reset(); }

    void observe()
    {
        center->addEventObserver(&recorder);
        center->setWindow(&window);
    }
    QList<int> codes() const
    {
        QList<int> out;
        for (const auto& e : events)
            out << e.first;
        return out;
    }
    bool run(int kind, quint16 port, const RowRef& row = {}, const QString& arg = {})
    {
        return center->StartWorkerTo("127.0.0.1", port, kind, arg, row);
    }
    // Every worker has ended and every step it posted (a final row step, a
    // report) has run: steps run in the order they were handed over.
    bool allDone()
    {
        if (!QTest::qWaitFor([&] { return center->WorkerCount() == 0; }, kWaitMs))
            return false;
        bool drained = false;
        handOver.post([&] { drained = true; });
        return QTest::qWaitFor([&] { return drained; }, kWaitMs);
    }

    // A receive row for a file of `size` bytes.
    RowRef receiveRow(const QString& name, qint64 size, RowState s = RowState::Waiting)
    {
        return center->receiveQueue().Append(name, Conversions::FormatThousands(size), settings.RecvDir, s);
    }
};

} // namespace

TEST_F(ClientThreadTest, ListJobsReportTheirResultCodes)
{
    // 31: the peer's list merges (2, the list-arrival reaction), then again
    // with nothing new (3), then a peer that does not answer (1).
    std::atomic<int> mode{0};
    QList<QByteArray> pushed;
    std::mutex pushedMutex;
    Peer peer([&](TcpConnection& c) {
        HeaderBlock b;
        const int cmd = Commands::ReadCommand(c, b, 3000);
        if (cmd == CmdRecv && mode == 0)
            FileListExchange::SendFileList(c, kToken, "FileList", kBody);
        if (cmd == CmdRecv && mode == 1)
            c.shutdown();  // closes without an answer
        if (cmd == CmdSend && Header::GetContentType(b) == CtFileList && FileListExchange::ReceiveFileList(c, kToken, b)) {
            std::lock_guard lock(pushedMutex);
            pushed = b;
        }
    });
    ASSERT_TRUE(run(TClientThread::FetchList, peer.port()));
    ASSERT_TRUE(allDone());
    ASSERT_EQ(center->receiveQueue().Count(), 2);
    EXPECT_EQ(center->receiveQueue().Row(1).Name(), "b c,d.txt");
    EXPECT_EQ(center->receiveQueue().Row(1).Folder(), settings.RecvDir);
    EXPECT_EQ(center->receiveQueue().Row(0).State(), RowState::Waiting);
    ASSERT_TRUE(run(TClientThread::FetchList, peer.port()));
    ASSERT_TRUE(allDone());
    mode = 1;
    ASSERT_TRUE(run(TClientThread::FetchList, peer.port()));
    ASSERT_TRUE(allDone());
    EXPECT_EQ(codes(), QList<int>({RcListArrived, RcListNothingNew, RcListNotReceived}));
    EXPECT_EQ(arrivals, 1);
    EXPECT_EQ(center->receiveQueue().Count(), 2);

    // 21: the send queue's list goes out (4) and its Unlisted rows wait;
    // with an empty send queue nothing goes out (0).
    events.clear();
    ASSERT_TRUE(run(TClientThread::SendList, peer.port()));
    ASSERT_TRUE(allDone());
    center->sendQueue().Append("x.bin", "1,000", "/s/", RowState::Unlisted);
    center->sendQueue().Append("y.bin", "7", "/s/", RowState::Waiting);
    ASSERT_TRUE(run(TClientThread::SendList, peer.port()));
    ASSERT_TRUE(allDone());
    EXPECT_EQ(codes(), QList<int>({RcListNotSent, RcListSent}));
    EXPECT_EQ(center->sendQueue().Row(0).State(), RowState::Waiting);
    // The worker is done once its bytes are out; the peer takes them on a
    // thread of its own.
    const auto got = [&] {
        std::lock_guard lock(pushedMutex);
        return pushed;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return !got().isEmpty(); }, kWaitMs));
    EXPECT_EQ(got(), QList<QByteArray>({"\"x.bin\",\"1,000\",", "\"y.bin\",\"7\","}));
    EXPECT_TRUE(log.lines().isEmpty());  // codes 0 to 4 are never logged
}

TEST_F(ClientThreadTest, FileJobsMoveTheFileAndUpdateTheRow)
{
    const QByteArray content = pattern(150000);
    ASSERT_TRUE(writeFile(sendDir.filePath("f.dat"), content));
    center->receiveQueue().RunButton()->SetPressed(true);
    center->sendQueue().RunButton()->SetPressed(true);

    // 32: pull from a serving peer.
    FileServer server{sendDir.path(), content};
    Peer puller([&](TcpConnection& c) { server.serve(c); });
    const RowRef in = receiveRow("f.dat", content.size());
    // RecvDir changes after the row was listed: the row keeps its folder.
    QTemporaryDir laterDir;
    settings.RecvDir = laterDir.path() + "/";
    settings.publish();
    ASSERT_TRUE(run(TClientThread::FetchFile, puller.port(), in));
    ASSERT_TRUE(allDone());
    EXPECT_EQ(readFile(recvDir.filePath("f.dat")), content);
    EXPECT_TRUE(QDir(laterDir.path()).isEmpty());
    EXPECT_EQ(in->State(), RowState::Done);
    EXPECT_EQ(center->receiveQueue().Row(0).Text(2), "150,000");
    EXPECT_EQ(center->receiveQueue().Row(0).Text(3), "100%");
    EXPECT_EQ(center->receivingList().Count(), 0);

    // 22: push on the peer's request, from StartPosition 0.
    QTemporaryDir peerDir;
    Peer receiver([&](TcpConnection& c) {
        HeaderBlock b;
        if (Commands::ReadCommand(c, b, 3000) != CmdSend || Header::GetContentType(b) != CtFile)
            return;
        TransferQueue q(QueueKind::Receive);
        q.RunButton()->SetPressed(true);
        const RowRef row = q.Append("f.dat", "150,000", peerDir.path() + "/", RowState::Transferring);
        auto rec = q.MakeRecord(row);
        TransferEngine::ReceivePushedFile(c, kToken, *rec, b, 65536);
    });
    const RowRef out = center->sendQueue().Append("f.dat", "150,000", sendDir.path() + "/", RowState::Waiting);
    ASSERT_TRUE(run(TClientThread::SendFile, receiver.port(), out, "0"));
    ASSERT_TRUE(allDone());
    EXPECT_EQ(readFile(peerDir.filePath("f.dat")), content);
    EXPECT_EQ(out->State(), RowState::Done);
    EXPECT_EQ(center->sendingList().Count(), 0);

    EXPECT_EQ(codes(), QList<int>({RcReceiveStarted, RcReceived, RcSendStarted, RcSent}));
    EXPECT_EQ(log.lines(), QStringList({"ファイル受信開始：f.dat", "ファイル受信成功：f.dat", "ファイル送信開始：f.dat",
                                        "ファイル送信成功：f.dat"}));
}

TEST_F(ClientThreadTest, AnUnreachablePeerEndsEveryJobSilently)
{
    quint16 port = 0;
    {
        TcpListener closed;
        ASSERT_TRUE(closed.listen(0));
        port = closed.port();
    }
    center->sendQueue().Append("x.bin", "1,000", "/s/", RowState::Unlisted);
    const RowRef in = receiveRow("a.txt", 10);
    for (int kind : {21, 31, 32})
        ASSERT_TRUE(run(kind, port, kind == 32 ? in : RowRef()));
    ASSERT_TRUE(allDone());
    EXPECT_TRUE(events.isEmpty());
    EXPECT_TRUE(log.lines().isEmpty());
    EXPECT_EQ(in->State(), RowState::Waiting);
    EXPECT_EQ(center->sendQueue().Row(0).State(), RowState::Unlisted);
}

TEST_F(ClientThreadTest, ASecondFetchOfARowInTransferEndsWithoutReport)
{
    const QByteArray content = pattern(10 * 65536);
    ASSERT_TRUE(writeFile(sendDir.filePath("g.dat"), content));
    center->receiveQueue().RunButton()->SetPressed(true);
    Gate gate(2);
    FileServer server{sendDir.path(), content, &gate};
    Peer peer([&](TcpConnection& c) { server.serve(c); });
    const RowRef row = receiveRow("g.dat", content.size());
    ASSERT_TRUE(run(TClientThread::FetchFile, peer.port(), row));
    ASSERT_TRUE(QTest::qWaitFor([&] { return gate.reached(); }, kWaitMs));
    ASSERT_TRUE(run(TClientThread::FetchFile, peer.port(), row));
    ASSERT_TRUE(QTest::qWaitFor([&] { return center->WorkerCount() == 1 && peer.accepted() == 2; }, kWaitMs));
    gate.open();
    ASSERT_TRUE(allDone());
    EXPECT_EQ(codes(), QList<int>({RcReceiveStarted, RcReceived}));
    EXPECT_EQ(readFile(recvDir.filePath("g.dat")), content);
    EXPECT_FALSE(QFileInfo::exists(recvDir.filePath("g_1.dat")));
}

TEST_F(ClientThreadTest, ARowRemovedDuringItsTransferIsSkippedAndTheReportStillComes)
{
    const QByteArray content = pattern(10 * 65536);
    ASSERT_TRUE(writeFile(sendDir.filePath("h.dat"), content));
    center->receiveQueue().RunButton()->SetPressed(true);
    Gate gate(2);
    FileServer server{sendDir.path(), content, &gate};
    Peer peer([&](TcpConnection& c) { server.serve(c); });
    const RowRef row = receiveRow("h.dat", content.size());
    center->receiveQueue().Append("other.txt", "5", settings.RecvDir, RowState::Waiting);
    ASSERT_TRUE(run(TClientThread::FetchFile, peer.port(), row));
    ASSERT_TRUE(QTest::qWaitFor([&] { return gate.reached(); }, kWaitMs));
    ASSERT_TRUE(center->receiveQueue().Remove(row));
    gate.open();
    ASSERT_TRUE(allDone());
    EXPECT_EQ(codes(), QList<int>({RcReceiveStarted, RcReceiveFailed}));
    EXPECT_EQ(events.last().second, "h.dat");
    EXPECT_TRUE(log.contains("ファイル受信失敗：h.dat"));
    ASSERT_EQ(center->receiveQueue().Count(), 1);
    EXPECT_EQ(center->receiveQueue().Row(0).State(), RowState::Waiting);
    EXPECT_EQ(center->receiveQueue().Row(0).Text(2), "");
}

TEST_F(ClientThreadTest, ShutdownWhileAHandOverIsPendingTouchesNoRow)
{
    std::atomic<bool> sent{false};
    Peer peer([&](TcpConnection& c) {
        HeaderBlock b;
        if (Commands::ReadCommand(c, b, 3000) == CmdRecv)
            sent = FileListExchange::SendFileList(c, kToken, "FileList", kBody);
    });
    ASSERT_TRUE(run(TClientThread::FetchList, peer.port()));
    // The UI thread does not spin here, so the merge step cannot run.
    for (int i = 0; i < 2000 && !sent; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(sent.load());
    handOver.beginShutdown();
    center->Shutdown();  // returns only when the worker has ended
    EXPECT_EQ(center->WorkerCount(), 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(center->receiveQueue().Count(), 0);
    EXPECT_TRUE(events.isEmpty());
    EXPECT_FALSE(center->StartWorkerTo("127.0.0.1", peer.port(), TClientThread::FetchList));
}

// Shutdown in the middle of a reception leaves a hidden partial file that
// the next program run resumes. CORVID_SHUTDOWN_MB sets the file size
// (default 8 MiB; the stress runs use 200).
TEST_F(ClientThreadTest, ShutdownInTheMiddleOfAReceptionLeavesAResumablePartialFile)
{
    const qint64 mb = qEnvironmentVariableIntValue("CORVID_SHUTDOWN_MB") > 0
        ? qEnvironmentVariableIntValue("CORVID_SHUTDOWN_MB") : 8;
    const qint64 size = mb * 1024 * 1024;
    const QByteArray content = pattern(size, 11);
    ASSERT_TRUE(writeFile(sendDir.filePath("big.bin"), content));
    center->receiveQueue().RunButton()->SetPressed(true);
    const int middle = int(size / 65536 / 2);
    Gate gate(middle);
    FileServer server{sendDir.path(), content, &gate};
    {
        Peer peer([&](TcpConnection& c) { server.serve(c); });
        const RowRef row = receiveRow("big.bin", size);
        ASSERT_TRUE(run(TClientThread::FetchFile, peer.port(), row));
        ASSERT_TRUE(QTest::qWaitFor([&] { return gate.reached(); }, kWaitMs));
        ASSERT_TRUE(QTest::qWaitFor([&] { return center->receivingList().Count() == 1
                                                 && center->receivingList().At(0)->GetTransferred() > 0; },
                                    kWaitMs));
        handOver.beginShutdown();
        center->Shutdown();
        gate.open();
        EXPECT_EQ(codes(), QList<int>({RcReceiveStarted}));
        EXPECT_EQ(row->State(), RowState::Transferring);  // untouched after the shutdown
        EXPECT_EQ(center->receivingList().Count(), 0);     // its dropped final step let go of the claim
    }
    const QString path = recvDir.filePath("big.bin");
    const qint64 partial = QFileInfo(path).size();
    EXPECT_GT(partial, 0);
    EXPECT_LT(partial, size);
    EXPECT_TRUE(attrOf(path) & 2) << "the partial copy must stay hidden";

    // The next run: a fresh hand-over and transfer side resume the file.
    UiHandOver again;
    TransferCenter next(settings, log, again);
    next.receiveQueue().RunButton()->SetPressed(true);
    FileServer resume{sendDir.path(), content};
    Peer peer([&](TcpConnection& c) { resume.serve(c); });
    const RowRef row = next.receiveQueue().Append("big.bin", Conversions::FormatThousands(size), settings.RecvDir,
                                                  RowState::Waiting);
    ASSERT_TRUE(next.StartWorkerTo("127.0.0.1", peer.port(), TClientThread::FetchFile, {}, row));
    // Its claim goes last in its final row step.
    ASSERT_TRUE(QTest::qWaitFor([&] { return next.WorkerCount() == 0 && next.receivingList().Count() == 0; }, 120000));
    EXPECT_EQ(resume.lastStart.load(), partial);
    EXPECT_EQ(row->State(), RowState::Done);
    EXPECT_TRUE(readFile(path) == content);
    EXPECT_FALSE(attrOf(path) & 2);
}

// FindConnectionThread: from its claim until it finishes, a transfer's
// thread is the carrier of its connection, and a reception's record names
// that thread; afterwards the connection has no carrier.
TEST_F(ClientThreadTest, ATransferCarriesItsConnectionFromClaimToFinish)
{
    const RowRef row = receiveRow("c.bin", 10);
    TcpConnection connection;  // the claim does not touch it
    std::atomic<pid_t> carrier{0};
    std::atomic<bool> claimed{false};
    std::promise<void> finish;
    std::thread t([&, finished = finish.get_future()] {
        carrier = static_cast<pid_t>(::gettid());
        TransferRun run(*center, TransferRun::Flow::Fetch);
        TransferRun::Request request;
        request.row = row;
        claimed = run.Claim(request, connection, {});
        finished.wait();
        run.Finish();
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return claimed.load(); }, kWaitMs));
    EXPECT_NE(carrier.load(), static_cast<pid_t>(::gettid()));
    EXPECT_EQ(center->FindConnectionThread(&connection), carrier.load());
    const TransferList::Record rec = center->receivingList().FindTransfer(row);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->CarrierThread(), carrier.load());
    finish.set_value();
    t.join();
    EXPECT_EQ(center->FindConnectionThread(&connection), 0);
    ASSERT_TRUE(allDone());
    EXPECT_TRUE(center->receivingList().NotInTransfer(row));
}

// The listening side's file conversations through the session's dispatch:
// only the session partner is served, and each conversation leaves the rows
// and log lines it should.
#include "ListeningSide.h"
#include "TransferFakes.h"
#include "TransferTestSupport.h"
#include "WorkerPeer.h"
#include "session/SessionSide.h"

#include "core/protocol/Commands.h"
#include "core/protocol/FileListExchange.h"
#include "core/protocol/ProtocolLevel.h"
#include "core/protocol/TransferEngine.h"
#include "core/protocol/TransferResultCode.h"
#include "core/protocol/Transport.h"
#include "core/settings/AppSettings.h"
#include "core/settings/Conversions.h"
#include "core/transfer/FileListText.h"
#include "core/transfer/SessionControllerLink.h"
#include "core/transfer/TClientThread.h"
#include "core/transfer/TransferCenter.h"
#include "core/transfer/TransferDispatch.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

using namespace corvid;
using namespace corvid::test;
using Outcome = SessionController::ConnectOutcome;

namespace {

constexpr int kWaitMs = 5000;

// The peer's side of a transfer: a queue row of its own, in transfer.
struct PeerRow {
    TransferQueue queue;
    RowRef row;
    PeerRow(QueueKind kind, const QString& name, qint64 size, const QString& folder)
        : queue(kind)
    {
        queue.RunButton()->SetPressed(true);
        row = queue.Append(name, Conversions::FormatThousands(size), folder, RowState::Transferring);
    }
};

// The peer's pull of `name` into the folder `into`.
bool pull(TcpConnection c, const QString& name, qint64 size, const QString& into, CopyObserver* observer = nullptr)
{
    PeerRow p(QueueKind::Receive, name, size, into);
    auto rec = p.queue.MakeRecord(p.row);
    rec->Observer = observer;
    return TransferEngine::ReceiveFile(c, QByteArray(kToken), *rec, 65536).ok();
}

// Spins the UI thread until `ready` holds.
template <typename F> bool spinUntil(F ready)
{
    return QTest::qWaitFor(ready, kWaitMs);
}

// Holds the UI thread busy, with no event handled, until `ended` holds and
// for 200 ms more: the listening side's transfer ends while no step of
// its can run.
template <typename F> void holdUiBusy(F ended)
{
    QElapsedTimer t;
    t.start();
    while (!ended() && t.elapsed() < kWaitMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

// A thread that does nothing but can be told apart by the scheduler: the
// carrier of a normal reception that a priority reception slows down.
class IdleCarrier {
public:
    IdleCarrier()
        : thread_([this] {
            std::unique_lock lock(mutex_);
            tid_ = ::gettid();
            cv_.notify_all();
            cv_.wait(lock, [&] { return done_; });
        })
    {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return tid_ != 0; });
    }
    ~IdleCarrier()
    {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    pid_t tid() const { return tid_; }
    int nice() const { return ::getpriority(PRIO_PROCESS, id_t(tid_)); }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    pid_t tid_ = 0;
    bool done_ = false;
    std::thread thread_;
};

} // namespace

TEST(TransferDispatch, StrangersGetNoAnswerToAnyConversation)
{
    Listening l;
    l.offer(QStringLiteral("a.txt"), pattern(1000));
    // A stranger at another loopback address, and anyone once there is no
    // session, asks for the list and gets nothing within the wait.
    QList<QByteArray> lines;
    EXPECT_FALSE(FileListExchange::FetchFileList(*std::make_unique<TcpConnection>(l.open("127.0.0.2")), QByteArray(kToken), lines));
    QTemporaryDir into;
    EXPECT_FALSE(pull(l.open("127.0.0.2"), QStringLiteral("a.txt"), 1000, into.path() + "/"));
    EXPECT_TRUE(QDir(into.path()).isEmpty());
    EXPECT_EQ(l.center->sendQueue().Row(0).State(), RowState::Waiting);

    l.partner.ctl.disconnectClient();
    QTRY_VERIFY_WITH_TIMEOUT(!l.a.ctl.hasServerSession(), kWaitMs);
    EXPECT_FALSE(FileListExchange::FetchFileList(*std::make_unique<TcpConnection>(l.open()), QByteArray(kToken), lines));
}

TEST(TransferDispatch, PartnerPullsTheListAndAFile)
{
    Listening l;
    const QByteArray bytes = pattern(150000);
    const RowRef row = l.offer(QStringLiteral("report.txt"), bytes);
    l.center->sendQueue().RunButton()->SetPressed(true);

    QList<QByteArray> lines;
    TcpConnection listConn = l.open();
    ASSERT_TRUE(asPeer([&] { return FileListExchange::FetchFileList(listConn, QByteArray(kToken), lines); }));
    // The partner speaks the original protocol: today's line, no time.
    EXPECT_EQ(lines, (QList<QByteArray>{"\"report.txt\",\"150,000\","}));

    QTemporaryDir into;
    TcpConnection fileConn = l.open();
    EXPECT_TRUE(asPeer([&] { return pull(std::move(fileConn), QStringLiteral("report.txt"), bytes.size(), into.path() + "/"); }));
    EXPECT_EQ(readFile(into.filePath(QStringLiteral("report.txt"))), bytes);
    QTRY_COMPARE_WITH_TIMEOUT(row->State(), RowState::Done, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(l.a.log.contains(QStringLiteral("ファイル送信成功：report.txt")), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(l.center->sendingList().NotInTransfer(row), kWaitMs);
}

// An original partner gets today's list without the rows it could not take
// (3 GiB, a folder's file), each told once, and asking for them gets no
// answer: nothing is sent.
TEST(TransferDispatch, AnOriginalPartnerIsNeverOfferedBigOrFolderRows)
{
    Listening l(ProtocolLevel::kOriginal);
    ASSERT_EQ(l.link.protocolNumber(), ProtocolLevel::kOriginal);
    TransferQueue& send = l.center->sendQueue();
    l.offer(QStringLiteral("report.txt"), pattern(1000));
    constexpr qint64 k3GiB = qint64(3) << 30;
    ASSERT_TRUE(writeFile(l.sendDir.filePath("big.iso"), {}));
    ASSERT_EQ(::truncate(QFile::encodeName(l.sendDir.filePath("big.iso")).constData(), k3GiB), 0);  // sparse
    const RowRef big = send.Append("big.iso", Conversions::FormatThousands(k3GiB), l.sendDir.path() + "/",
                                   RowState::Waiting);
    ASSERT_TRUE(QDir(l.sendDir.path()).mkpath("photos"));
    ASSERT_TRUE(writeFile(l.sendDir.filePath("photos/a.jpg"), pattern(56)));
    const RowRef nested = send.Append("photos/a.jpg", "56", l.sendDir.path() + "/", RowState::Waiting);
    send.RunButton()->SetPressed(true);

    for (int i = 0; i < 2; ++i) {
        QList<QByteArray> lines;
        TcpConnection listConn = l.open();
        ASSERT_TRUE(asPeer([&] { return FileListExchange::FetchFileList(listConn, QByteArray(kToken), lines); }));
        EXPECT_EQ(lines, (QList<QByteArray>{"\"report.txt\",\"1,000\","}));
    }
    const QString leftOut[] = {QStringLiteral("big.iso は2GB以上のため、相手(旧プロトコル)には送信できません"),
                               QStringLiteral("photos/a.jpg はフォルダ内のファイルのため、相手(旧プロトコル)には送信できません")};
    for (const QString& line : leftOut)
        EXPECT_EQ(l.a.log.lines().count(line), 1) << line.toStdString();

    for (const auto& [name, size] : {std::pair{QByteArray("big.iso"), k3GiB}, std::pair{QByteArray("photos/a.jpg"), qint64(56)}}) {
        TcpConnection c = l.open();
        HeaderBlock answer;
        ASSERT_TRUE(asPeer([&] {
            return Transport::WriteHeader(c, TransferEngine::MakeFileRequest(QByteArray(kToken), name, size, 0));
        }));
        // A served file would answer at once; no answer within the wait.
        asPeer([&] { return Transport::ReadHeader(c, answer, 1500); });
        EXPECT_TRUE(answer.isEmpty()) << name.constData() << ": " << answer.join("|").constData();
    }
    EXPECT_EQ(big->State(), RowState::Waiting);
    EXPECT_EQ(nested->State(), RowState::Waiting);
    EXPECT_TRUE(l.center->sendingList().NotInTransfer(big));
    EXPECT_FALSE(l.a.log.contains(QStringLiteral("ファイル送信開始：big.iso")));
}

TEST(TransferDispatch, PushedListWaitsForTheWindowThenMerges)
{
    Listening l;
    const auto push = [&](const QByteArray& body) {
        TcpConnection c = l.open();
        return Transport::SendContent(c, QByteArray(kToken), "FileList", body);
    };
    ASSERT_TRUE(push("\"one.txt\",\"10\",\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(l.center->schedule().PendingList.size(), 1, kWaitMs);
    // A second list before the first showing replaces the first.
    ASSERT_TRUE(push("\"two.txt\",\"20\",\r\n\"three.txt\",\"30\",\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(l.center->schedule().PendingList.size(), 2, kWaitMs);
    EXPECT_TRUE(l.center->schedule().PriorityPending);
    EXPECT_EQ(l.center->receiveQueue().Count(), 0);

    l.center->schedule().ListWindowShown = true;
    ASSERT_TRUE(push("\"two.txt\",\"20\",\r\n\"four.txt\",\"40\",\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(l.center->receiveQueue().Count(), 2, kWaitMs);
    EXPECT_EQ(l.center->receiveQueue().Row(1).Name(), QStringLiteral("four.txt"));
}

TEST(TransferDispatch, PushedFileLandsInTheReceiveFolderOnceAndTellsTheScheduler)
{
    Listening l;
    const QByteArray bytes = pattern(70000);
    const RowRef row = l.center->receiveQueue().Append(QStringLiteral("pic.png"), Conversions::FormatThousands(bytes.size()),
                                                       l.settings.RecvDir, RowState::Waiting);
    l.center->receiveQueue().RunButton()->SetPressed(true);
    QTemporaryDir from;
    writeFile(from.filePath(QStringLiteral("pic.png")), bytes);
    const auto pushFile = [&](const char* source) {
        PeerRow p(QueueKind::Send, QStringLiteral("pic.png"), bytes.size(), from.path() + "/");
        auto rec = p.queue.MakeRecord(p.row);
        TcpConnection c = l.open(source);
        return TransferEngine::PushFile(c, QByteArray(kToken), *rec, 65536).ok();
    };
    EXPECT_FALSE(asPeer([&] { return pushFile("127.0.0.2"); }));  // a stranger's push is not taken
    EXPECT_EQ(row->State(), RowState::Waiting);
    EXPECT_TRUE(asPeer([&] { return pushFile("127.0.0.1"); }));
    QTRY_COMPARE_WITH_TIMEOUT(row->State(), RowState::Done, kWaitMs);
    EXPECT_EQ(readFile(l.recvDir.filePath(QStringLiteral("pic.png"))), bytes);
    QTRY_COMPARE_WITH_TIMEOUT(l.receptionsEnded, 1, kWaitMs);
    EXPECT_TRUE(l.a.log.contains(QStringLiteral("ファイル受信成功：pic.png")));
}

// The end of a transfer is recorded however late the UI thread is: the
// listening side's connection is closed by then, and the final row step
// must not depend on it.
TEST(TransferDispatch, TheEndOfATransferIsRecordedWhileTheUiThreadIsBusy)
{
    Listening l;

    // A pull served to the end: the peer holds after its last chunk, then
    // confirms while the UI thread is busy.
    const QByteArray bytes = pattern(150000);
    const RowRef sent = l.offer(QStringLiteral("report.txt"), bytes);
    l.center->sendQueue().RunButton()->SetPressed(true);
    QTemporaryDir into;
    Gate lastChunk(3);
    TcpConnection pullConn = l.open();
    auto pulled = std::async(std::launch::async, [&] {
        return pull(std::move(pullConn), QStringLiteral("report.txt"), bytes.size(), into.path() + "/", &lastChunk);
    });
    ASSERT_TRUE(spinUntil([&] { return lastChunk.reached(); }));
    lastChunk.open();
    holdUiBusy([&] { return pulled.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    EXPECT_TRUE(pulled.get());
    // Until its final step the row is in transfer: a new request of it gets
    // no answer rather than racing that step.
    EXPECT_FALSE(l.center->sendingList().NotInTransfer(sent));
    QTRY_COMPARE_WITH_TIMEOUT(sent->State(), RowState::Done, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(l.a.log.contains(QStringLiteral("ファイル送信成功：report.txt")), kWaitMs);
    EXPECT_TRUE(l.center->sendingList().NotInTransfer(sent));

    // A priority reception whose push breaks off: it slowed the normal
    // reception down, and its end must settle the row, say so and restore
    // the normal reception, though the UI thread is busy when it ends.
    const QByteArray picture = pattern(200000, 3);
    TransferQueue& rq = l.center->receiveQueue();
    rq.RunButton()->SetPressed(true);
    const RowRef normal = rq.Append(QStringLiteral("big.bin"), QStringLiteral("90,000,000"), l.settings.RecvDir,
                                    RowState::Transferring);
    const RowRef priority = rq.Append(QStringLiteral("pic.png"), Conversions::FormatThousands(picture.size()),
                                      l.settings.RecvDir, RowState::Waiting);
    IdleCarrier carrier;
    const int normalNice = carrier.nice();
    auto normalRec = rq.MakeRecord(normal);
    normalRec->SetCarrierThread(carrier.tid());
    TransferList::Claim normalClaim = l.center->receivingList().TryClaim(normalRec);
    ASSERT_TRUE(normalClaim);
    l.center->schedule().NormalCursor = normal;
    l.center->schedule().PriorityCursor = priority;

    QTemporaryDir from;
    writeFile(from.filePath(QStringLiteral("pic.png")), picture);
    Gate firstChunk(1);
    TcpConnection pushConn = l.open();
    auto pushed = std::async(std::launch::async, [&] {
        PeerRow p(QueueKind::Send, QStringLiteral("pic.png"), picture.size(), from.path() + "/");
        auto rec = p.queue.MakeRecord(p.row);
        rec->Observer = &firstChunk;
        return TransferEngine::PushFile(pushConn, QByteArray(kToken), *rec, 65536).ok();
    });
    ASSERT_TRUE(spinUntil([&] { return firstChunk.reached(); }));
    EXPECT_EQ(carrier.nice(), TCRFileRec::NiceForPriority(TCRFileRec::Lower));
    const TransferList::Record receiving = l.center->receivingList().FindTransfer(priority);
    ASSERT_TRUE(receiving);
    pushConn.shutdown();
    firstChunk.open();
    holdUiBusy([&] { return receiving->CarrierThread() == 0; });  // the engine has let go
    EXPECT_FALSE(pushed.get());
    QTRY_COMPARE_WITH_TIMEOUT(priority->State(), RowState::Failed, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(l.a.log.contains(QStringLiteral("ファイル受信失敗：pic.png")), kWaitMs);
    EXPECT_TRUE(l.center->receivingList().NotInTransfer(priority));
    // Raising a lowered thread again needs privileges; where they are
    // missing the restore is refused and the thread stays lowered.
    rlimit limit{};
    ::getrlimit(RLIMIT_NICE, &limit);
    const bool mayRaise = ::geteuid() == 0 || limit.rlim_cur == RLIM_INFINITY || rlim_t(20 - normalNice) <= limit.rlim_cur;
    EXPECT_EQ(carrier.nice(), mayRaise ? normalNice : TCRFileRec::NiceForPriority(TCRFileRec::Lower));
}

// The connecting side: each request on the session starts a worker, but
// never a second one for a request already running, and none for a file
// it will not send.
TEST(TransferDispatch, TheConnectingSideStartsOneWorkerPerRequest)
{
    QTemporaryDir sendDir;
    FakeLog log;
    UiHandOver ui;  // not spun: every worker stays in its first step
    AppSettings settings;
    TransferCenter center(settings, log, ui);
    Peer peer([](TcpConnection& c) { waitClosed(c, 30000); });
    FakeSessionLink session;
    session.host = QStringLiteral("127.0.0.1");
    session.port = peer.port();
    center.setSession(&session);
    TransferDispatch dispatch(center);
    TransferQueue& sq = center.sendQueue();
    const auto offer = [&](const char* name) {
        writeFile(sendDir.filePath(name), pattern(1000));
        return sq.Append(name, QStringLiteral("1,000"), sendDir.path() + "/", RowState::Waiting);
    };
    const auto ask = [&](const char* name) {
        dispatch.PeerAsksForFile(TransferEngine::MakeFileRequest(QByteArray(kToken), name, 1000, 0));
    };
    offer("a.txt");
    const RowRef sending = offer("b.txt");
    offer("c.txt");
    sq.RunButton()->SetPressed(true);

    ask("a.txt");
    ask("a.txt");  // the peer's scheduler asks again on its next tick
    EXPECT_EQ(center.WorkerCount(), 1);
    dispatch.PeerListChanged();
    dispatch.PeerListChanged();
    EXPECT_EQ(center.WorkerCount(), 2);
    // A row already being sent.
    TransferList::Claim busy = center.sendingList().TryClaim(sq.MakeRecord(sending));
    ASSERT_TRUE(busy);
    ask("b.txt");
    EXPECT_EQ(center.WorkerCount(), 2);
    // With "送信開始" up nothing would be sent: no worker, no connection.
    sq.RunButton()->SetPressed(false);
    ask("c.txt");
    EXPECT_EQ(center.WorkerCount(), 2);
    // The receive scheduler's repeated start of one row.
    const RowRef in = center.receiveQueue().Append(QStringLiteral("d.txt"), QStringLiteral("10"), QStringLiteral("/r/"),
                                                   RowState::Waiting);
    EXPECT_TRUE(center.StartWorker(TClientThread::FetchFile, {}, in));
    EXPECT_FALSE(center.StartWorker(TClientThread::FetchFile, {}, in));
    EXPECT_EQ(center.WorkerCount(), 3);

    ui.beginShutdown();
    center.Shutdown();
}

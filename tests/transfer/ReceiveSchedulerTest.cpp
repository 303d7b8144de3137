// The receive scheduler without a network: the cursor rule over a table of
// queues, the cases where two cursors meet, the end of receiving, the next
// reception started as soon as one ends (no tick), and the exact request
// the server role writes, with the resume offset of a hidden partial file.
#include "TransferFakes.h"
#include "TransferTestSupport.h"
#include "session/FakeLog.h"

#include "core/protocol/FileAttributes.h"
#include "core/protocol/TransferResultCode.h"
#include "core/session/UiHandOver.h"
#include "core/settings/AppSettings.h"
#include "core/transfer/ReceiveScheduler.h"
#include "core/transfer/TransferCenter.h"

#include <QTest>

#include <unistd.h>

#include <vector>

using namespace corvid;
using namespace corvid::test;
using S = RowState;

namespace {

constexpr int kWaitMs = 5000;

struct RowSpec {
    const char* size;
    S state;
};

// The fixture starts the client role's receptions itself: it sees which
// rows start, and no worker connects anywhere.
class ReceiveSchedulerTest : public ::testing::Test, public IReceptionStarter {
protected:
    QTemporaryDir dir;
    FakeLog log;
    UiHandOver handOver;
    AppSettings settings;
    FakeSessionLink session;   // server-role request bytes in session.sent
    FakeTransferWindow window;
    std::unique_ptr<TransferCenter> center;
    std::unique_ptr<ReceiveScheduler> scheduler;
    int releases = 0;
    QStringList started;        // client-role starts, by row name
    std::function<void(const RowRef&)> onStart = [this](const RowRef& row) { started << q().Find(row)->Name(); };

    void startReception(const RowRef& row) override { onStart(row); }

    void SetUp() override
    {
        settings.RecvDir = dir.path() + "/";
        settings.publish();
        center = std::make_unique<TransferCenter>(settings, log, handOver);
        center->setSession(&session);
        center->setWindow(&window);
        window.onPressReceive = [this] { press(); };
        scheduler = std::make_unique<ReceiveScheduler>(*center, this);
    }
    void TearDown() override
    {
        scheduler.reset();
        center.reset();
    }

    TransferQueue& q() { return center->receiveQueue(); }
    ReceiveSchedule& sched() { return center->schedule(); }
    // The window's programmatic press of "受信開始".
    void press()
    {
        const bool down = !q().IsRunning();
        q().RunButton()->SetPressed(down);
        if (!down)
            ++releases;
        scheduler->ReceiveToggled(down);
    }
    std::vector<RowRef> fill(std::initializer_list<RowSpec> rows)
    {
        std::vector<RowRef> refs;
        int i = 0;
        for (const RowSpec& r : rows)
            refs.push_back(q().Append(QString("r%1").arg(i++), r.size, settings.RecvDir, r.state));
        return refs;
    }
    int indexOf(const RowRef& cursor) { return cursor ? q().IndexOf(cursor) : -1; }
    QList<S> states()
    {
        QList<S> out;
        for (int i = 0; i < q().Count(); ++i)
            out << q().Row(i).State();
        return out;
    }
    // A reception that the worker or the push finished: the row update, then
    // the report, as both do.
    void finish(const RowRef& row, bool ok)
    {
        q().SetState(row, ok ? S::Done : (q().IsRunning() ? S::Failed : S::Stopped));
        center->NotifyTransferEvent(ok ? RcReceived : RcReceiveFailed, q().Find(row)->Name());
    }
    void drain() { QCoreApplication::processEvents(); }
};

} // namespace

// cursor/priority: index of the row the cursor starts on, -1 none, -2 a
// removed row; result -1 = none.
TEST_F(ReceiveSchedulerTest, AdvanceCursorOverATableOfQueues)
{
    struct Case {
        const char* what;
        std::vector<RowSpec> rows;
        int cursor;
        int priority;
        bool isPriorityCursor;
        qint64 limit;
        bool takes;
        int rests;
        std::vector<S> after;
        bool pendingAfter;
    };
    const qint64 lim = 5242880;
    const std::vector<Case> cases = {
        {"from none, takes the first waiting", {{"1", S::Done}, {"1", S::Waiting}}, -1, -1, false, 0, true, 1,
         {S::Done, S::Waiting}, true},
        {"passed Failed rows become Stopped; Stopped is taken", {{"1", S::Failed}, {"1", S::Done}, {"1", S::Stopped}},
         -1, -1, false, 0, true, 2, {S::Stopped, S::Done, S::Stopped}, true},
        {"New, Refused, Transferring are passed as they are",
         {{"1", S::New}, {"1", S::Refused}, {"1", S::Transferring}}, -1, -1, false, 0, false, -1,
         {S::New, S::Refused, S::Transferring}, true},
        {"the normal cursor never takes the priority cursor's row", {{"1", S::Waiting}, {"1", S::Waiting}}, -1, 0,
         false, 0, true, 1, {S::Waiting, S::Waiting}, true},
        {"a resting cursor is not moved", {{"1", S::Waiting}, {"1", S::Waiting}}, 1, -1, false, 0, true, 1,
         {S::Waiting, S::Waiting}, true},
        {"searches on from where it rests", {{"1", S::Waiting}, {"1", S::Done}, {"1", S::Failed}}, 1, -1, false, 0,
         false, -1, {S::Waiting, S::Done, S::Stopped}, true},
        {"a removed row sends the cursor to the first row", {{"1", S::Waiting}}, -2, -1, false, 0, true, 0,
         {S::Waiting}, true},
        {"priority: 5,242,880 is not below the limit, 5,242,879 is",
         {{"5,242,880", S::Waiting}, {"5,242,879", S::Waiting}}, -1, -1, true, lim, true, 1, {S::Waiting, S::Waiting},
         true},
        {"priority runs off the end: PriorityPending goes", {{"100", S::Done}, {"9,000,000", S::Waiting}}, -1, -1,
         true, lim, false, -1, {S::Done, S::Waiting}, false},
        {"the priority cursor takes nothing under limit 0", {{"100", S::Waiting}}, -1, -1, true, 0, false, -1,
         {S::Waiting}, true},
        {"a limit below 0 takes nothing but still passes", {{"100", S::Waiting}, {"100", S::Failed}}, -1, -1, true,
         -1048576, false, -1, {S::Waiting, S::Stopped}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        q().Clear();
        std::vector<RowRef> refs;
        for (const RowSpec& r : c.rows)
            refs.push_back(q().Append("x", r.size, settings.RecvDir, r.state));
        RowRef removed = q().Append("gone", "1", settings.RecvDir, S::Waiting);
        q().Remove(removed);
        sched().NormalCursor.reset();
        sched().PriorityCursor = c.priority >= 0 ? refs[size_t(c.priority)] : RowRef();
        sched().PriorityPending = true;
        RowRef& cursor = c.isPriorityCursor ? sched().PriorityCursor : sched().NormalCursor;
        cursor = c.cursor >= 0 ? refs[size_t(c.cursor)] : c.cursor == -2 ? removed : RowRef();
        EXPECT_EQ(scheduler->AdvanceCursor(cursor, c.limit), c.takes);
        EXPECT_EQ(indexOf(cursor), c.rests);
        EXPECT_EQ(states(), QList<S>(c.after.begin(), c.after.end()));
        EXPECT_EQ(sched().PriorityPending, c.pendingAfter);
    }
    // An empty queue leaves the cursor where it was.
    q().Clear();
    RowRef stale = q().Append("s", "1", settings.RecvDir, S::Waiting);
    q().Remove(stale);
    RowRef cursor = stale;
    EXPECT_FALSE(scheduler->AdvanceCursor(cursor, 0));
    EXPECT_EQ(cursor, stale);
}

// 1 MB, 100 MB, 2 MB with both buttons down: both cursors on the 1 MB row,
// started once and at once; when it is done the 100 MB and 2 MB rows start
// in the same step, both running.
TEST_F(ReceiveSchedulerTest, BothCursorsShareTheFirstRowThenSplit)
{
    const auto rows = fill({{"1,048,576", S::Waiting}, {"104,857,600", S::Waiting}, {"2,097,152", S::Waiting}});
    window.priority = true;
    sched().PriorityPending = true;
    press();
    EXPECT_EQ(sched().NormalCursor, rows[0]);
    EXPECT_EQ(sched().PriorityCursor, rows[0]);
    EXPECT_EQ(started, QStringList({"r0"}));
    q().SetState(rows[0], S::Transferring);
    scheduler->Timer2Timer();  // both cursors only refresh it
    EXPECT_EQ(started, QStringList({"r0"}));
    // Its one reception is no normal reception of its own to slow down.
    auto rec = q().MakeRecord(rows[0]);
    rec->SetCarrierThread(::gettid());
    TransferList::Claim claim = center->receivingList().TryClaim(rec);
    EXPECT_FALSE(center->NormalReceptionToSlow(rows[0]));
    claim.Release();
    finish(rows[0], true);
    QTRY_COMPARE_WITH_TIMEOUT(started, QStringList({"r0", "r1", "r2"}), kWaitMs);
    EXPECT_EQ(sched().NormalCursor, rows[1]);
    EXPECT_EQ(sched().PriorityCursor, rows[2]);

    // "優先受信" pressed later places the priority cursor; without
    // PriorityPending it waits there until a permit sets the flag.
    q().Clear();
    started.clear();
    press();  // up: no window here releases it on the clear
    ASSERT_FALSE(q().IsRunning());
    const auto more = fill({{"100", S::Done}, {"9,000,000", S::Waiting}, {"200", S::Waiting}});
    window.priority = false;
    press();
    EXPECT_FALSE(sched().PriorityCursor);
    EXPECT_EQ(started, QStringList({"r1"}));
    window.priority = true;
    sched().PriorityPending = false;
    scheduler->PriorityToggled(true);
    EXPECT_EQ(sched().PriorityCursor, more[2]);
    EXPECT_EQ(started, QStringList({"r1"}));
    q().SetState(more[1], S::Transferring);
    scheduler->Timer2Timer();
    EXPECT_EQ(started, QStringList({"r1"}));
    sched().PriorityPending = true;
    scheduler->Timer2Timer();
    EXPECT_EQ(started, QStringList({"r1", "r2"}));
}

// The end of receiving: every row Done releases "受信開始" on the next
// tick, not at the press; a Failed row is passed (Stopped) and the next one
// starts in that step; a row refused in transfer is left.
TEST_F(ReceiveSchedulerTest, TicksReleaseWhenNothingIsLeftAndPassFailedRows)
{
    fill({{"10", S::Done}, {"10", S::Done}});
    press();
    EXPECT_TRUE(q().IsRunning());
    EXPECT_EQ(releases, 0);
    scheduler->Timer2Timer();
    EXPECT_EQ(releases, 1);
    EXPECT_FALSE(q().IsRunning());
    EXPECT_TRUE(started.isEmpty());

    q().Clear();
    const auto rows = fill({{"10", S::Waiting}, {"10", S::Waiting}, {"10", S::Waiting}});
    press();
    EXPECT_EQ(started, QStringList({"r0"}));
    q().SetState(rows[0], S::Failed);  // a failure while "受信開始" is down
    scheduler->Timer2Timer();
    EXPECT_EQ(states(), QList<S>({S::Stopped, S::Waiting, S::Waiting}));
    EXPECT_EQ(started, QStringList({"r0", "r1"}));
    q().SetState(rows[1], S::Refused);
    scheduler->Timer2Timer();
    EXPECT_EQ(started, QStringList({"r0", "r1", "r2"}));
    // A start is repeated on every tick while its row still waits.
    scheduler->Timer2Timer();
    EXPECT_EQ(started, QStringList({"r0", "r1", "r2", "r2"}));
    q().SetState(rows[2], S::Done);
    scheduler->Timer2Timer();  // the cursor runs off
    EXPECT_EQ(releases, 1);
    scheduler->Timer2Timer();
    EXPECT_EQ(releases, 2);
    // Pressed again: the Stopped row waits again and is taken first.
    press();
    EXPECT_EQ(states(), QList<S>({S::Waiting, S::Refused, S::Done}));
    EXPECT_EQ(started.last(), "r0");
}

// Fifty files one after another with no tick at all: each end of a
// reception (the worker's report) starts the next row; the reports of one
// turn make one step; our own failed request runs no step.
TEST_F(ReceiveSchedulerTest, TheNextReceptionStartsWhenOneEndsWithoutATick)
{
    std::vector<RowRef> rows;
    for (int i = 0; i < 50; ++i)
        rows.push_back(q().Append(QString("f%1").arg(i), "8,192", settings.RecvDir, S::Waiting));
    onStart = [this](const RowRef& row) {
        started << q().Find(row)->Name();
        q().SetState(row, S::Transferring);
        handOver.post([this, row] { finish(row, true); });  // a reception that ends on its own
    };
    press();
    QTRY_VERIFY_WITH_TIMEOUT(q().Row(49).State() == S::Done, kWaitMs);
    EXPECT_EQ(started.size(), 50);
    EXPECT_EQ(started.first(), "f0");
    EXPECT_EQ(started.last(), "f49");
    EXPECT_TRUE(q().IsRunning());  // released by the tick, as before

    // Two ends reported in one turn make one step, one start.
    q().Clear();
    press();
    started.clear();
    onStart = [this](const RowRef& row) { started << q().Find(row)->Name(); };
    const auto two = fill({{"10", S::Waiting}, {"10", S::Waiting}});
    press();
    ASSERT_EQ(started, QStringList({"r0"}));
    q().SetState(two[0], S::Done);
    center->NotifyTransferEvent(RcReceived, "r0");
    scheduler->ReceptionEnded();
    QTRY_COMPARE_WITH_TIMEOUT(started, QStringList({"r0", "r1"}), kWaitMs);
    drain();
    EXPECT_EQ(started, QStringList({"r0", "r1"}));
    // After "受信開始" went up a reported end starts nothing.
    press();
    center->NotifyTransferEvent(RcReceiveFailed, "r1");
    drain();
    drain();
    EXPECT_EQ(started, QStringList({"r0", "r1"}));

    // Server role: a request that cannot be written is code 10 (logged)
    // and waits for the tick; it must not ask again at once.
    q().Clear();
    session.server = true;
    session.takes = false;
    q().Append("s0", "10", settings.RecvDir, S::Waiting);
    const QString failed = QStringLiteral("ファイル受信失敗：s0");
    press();
    ASSERT_EQ(session.sent.size(), 1);
    EXPECT_EQ(log.count(failed), 1);
    drain();
    drain();
    EXPECT_EQ(session.sent.size(), 1);
    scheduler->Timer2Timer();
    EXPECT_EQ(session.sent.size(), 2);
    EXPECT_EQ(log.count(failed), 2);
    // A write that fails later is reported too, and runs no step either.
    session.takes = true;
    scheduler->Timer2Timer();
    ASSERT_EQ(session.sent.size(), 3);
    session.lastDone(false);
    drain();
    drain();
    EXPECT_EQ(log.count(failed), 3);
    EXPECT_EQ(session.sent.size(), 3);
    EXPECT_EQ(started.size(), 2);  // the client-role starter is not used
}

// The server role's request: block J as the engine writes it, FileName in
// the peer's encoding, ContentLength from the size column and the offset of
// the hidden partial copy only when it is hidden and smaller.
TEST_F(ReceiveSchedulerTest, RequestReceiveWritesTheEnginesBlockWithTheResumeOffset)
{
    session.server = true;
    struct Case {
        const char* what;
        QString name;
        const char* size;
        int partialBytes;  // -1: no file
        quint32 attr;
        QByteArray fileName;
        QByteArray length;
        QByteArray start;
    };
    const QString jp = QString::fromUtf8("資料 1.txt");
    const QByteArray jpWire("\x8e\x91\x97\xbf 1.txt");
    const std::vector<Case> cases = {
        {"hidden partial copy resumes", "part.bin", "50,000", 10000, FileAttributes::kReceiving, "part.bin", "50000",
         "10000"},
        {"no local file", "none.bin", "50,000", -1, 0, "none.bin", "50000", "0"},
        {"a visible file is not resumed", "seen.bin", "50,000", 10000, FileAttributes::kArchive, "seen.bin", "50000",
         "0"},
        {"a hidden file as large as the row is not resumed", "full.bin", "50,000", 50000, FileAttributes::kReceiving,
         "full.bin", "50000", "0"},
        {"Japanese name with a blank", jp, "1,234,567", 1000, FileAttributes::kReceiving, jpWire, "1234567", "1000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QString path = dir.filePath(c.name);
        if (c.partialBytes >= 0) {
            ASSERT_TRUE(writeFile(path, pattern(c.partialBytes)));
            ASSERT_TRUE(FileAttributes::Write(path, c.attr));
        }
        session.sent.clear();
        const RowRef row = q().Append(c.name, c.size, settings.RecvDir, S::Waiting);
        EXPECT_TRUE(scheduler->RequestReceive(row));
        ASSERT_EQ(session.sent.size(), 1);
        const QByteArray fileName = "FileName=" + c.fileName;
        const QByteArray length = "ContentLength=" + c.length;
        const QByteArray start = "StartPosition=" + c.start;
        EXPECT_EQ(session.sent[0], blockBytes({"Command=Recv", "UserAgent=CRV2/", "ContentType=File", fileName.constData(),
                                           length.constData(), start.constData()}));
        q().Remove(row);
    }
    EXPECT_TRUE(log.lines().isEmpty());
    // A removed row asks nothing.
    const RowRef gone = q().Append("g", "1", settings.RecvDir, S::Waiting);
    q().Remove(gone);
    session.sent.clear();
    EXPECT_FALSE(scheduler->RequestReceive(gone));
    EXPECT_TRUE(session.sent.isEmpty());
}

// The queue model: rows, row references that outlive their rows, the lists
// of running transfers, the record of one transfer and its stop test.
#include "core/protocol/TCRFileRec.h"
#include "core/settings/Conversions.h"
#include "core/transfer/TransferList.h"
#include "core/transfer/TransferQueue.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

using namespace corvid;

TEST(TransferQueue, RemovedRowAnswersMinusOneWithoutBeingTouched)
{
    TransferQueue q(QueueKind::Receive);
    int changes = 0;
    q.SetChangeHandler([&] { ++changes; });
    const RowRef a = q.Append("a.txt", "1,000", "/in/", RowState::Waiting);
    const RowRef b = q.Append("b.txt", "20", "/in/", RowState::New);
    EXPECT_EQ(q.IndexOf(a), 0);
    EXPECT_EQ(q.IndexOf(b), 1);
    EXPECT_EQ(q.Row(1).State(), RowState::New);
    EXPECT_EQ(q.Row(0).LocalPath(), "/in/a.txt");

    ASSERT_TRUE(q.SetState(a, RowState::Transferring));
    EXPECT_EQ(a->State(), RowState::Transferring);  // the atomic mirror follows
    q.RemoveAt(0);
    // The row object is gone; the reference still answers safely.
    EXPECT_FALSE(a->IsQueued());
    EXPECT_EQ(q.IndexOf(a), -1);
    EXPECT_EQ(q.Find(a), nullptr);
    EXPECT_FALSE(q.SetState(a, RowState::Done));
    EXPECT_FALSE(q.Remove(a));
    EXPECT_EQ(q.IndexOf(b), 0);
    EXPECT_EQ(q.IndexOf(RowRef()), -1);
    EXPECT_EQ(changes, 4);  // two appends, one state, one removal
}

TEST(TransferQueue, ClearFinishedKeepsEveryRowThatIsNotDone)
{
    TransferQueue q(QueueKind::Receive);
    const RowState states[] = {RowState::Done, RowState::Failed, RowState::Done, RowState::Stopped,
                               RowState::New, RowState::Refused, RowState::Done};
    std::vector<RowRef> refs;
    for (int i = 0; i < 7; ++i)
        refs.push_back(q.Append(QString("f%1").arg(i), "1", "/", states[i]));
    EXPECT_EQ(q.ClearFinished(), 3);
    ASSERT_EQ(q.Count(), 4);
    EXPECT_EQ(q.Row(0).Name(), "f1");
    EXPECT_EQ(q.Row(3).Name(), "f5");
    EXPECT_FALSE(refs[0]->IsQueued());
    EXPECT_TRUE(refs[1]->IsQueued());
    q.Clear();
    EXPECT_TRUE(q.IsEmpty());
    EXPECT_FALSE(refs[1]->IsQueued());
}

TEST(TransferQueue, ChangesNameTouchedRowsOnceAndGoFullWhenRowsMoveOrAreMany)
{
    TransferQueue q(QueueKind::Receive);
    std::vector<RowRef> refs;
    for (int i = 0; i < 400; ++i)
        refs.push_back(q.Append(QString("f%1").arg(i), "1", "/", RowState::Waiting));
    TransferQueue::Changes c = q.TakeChanges(0);
    EXPECT_TRUE(c.full);  // a first look sees every row

    // Texts and states name their rows, each once; appended rows follow the
    // others and need no name.
    q.SetText(refs[7], QueueRow::ColDone, "5");
    q.SetState(refs[3], RowState::Transferring);
    q.SetState(refs[7], RowState::Done);
    q.Append("late", "1", "/", RowState::New);
    c = q.TakeChanges(c.mark);
    EXPECT_FALSE(c.full);
    EXPECT_EQ(c.touched, (std::vector<int>{7, 3}));
    c = q.TakeChanges(c.mark);
    EXPECT_FALSE(c.full);
    EXPECT_TRUE(c.touched.empty());

    // A row touched, then rows move or leave: its index no longer holds.
    for (const auto& change : std::vector<std::function<void()>>{
             [&] { q.RemoveAt(0); }, [&] { q.Remove(refs[2]); },
             [&] {
                 std::vector<int> order;
                 for (int i = q.Count() - 1; i >= 0; --i)
                     order.push_back(i);
                 q.Reorder(order);
             },
             [&] {
                 q.SetState(refs[5], RowState::Done);
                 q.ClearFinished();
             }}) {
        q.SetText(refs[9], QueueRow::ColDone, "1");
        change();
        c = q.TakeChanges(c.mark);
        EXPECT_TRUE(c.full);
        c = q.TakeChanges(c.mark);
        EXPECT_FALSE(c.full);
        EXPECT_TRUE(c.touched.empty());  // the flags went with the full look
    }

    // Too many rows to name: the look goes full, and the next names again.
    for (int i = 10; i < 390; ++i)
        q.SetText(refs[size_t(i)], QueueRow::ColDone, "2");
    c = q.TakeChanges(c.mark);
    EXPECT_TRUE(c.full);
    q.SetText(refs[20], QueueRow::ColDone, "3");
    c = q.TakeChanges(c.mark);
    ASSERT_FALSE(c.full);
    EXPECT_EQ(c.touched, std::vector<int>{q.IndexOf(refs[20])});

    // A look by someone else in between: the missed rows are not lost.
    q.SetText(refs[21], QueueRow::ColDone, "3");
    const quint64 mine = c.mark;
    q.TakeChanges(0);
    EXPECT_TRUE(q.TakeChanges(mine).full);
    q.Clear();
    EXPECT_TRUE(q.TakeChanges(0).full);
}

TEST(TransferQueue, RequestsMatchTheFirstRowByNameAndGroupedSize)
{
    TransferQueue q(QueueKind::Send);
    const RowRef first = q.Append("Report.TXT", "1,234,567", "/s/", RowState::Waiting);
    q.Append("report.txt", "10", "/t/", RowState::Waiting);
    EXPECT_EQ(q.FindByName("REPORT.txt"), 0);
    EXPECT_EQ(q.FindRequested("report.txt", 1234567), first);
    // Only the first row of a name is compared, so the second never matches.
    EXPECT_EQ(q.FindRequested("report.txt", 10), RowRef());
    EXPECT_EQ(q.FindRequested("other.txt", 10), RowRef());
}

TEST(TransferQueue, MakeRecordFillsPathRowToggleAndExpectedSize)
{
    TransferQueue q(QueueKind::Receive);
    const RowRef row = q.Append("a.txt", "1,234", "/in/", RowState::Waiting);
    const RowRef bad = q.Append("b.txt", "12x", "/in/", RowState::Waiting);
    auto rec = q.MakeRecord(row);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->LocalPath, "/in/a.txt");
    EXPECT_EQ(rec->ListItem, row);
    EXPECT_EQ(rec->RunButton, q.RunButton());
    EXPECT_EQ(rec->ExpectedSize, 1234);
    EXPECT_EQ(rec->Entry, "a.txt");
    EXPECT_EQ(rec->ExpectedTime, -1);
    EXPECT_EQ(q.MakeRecord(bad)->ExpectedSize, -1);
    q.Remove(row);
    EXPECT_FALSE(q.MakeRecord(row));

    // A listed path of 3 GiB with its source's time: the entry is the path,
    // the local path lies under the row's folder.
    const RowRef big = q.Append("photos/big.iso", "3,221,225,472", "/in/", RowState::Waiting, 1700000000123456789LL);
    auto bigRec = q.MakeRecord(big);
    EXPECT_EQ(bigRec->LocalPath, "/in/photos/big.iso");
    EXPECT_EQ(bigRec->Entry, "photos/big.iso");
    EXPECT_EQ(bigRec->ExpectedSize, 3221225472LL);
    EXPECT_EQ(bigRec->ExpectedTime, 1700000000123456789LL);
}

TEST(TransferQueue, RequestsOfSizesPast2GiBMatchTheirGroupedText)
{
    TransferQueue q(QueueKind::Send);
    const RowRef big = q.Append("big.iso", Conversions::FormatThousands(qint64(5) << 30), "/s/", RowState::Waiting);
    EXPECT_EQ(q.Row(0).SizeText(), "5,368,709,120");
    EXPECT_EQ(q.Row(0).Size(), qint64(5) << 30);
    EXPECT_EQ(q.FindRequested("big.iso", qint64(5) << 30, ProtocolLevel::kOwn), big);
    // Not the same size modulo 2^32, and never for an original peer.
    EXPECT_EQ(q.FindRequested("big.iso", (qint64(5) << 30) - (qint64(1) << 32), ProtocolLevel::kOwn), RowRef());
    EXPECT_EQ(q.FindRequested("big.iso", qint64(5) << 30, ProtocolLevel::kOriginal), RowRef());
}

TEST(TCRFileRec, StopTestNeedsQueuedRowTransferringStateAndPressedToggle)
{
    TransferQueue q(QueueKind::Send);
    const RowRef row = q.Append("a", "1", "/", RowState::Transferring);
    auto rec = q.MakeRecord(row);
    EXPECT_FALSE(rec->MayContinue());  // toggle up
    q.RunButton()->SetPressed(true);
    EXPECT_TRUE(rec->MayContinue());
    q.SetState(row, RowState::Refused);
    EXPECT_FALSE(rec->MayContinue());
    q.SetState(row, RowState::Transferring);
    EXPECT_TRUE(rec->MayContinue());
    q.Remove(row);
    EXPECT_FALSE(rec->MayContinue());
    TCRFileRec empty;
    EXPECT_FALSE(empty.MayContinue());
}

TEST(TCRFileRec, GetTransferredFollowsTheLiveCountWithoutDipping)
{
    TCRFileRec rec;
    rec.DoneBytes = 10240;
    EXPECT_EQ(rec.GetTransferred(), 10240);
    rec.SetLive(10240 + 2048);  // part of a chunk received
    EXPECT_EQ(rec.GetTransferred(), 12288);
    rec.DoneBytes = 12288;      // the chunk written
    EXPECT_EQ(rec.GetTransferred(), 12288);
    rec.ClearLive();            // the reception over
    EXPECT_EQ(rec.GetTransferred(), 12288);
}

TEST(TCRFileRec, SetTransferPriorityMapsTheSevenStepsToNiceValues)
{
    EXPECT_EQ(TCRFileRec::NiceForPriority(0), 19);
    EXPECT_EQ(TCRFileRec::NiceForPriority(2), 5);
    EXPECT_EQ(TCRFileRec::NiceForPriority(3), 0);
    EXPECT_EQ(TCRFileRec::NiceForPriority(6), -15);

    TCRFileRec rec;
    EXPECT_FALSE(rec.SetTransferPriority(2));  // no carrier yet

    std::mutex m;
    std::condition_variable cv;
    pid_t tid = 0;
    bool release = false;
    std::thread carrier([&] {
        std::unique_lock lock(m);
        tid = ::gettid();
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
    });
    {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return tid != 0; });
    }
    rec.SetCarrierThread(tid);
    const int before = getpriority(PRIO_PROCESS, id_t(tid));
    ASSERT_TRUE(rec.SetTransferPriority(TCRFileRec::Lower));
    EXPECT_EQ(getpriority(PRIO_PROCESS, id_t(tid)), 5);
    EXPECT_FALSE(rec.SetTransferPriority(7));
    // Raising a lowered thread needs privileges (root, or a nice limit that
    // allows it). Where it is refused the call says so and nothing changes;
    // releasing the carrier then cannot restore the old priority either and
    // says so too.
    rlimit limit {};
    getrlimit(RLIMIT_NICE, &limit);
    const auto mayRaiseTo = [&](int value) {
        return geteuid() == 0 || limit.rlim_cur == RLIM_INFINITY || rlim_t(20 - value) <= limit.rlim_cur;
    };
    const bool raised = rec.SetTransferPriority(TCRFileRec::Normal);
    EXPECT_EQ(raised, mayRaiseTo(0));
    EXPECT_EQ(getpriority(PRIO_PROCESS, id_t(tid)), raised ? 0 : 5);
    ASSERT_TRUE(rec.SetTransferPriority(TCRFileRec::Lowest));  // lowering is always allowed
    EXPECT_EQ(getpriority(PRIO_PROCESS, id_t(tid)), 10);
    const bool restored = rec.ReleaseCarrierThread();
    EXPECT_EQ(restored, mayRaiseTo(before));
    EXPECT_EQ(getpriority(PRIO_PROCESS, id_t(tid)), restored ? before : 10);
    EXPECT_EQ(rec.CarrierThread(), 0);
    EXPECT_FALSE(rec.SetTransferPriority(2));  // the thread is no longer ours to slow down
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    carrier.join();
}

TEST(TransferList, LookupsFindTheLastRecordOfARow)
{
    TransferList list;
    const auto row = std::make_shared<RowLink>(1);
    const auto other = std::make_shared<RowLink>(2);
    EXPECT_TRUE(list.NotInTransfer(row));
    EXPECT_EQ(list.FindTransferIndex(row), -1);
    EXPECT_EQ(list.FindTransferIndex(RowRef()), -1);

    auto r1 = std::make_shared<TCRFileRec>();
    r1->ListItem = other;
    auto r2 = std::make_shared<TCRFileRec>();
    r2->ListItem = row;
    ASSERT_TRUE(list.AddIfNotInTransfer(r1));
    ASSERT_TRUE(list.AddIfNotInTransfer(r2));
    EXPECT_FALSE(list.NotInTransfer(row));
    EXPECT_EQ(list.FindTransferIndex(row), 1);
    EXPECT_EQ(list.FindTransfer(other), r1);

    auto again = std::make_shared<TCRFileRec>();
    again->ListItem = row;
    EXPECT_FALSE(list.AddIfNotInTransfer(again));  // a row never has two transfers
    EXPECT_FALSE(list.AddIfNotInTransfer(std::make_shared<TCRFileRec>()));  // no row
    EXPECT_TRUE(list.Remove(r2));
    EXPECT_FALSE(list.Remove(r2));
    EXPECT_TRUE(list.NotInTransfer(row));
    {
        auto claim = list.TryClaim(again);
        ASSERT_TRUE(claim);
        EXPECT_FALSE(list.TryClaim(again));
        EXPECT_EQ(list.Count(), 2);
    }
    EXPECT_EQ(list.Count(), 1);  // the claim took its record out
}

TEST(TransferList, ConcurrentClaimsOfOneRowLetExactlyOneThrough)
{
    TransferList list;
    const auto row = std::make_shared<RowLink>(1);
    std::atomic<int> winners{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            auto rec = std::make_shared<TCRFileRec>();
            rec->ListItem = row;
            while (!go.load())
                std::this_thread::yield();
            if (list.AddIfNotInTransfer(rec))
                winners.fetch_add(1);
        });
    }
    go = true;
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(winners.load(), 1);
    EXPECT_EQ(list.Count(), 1);
}

TEST(TransferQueue, StopFactsAreReadableFromATransferThreadWhileTheUiChangesThem)
{
    TransferQueue q(QueueKind::Receive);
    const RowRef row = q.Append("a", "1", "/", RowState::Transferring);
    auto rec = q.MakeRecord(row);
    q.RunButton()->SetPressed(true);
    std::atomic<bool> stoppedWhileQueued{false};
    std::thread reader([&] {
        while (rec->MayContinue())
            std::this_thread::yield();
        stoppedWhileQueued = row->IsQueued();
    });
    for (int i = 0; i < 100; ++i) {
        q.SetText(row, QueueRow::ColDone, QString::number(i));
        q.SetState(row, RowState::Transferring);
    }
    q.Remove(row);  // frees the row while the reader is looking at its link
    reader.join();
    // Only the removal can have stopped it: state and toggle never changed.
    EXPECT_FALSE(stoppedWhileQueued.load());
}

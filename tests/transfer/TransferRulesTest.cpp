// The transfer window's rules without a window: the row state table, the
// progress columns, the event table, the button rules and the orderings.
#include "core/protocol/TransferResultCode.h"
#include "core/transfer/ProgressColumns.h"
#include "core/transfer/QueueOrdering.h"
#include "core/transfer/RowTransitions.h"
#include "core/transfer/TransferButtons.h"
#include "core/transfer/TransferEvents.h"

#include <gtest/gtest.h>

using namespace corvid;
using S = RowState;

namespace {

const S kAll[] = {S::Unlisted, S::Waiting, S::Transferring, S::Done, S::Failed, S::Stopped, S::New, S::Refused};

QStringList names(const TransferQueue& q)
{
    QStringList out;
    for (int i = 0; i < q.Count(); ++i)
        out << q.Row(i).Name();
    return out;
}

} // namespace

TEST(RowTransitions, EveryStateUnderEveryUserTrigger)
{
    struct Case {
        S from;
        S receiveStart, permit, refuse, cursor, listBuilt;
    };
    const Case table[] = {
        {S::Unlisted, S::Unlisted, S::Unlisted, S::Unlisted, S::Unlisted, S::Waiting},
        {S::Waiting, S::Waiting, S::Waiting, S::Refused, S::Waiting, S::Waiting},
        {S::Transferring, S::Transferring, S::Transferring, S::Refused, S::Transferring, S::Transferring},
        {S::Done, S::Done, S::Done, S::Refused, S::Done, S::Done},
        {S::Failed, S::Failed, S::Failed, S::Refused, S::Stopped, S::Failed},
        {S::Stopped, S::Waiting, S::Stopped, S::Refused, S::Stopped, S::Stopped},
        {S::New, S::Waiting, S::Waiting, S::New, S::New, S::New},
        {S::Refused, S::Refused, S::Waiting, S::Refused, S::Refused, S::Refused},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(int(c.from));
        EXPECT_EQ(RowTransitions::ReceiveStartPressed(c.from), c.receiveStart);
        EXPECT_EQ(RowTransitions::Permit(c.from), c.permit);
        EXPECT_EQ(RowTransitions::Permits(c.from), c.permit != c.from);
        EXPECT_EQ(RowTransitions::Refuse(c.from), c.refuse);
        EXPECT_EQ(RowTransitions::CursorPasses(c.from), c.cursor);
        EXPECT_EQ(RowTransitions::ListBuilt(c.from), c.listBuilt);
    }
    EXPECT_EQ(RowTransitions::MergedReceiveRow(false, false), S::Waiting);
    EXPECT_EQ(RowTransitions::MergedReceiveRow(false, true), S::Waiting);
    EXPECT_EQ(RowTransitions::MergedReceiveRow(true, false), S::New);
    EXPECT_EQ(RowTransitions::MergedReceiveRow(true, true), S::Waiting);
    EXPECT_EQ(RowTransitions::AddedSendRow(true), S::Unlisted);
    EXPECT_EQ(RowTransitions::AddedSendRow(false), S::Waiting);
}

TEST(RowTransitions, EndOfATransfer)
{
    // Reception: Done on success whatever the state; a failure is Failed,
    // or Stopped once "受信開始" is up, and a refused row stays refused.
    for (S from : kAll) {
        SCOPED_TRACE(int(from));
        EXPECT_EQ(RowTransitions::ReceptionEnded(from, true, true), S::Done);
        EXPECT_EQ(RowTransitions::ReceptionEnded(from, true, false), S::Done);
        const S failedPressed = from == S::Refused ? S::Refused : S::Failed;
        const S failedUp = from == S::Refused ? S::Refused : S::Stopped;
        EXPECT_EQ(RowTransitions::ReceptionEnded(from, false, true), failedPressed);
        EXPECT_EQ(RowTransitions::ReceptionEnded(from, false, false), failedUp);
    }
    EXPECT_EQ(RowTransitions::SendEnded(true), S::Done);
    EXPECT_EQ(RowTransitions::SendEnded(false), S::Stopped);
    // A served pull is Done only while "送信開始" is still pressed.
    EXPECT_EQ(RowTransitions::ServeEnded(true, true), S::Done);
    EXPECT_EQ(RowTransitions::ServeEnded(true, false), S::Stopped);
    EXPECT_EQ(RowTransitions::ServeEnded(false, true), S::Stopped);
    EXPECT_EQ(RowTransitions::ServeEnded(false, false), S::Stopped);
}

TEST(ProgressColumns, EdgeCasesOfTheRefresh)
{
    struct Case {
        const char* size;
        ProgressTexts before;
        qint64 now;
        ProgressTexts after;
    };
    const Case table[] = {
        // 250 of 1,000: 25 %; 250 bytes since the start, 3 intervals to go.
        {"1,000", {"", "", "", ""}, 250, {"250", "25%", " 0:03", "0"}},
        // Complete: 100 % and the time and speed go.
        {"1,000", {"250", "25%", " 0:03", "0"}, 1000, {"1,000", "100%", "", ""}},
        // Remaining 9, 65 and 3725 intervals (one byte a second).
        {"10", {"0", "", "", ""}, 1, {"1", "10%", " 0:09", "0"}},
        {"66", {"0", "", "", ""}, 1, {"1", "1%", " 1:05", "0"}},
        {"3,726", {"0", "", "", ""}, 1, {"1", "0%", "62:05", "0"}},
        // Speed rounds half up: 1536 bytes give 2, 511 give 0.
        {"1,000,000", {"0", "", "", ""}, 1536, {"1,536", "0%", "10:50", "2"}},
        {"1,000,000", {"0", "", "", ""}, 511, {"511", "0%", "32:35", "0"}},
        // No bytes since the last refresh: time and speed stay as they were.
        {"1,000", {"500", "50%", " 0:05", "1"}, 500, {"500", "50%", " 0:05", "1"}},
        // Size 0: the count, no percentage.
        {"0", {"", "", "x", "y"}, 10, {"10", "", "x", "y"}},
        // A size that does not parse ends the refresh after column 2.
        {"big", {"", "", "", ""}, 10, {"10", "", "", ""}},
        // A column 2 that does not parse: nothing is written.
        {"1,000", {"junk", "", "", ""}, 10, {"junk", "", "", ""}},
        // Past 2 GiB the columns go on counting: 500,000,000 bytes since
        // the last refresh, 2,000,000,000 to go.
        {"5,000,000,000", {"2,500,000,000", "50%", "", ""}, 3000000000LL,
         {"3,000,000,000", "60%", " 0:04", "488281"}},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(QString("%1 / %2").arg(c.size).arg(c.now).toStdString());
        ProgressTexts cols = c.before;
        ProgressColumns::Refresh(QString::fromLatin1(c.size), cols, c.now);
        EXPECT_EQ(cols.done, c.after.done);
        EXPECT_EQ(cols.percent, c.after.percent);
        EXPECT_EQ(cols.time, c.after.time);
        EXPECT_EQ(cols.speed, c.after.speed);
    }
}

TEST(TransferEvents, LinesOnlyUnderTheirConditions)
{
    const std::array<bool, 6> on{true, true, true, true, true, true};
    for (int code = -1; code <= 13; ++code) {
        SCOPED_TRACE(code);
        const auto line = TransferEvents::LogLine(code, "a.txt", on, true);
        // The update check's codes (11, 12) are its own lines, not the table's.
        const bool hasLine = (code >= 5 && code <= 10);
        ASSERT_EQ(line.has_value(), hasLine);
        if (hasLine) {
            EXPECT_EQ(*line, TransferEvents::Text(code) + "a.txt");
        }
        // Send events need "送信開始" pressed; receive events do not.
        EXPECT_EQ(TransferEvents::LogLine(code, "a.txt", on, false).has_value(), code >= 8 && code <= 10);
        // Each flag silences exactly its own code.
        for (int f = 0; f < 6; ++f) {
            std::array<bool, 6> flags = on;
            flags[size_t(f)] = false;
            const bool silenced = code == (f < 3 ? 5 + f : 8 + f - 3);
            EXPECT_EQ(TransferEvents::LogLine(code, "a.txt", flags, true).has_value(), hasLine && !silenced);
        }
    }
    EXPECT_EQ(*TransferEvents::LogLine(RcSendStarted, "x", on, true), "ファイル送信開始：x");
    EXPECT_EQ(*TransferEvents::LogLine(RcReceiveFailed, "y", on, true), "ファイル受信失敗：y");
}

TEST(TransferButtons, EnablingWithAndWithoutConnectionAndRows)
{
    struct Case {
        int recv, send;
        bool connected;
        bool btSend, btRecv, btRecvList, sendClears, recvClears;
    };
    const Case table[] = {
        {0, 0, false, false, false, false, false, false},
        {3, 2, false, false, false, false, true, true},
        {0, 0, true, false, false, true, false, false},
        {1, 0, true, false, true, true, false, true},
        {0, 1, true, true, false, true, true, false},
    };
    for (const Case& c : table) {
        const auto b = TransferButtons::Compute(c.recv, c.send, c.connected, false);
        EXPECT_EQ(b.btSend, c.btSend);
        EXPECT_EQ(b.btSendList, c.btSend);
        EXPECT_EQ(b.btRecv, c.btRecv);
        EXPECT_EQ(b.btRecvList, c.btRecvList);
        EXPECT_EQ(b.btLV1FinClear && b.btLV1AllClear, c.sendClears);
        EXPECT_EQ(b.btLV1FinClear || b.btLV1AllClear, c.sendClears);
        EXPECT_EQ(b.btLV2FinClear && b.btLV2AllClear, c.recvClears);
        EXPECT_EQ(b.btLV2FinClear || b.btLV2AllClear, c.recvClears);
    }
    EXPECT_TRUE(TransferButtons::Compute(0, 0, false, true).timer2);
    EXPECT_FALSE(TransferButtons::Compute(5, 5, true, false).timer2);
}

TEST(QueueOrdering, ColumnSortsByTheirRules)
{
    TransferQueue q(QueueKind::Receive);
    q.Append("b.txt", "1,000", "/x/", S::Waiting);
    q.Append("A.txt", "20", "/y/", S::Waiting);
    q.Append("c.txt", "300", "/z/", S::Waiting);
    q.Append("d.txt", "bad", "/w/", S::Waiting);  // sorts as 0
    // Sizes: the first click (direction +1) ascending by number, not by text.
    QueueOrdering::SortByColumn(q, 1, +1);
    EXPECT_EQ(names(q), QStringList({"d.txt", "A.txt", "c.txt", "b.txt"}));
    QueueOrdering::SortByColumn(q, 1, -1);
    EXPECT_EQ(names(q), QStringList({"b.txt", "c.txt", "A.txt", "d.txt"}));
    // Names ignore letter case.
    QueueOrdering::SortByColumn(q, 0, +1);
    EXPECT_EQ(names(q), QStringList({"A.txt", "b.txt", "c.txt", "d.txt"}));
    // Columns 3 to 6 compare the other way round: +1 sorts descending.
    QueueOrdering::SortByColumn(q, 6, +1);
    EXPECT_EQ(names(q), QStringList({"c.txt", "A.txt", "b.txt", "d.txt"}));
    // Sizes far apart keep a consistent order (no 32-bit wrap of the difference).
    TransferQueue w(QueueKind::Send);
    w.Append("max", "2,147,483,647", "/", S::Waiting);
    w.Append("min", "-2,147,483,648", "/", S::Waiting);
    w.Append("zero", "0", "/", S::Waiting);
    QueueOrdering::SortByColumn(w, 1, +1);
    EXPECT_EQ(names(w), QStringList({"min", "zero", "max"}));
    // Sizes of 2 GiB and more (a folder's files among them) sort by number too.
    w.Append("photos/big.iso", "3,221,225,472", "/", S::Waiting);
    w.Append("photos/huge.iso", "9,223,372,036,854,775,807", "/", S::Waiting);
    w.Append("photos/4g.iso", "4,294,967,296", "/", S::Waiting);
    QueueOrdering::SortByColumn(w, 1, -1);
    EXPECT_EQ(names(w), QStringList({"photos/huge.iso", "photos/4g.iso", "photos/big.iso", "max", "zero", "min"}));
    EXPECT_LT(QueueOrdering::Compare(w.Row(5), w.Row(0), 1, +1), 0);  // min below huge: no wrap
}

TEST(QueueOrdering, DropMovesTheSelectedRowsByRank)
{
    struct Case {
        QList<int> selected;
        int target;
        QStringList order;
    };
    const Case table[] = {
        {{1, 3}, 2, {"A", "D", "B", "C", "E"}},  // B and D dropped onto C
        {{1, 3}, 5, {"A", "C", "E", "B", "D"}},  // below the last row
        {{0}, 0, {"A", "B", "C", "D", "E"}},
        {{4}, 0, {"E", "A", "B", "C", "D"}},
        {{}, 2, {"A", "B", "C", "D", "E"}},
    };
    for (const Case& c : table) {
        TransferQueue q(QueueKind::Send);
        QSet<quint64> ids;
        for (const char* n : {"A", "B", "C", "D", "E"})
            q.Append(n, "1", "/", S::Waiting);
        for (int i : c.selected)
            ids.insert(q.Row(i).Ref()->Id());
        QueueOrdering::ReorderForDrop(q, ids, c.target);
        EXPECT_EQ(names(q), c.order) << c.target;
    }
    EXPECT_EQ(QueueOrdering::DragRank(0, false, 2), 1);
    EXPECT_EQ(QueueOrdering::DragRank(3, true, 2), 10);
    EXPECT_EQ(QueueOrdering::DragRank(1, true, 2), 11);
    EXPECT_EQ(QueueOrdering::DragRank(2, false, 2), 100);
}

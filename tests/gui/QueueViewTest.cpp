// The queue view follows its queue by itself: a list of thousands of rows
// appears over turns of the event loop, and whatever the queue does
// meanwhile (texts, states, rows leaving, a new order) the items end as the
// queue is, in its order, with the selection kept.
#include "support/WaitFor.h"

#include "core/transfer/QueueOrdering.h"
#include "core/transfer/TransferQueue.h"
#include "gui/transfer/QueueView.h"

#include <gtest/gtest.h>

using namespace corvid;
using namespace corvid::test;

namespace {

// Row by row: the seven texts, the state image's key and "*" when selected.
QStringList shownRows(QueueView& v)
{
    QStringList out;
    for (int i = 0; i < v.topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = v.topLevelItem(i);
        QStringList texts;
        for (int col = 0; col < QueueRow::kColumnCount; ++col)
            texts << item->text(col);
        texts << QString::number(item->icon(0).cacheKey()) << (item->isSelected() ? "*" : "");
        out << texts.join(u'|');
    }
    return out;
}

QStringList queueRows(const TransferQueue& q, const QSet<QString>& selected)
{
    QStringList out;
    for (int i = 0; i < q.Count(); ++i) {
        const QueueRow& row = q.Row(i);
        QStringList texts;
        for (int col = 0; col < QueueRow::kColumnCount; ++col)
            texts << row.Text(col);
        texts << QString::number(QueueView::StateImage(row.State()).cacheKey())
              << (selected.contains(row.Name()) ? "*" : "");
        out << texts.join(u'|');
    }
    return out;
}

} // namespace

TEST(QueueView, ItemsFollowTheQueueThroughSlicesRemovalsAndANewOrder)
{
    TransferQueue q(QueueKind::Receive);
    QueueView v(q, {});
    q.SetChangeHandler([&] { v.scheduleSync(); });
    {
        TransferQueue::ChangeBatch batch(q);
        for (int i = 0; i < 20000; ++i)
            q.Append(QString("f%1").arg(i, 5, 10, QChar(u'0')), QString::number(20000 - i), "/in/", RowState::Waiting);
    }
    QCoreApplication::processEvents();
    // Changes while the items may still be appearing.
    q.Remove(q.Row(3).Ref());
    q.SetText(q.Row(10).Ref(), 2, "5");
    q.SetState(q.Row(11).Ref(), RowState::Done);
    q.Append("late", "7", "/in/", RowState::New);
    ASSERT_TRUE(waitFor([&] { return v.inLine(); }));
    EXPECT_EQ(shownRows(v), queueRows(q, {}));

    // A new order keeps the selection with its rows.
    v.selectRows({1, 2, q.Count() - 1});
    const QSet<QString> selected{q.Row(1).Name(), q.Row(2).Name(), "late"};
    QueueOrdering::SortByColumn(q, 1, +1);
    ASSERT_TRUE(waitFor([&] { return v.inLine(); }));
    EXPECT_EQ(shownRows(v), queueRows(q, selected));

    // A few rows leave: the others keep their items and the selection.
    q.RemoveAt(0);
    q.RemoveAt(100);
    ASSERT_TRUE(waitFor([&] { return v.inLine(); }));
    EXPECT_EQ(shownRows(v), queueRows(q, selected));
    // Many leave at once (every other row).
    {
        TransferQueue::ChangeBatch batch(q);
        for (int i = q.Count() - 1; i >= 0; i -= 2)
            q.RemoveAt(i);
    }
    ASSERT_TRUE(waitFor([&] { return v.inLine(); }));
    QSet<QString> left;
    for (int i = 0; i < q.Count(); ++i)
        if (selected.contains(q.Row(i).Name()))
            left << q.Row(i).Name();
    EXPECT_EQ(shownRows(v), queueRows(q, left));
    q.Clear();
    ASSERT_TRUE(waitFor([&] { return v.inLine(); }));
    EXPECT_EQ(v.topLevelItemCount(), 0);
}

TEST(QueueView, AChangeOfSomeRowsShowsThemAndLeavesTheOthersThroughMovesAndRemovals)
{
    TransferQueue q(QueueKind::Receive);
    QueueView v(q, {});
    q.SetChangeHandler([&] { v.scheduleSync(); });
    std::vector<RowRef> refs;
    for (int i = 0; i < 300; ++i)
        refs.push_back(q.Append(QString("f%1").arg(i, 3, 10, QChar(u'0')), "9", "/in/", RowState::Waiting));
    ASSERT_TRUE(waitFor([&] { return v.inLine(); }));
    const QStringList before = shownRows(v);

    // A few rows change, one of them twice, and a row comes at the end.
    q.SetState(refs[120], RowState::Transferring);
    q.SetText(refs[120], QueueRow::ColDone, "4");
    q.SetText(refs[5], QueueRow::ColPercent, "50%");
    q.SetState(refs[120], RowState::Done);
    q.SetText(refs[299], QueueRow::ColSpeed, "1 KB/s");
    q.Append("late", "7", "/in/", RowState::New);
    ASSERT_TRUE(waitFor([&] { return v.inLine(); }));
    const QStringList after = shownRows(v);
    EXPECT_EQ(after, queueRows(q, {}));
    for (int i = 0; i < 300; ++i) {
        if (i != 5 && i != 120 && i != 299) {
            EXPECT_EQ(after[i], before[i]) << i;
        }
    }
    EXPECT_NE(after[120], before[120]);
    EXPECT_NE(after[5], before[5]);

    // A change of a row and, in the same turn, a new order or a removal:
    // the row shows its text at its new place.
    q.SetText(refs[7], QueueRow::ColDone, "8");
    QueueOrdering::SortByColumn(q, 0, -1);
    ASSERT_TRUE(waitFor([&] { return v.inLine(); }));
    EXPECT_EQ(shownRows(v), queueRows(q, {}));
    q.SetState(refs[8], RowState::Failed);
    q.Remove(refs[9]);
    q.SetText(refs[10], QueueRow::ColDone, "2");
    ASSERT_TRUE(waitFor([&] { return v.inLine(); }));
    EXPECT_EQ(shownRows(v), queueRows(q, {}));
    // Then rows change again without moving.
    q.SetText(refs[11], QueueRow::ColDone, "3");
    ASSERT_TRUE(waitFor([&] { return v.inLine(); }));
    EXPECT_EQ(shownRows(v), queueRows(q, {}));
}

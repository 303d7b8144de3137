#pragma once
#include "core/transfer/TransferQueue.h"

#include <QSet>

namespace corvid {

// Sorting a queue by a column click and reordering it by a drop.
class QueueOrdering {
public:
    // ListView2Compare for key 0..6, times the column's direction (+1/-1):
    // 0 names by the locale's collation ignoring case; 1 and 2 the numbers
    // of the grouped texts; 3 to 6 the texts by collation, the second row's
    // against the first's.
    static int Compare(const QueueRow& a, const QueueRow& b, int key, int direction);
    // Rank of a row for a drop onto row `target` (target = row count when
    // dropped below the last row).
    static int DragRank(int index, bool selected, int target);

    // Sorts the queue once; rows that compare equal keep their order.
    static void SortByColumn(TransferQueue& queue, int key, int direction);
    // Moves the selected rows (by row id) in front of the target by rank.
    static void ReorderForDrop(TransferQueue& queue, const QSet<quint64>& selectedIds, int target);
};

} // namespace corvid

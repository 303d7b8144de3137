#include "core/transfer/QueueOrdering.h"

#include "core/settings/Conversions.h"

#include <QCollator>

#include <algorithm>
#include <numeric>

namespace corvid {

namespace {

int collate(const QString& a, const QString& b)
{
    static thread_local QCollator collator = [] {
        QCollator c;
        c.setCaseSensitivity(Qt::CaseInsensitive);
        return c;
    }();
    const int r = collator.compare(a, b);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

} // namespace

int QueueOrdering::Compare(const QueueRow& a, const QueueRow& b, int key, int direction)
{
    int r = 0;
    if (key == 0) {
        r = collate(a.Name(), b.Name());
    } else if (key == 1 || key == 2) {
        // The sign of the difference, without the 32-bit wrap that would
        // make the order inconsistent for sizes far apart.
        const qint64 d = Conversions::ParseThousands(a.Text(key)) - Conversions::ParseThousands(b.Text(key));
        r = d < 0 ? -1 : (d > 0 ? 1 : 0);
    } else if (key >= 3 && key <= 6) {
        r = collate(b.Text(key), a.Text(key));
    }
    return r * direction;
}

int QueueOrdering::DragRank(int index, bool selected, int target)
{
    int rank = 0;
    if (index < target)
        rank += 1;
    if (selected)
        rank += 10;
    else if (index >= target)
        rank += 100;
    return rank;
}

void QueueOrdering::SortByColumn(TransferQueue& queue, int key, int direction)
{
    std::vector<int> order(size_t(queue.Count()));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int x, int y) {
        return Compare(queue.Row(x), queue.Row(y), key, direction) < 0;
    });
    queue.Reorder(order);
}

void QueueOrdering::ReorderForDrop(TransferQueue& queue, const QSet<quint64>& selectedIds, int target)
{
    std::vector<int> ranks(size_t(queue.Count()));
    for (int i = 0; i < queue.Count(); ++i)
        ranks[size_t(i)] = DragRank(i, selectedIds.contains(queue.Row(i).Ref()->Id()), target);
    std::vector<int> order(ranks.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int x, int y) { return ranks[size_t(x)] < ranks[size_t(y)]; });
    queue.Reorder(order);
}

} // namespace corvid

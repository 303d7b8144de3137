#include "core/transfer/QueueOrdering.h"

#include "core/settings/Conversions.h"

#include <QCollator>
#include <QHash>

#include <algorithm>
#include <numeric>

namespace corvid {

namespace {

QCollator& collator()
{
    static thread_local QCollator collator = [] {
        QCollator c;
        c.setCaseSensitivity(Qt::CaseInsensitive);
        return c;
    }();
    return collator;
}

int sign(qint64 v)
{
    return v < 0 ? -1 : (v > 0 ? 1 : 0);
}

// -1, 0 or 1 as a is below, equal to or above b (no difference taken:
// 64-bit sizes far apart must not wrap).
int compareNumbers(qint64 a, qint64 b)
{
    return (a > b) - (a < b);
}

int collate(const QString& a, const QString& b)
{
    return sign(collator().compare(a, b));
}

} // namespace

int QueueOrdering::Compare(const QueueRow& a, const QueueRow& b, int key, int direction)
{
    int r = 0;
    if (key == 0) {
        r = collate(a.Name(), b.Name());
    } else if (key == 1 || key == 2) {
        r = compareNumbers(Conversions::ParseThousands64(a.Text(key)), Conversions::ParseThousands64(b.Text(key)));
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
    // Compare's order, with each row's number or collation key made once:
    // sorting 100,000 rows then costs 100,000 parses or collations, not one
    // per comparison.
    const size_t n = size_t(queue.Count());
    std::vector<int> order(n);
    std::iota(order.begin(), order.end(), 0);
    if (key == 1 || key == 2) {
        std::vector<qint64> numbers(n);
        for (size_t i = 0; i < n; ++i)
            numbers[i] = Conversions::ParseThousands64(queue.Row(int(i)).Text(key));
        std::stable_sort(order.begin(), order.end(), [&](int x, int y) {
            return compareNumbers(numbers[size_t(x)], numbers[size_t(y)]) * direction < 0;
        });
    } else if (key == 0 || (key >= 3 && key <= 6)) {
        // One key per distinct text: names differ, but a column of one
        // folder or of empty texts needs a single key.
        std::vector<QCollatorSortKey> keys;
        std::vector<size_t> keyOf(n);
        QHash<QString, size_t> seen;
        for (size_t i = 0; i < n; ++i) {
            const QString text = queue.Row(int(i)).Text(key);
            if (key == 0) {
                keyOf[i] = keys.size();
                keys.push_back(collator().sortKey(text));
                continue;
            }
            auto it = seen.constFind(text);
            if (it == seen.constEnd()) {
                it = seen.insert(text, keys.size());
                keys.push_back(collator().sortKey(text));
            }
            keyOf[i] = *it;
        }
        const int turn = key == 0 ? direction : -direction;  // 3 to 6: the second row's against the first's
        std::stable_sort(order.begin(), order.end(), [&](int x, int y) {
            return sign(keys[keyOf[size_t(x)]].compare(keys[keyOf[size_t(y)]])) * turn < 0;
        });
    }
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

#include "gui/transfer/QueueView.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QHash>
#include <QHeaderView>
#include <QHelpEvent>
#include <QItemSelection>
#include <QMimeData>
#include <QPixmap>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QToolTip>
#include <QUrl>

namespace corvid {

namespace {
constexpr int kIdRole = Qt::UserRole + 1;
constexpr std::array<int, 7> kWidths{200, 80, 80, 37, 40, 37, 148};
// Time for new items per turn of the event loop while a large list appears.
constexpr qint64 kSliceNs = 20 * 1000 * 1000;
// New items wait for at least this many before they go into the widget.
constexpr size_t kFirstBatch = 2000;

bool isPathColumn(int column)
{
    return column == QueueRow::ColName || column == QueueRow::ColFolder;
}

bool isNumberColumn(int column)
{
    return column >= 1 && column <= 5;
}

// What a cell's text needs besides its own width: the margins the style
// keeps on both sides, and a pixel of slack.
int cellMargins(const QWidget* view)
{
    return 2 * (view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1) + 1;
}

// How the columns are drawn, by the view rather than per item, so that rows
// do not each carry it (a list of 100,000 rows would carry half a million
// alignments). Columns 1 to 5 are numbers: right-aligned. The name and the
// folder are paths ("photos/2026/a.jpg"): too long for the column, they
// keep both ends. A text cut short shows whole as a tip.
class QueueColumns : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override
    {
        if (event->type() != QEvent::ToolTip)
            return QStyledItemDelegate::helpEvent(event, view, option, index);
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        // The text's room as the style lays the item out.
        const QRect room = view->style()->subElementRect(QStyle::SE_ItemViewItemText, &opt, view);
        if (opt.fontMetrics.horizontalAdvance(opt.text) + cellMargins(view) > room.width()) {
            QToolTip::showText(event->globalPos(), opt.text, view, view->visualRect(index));
        } else {
            QToolTip::hideText();
        }
        return true;
    }

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        if (isNumberColumn(index.column()))
            option->displayAlignment = Qt::AlignRight | Qt::AlignVCenter;
        else if (isPathColumn(index.column()))
            option->textElideMode = Qt::ElideMiddle;
    }
};

QStringList localFiles(const QMimeData* mime)
{
    QStringList paths;
    if (!mime || !mime->hasUrls())
        return paths;
    for (const QUrl& url : mime->urls()) {
        if (url.isLocalFile())
            paths << url.toLocalFile();
    }
    return paths;
}
} // namespace

QueueView::QueueView(TransferQueue& queue, const std::array<QString, 7>& captions, QWidget* parent)
    : QTreeWidget(parent)
    , queue_(queue)
{
    setColumnCount(7);
    QStringList labels;
    for (const QString& c : captions)
        labels << c;
    setHeaderLabels(labels);
    for (int i = 0; i < 7; ++i) {
        const Qt::Alignment align = (i >= 1 && i <= 5 ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter;
        headerItem()->setTextAlignment(i, align);
        header()->resizeSection(i, kWidths[size_t(i)]);
    }
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    // The queue sorts itself on a click; the view never keeps it sorted.
    // (Turning the view's sorting off also makes headers unclickable, so
    // that comes first.)
    setSortingEnabled(false);
    header()->setSectionsClickable(true);
    header()->setSectionsMovable(false);
    header()->setSortIndicatorShown(false);
    header()->setStretchLastSection(false);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setIconSize(QSize(16, 16));
    setDragEnabled(true);
    setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::MoveAction);
    setContextMenuPolicy(Qt::CustomContextMenu);
    setItemDelegate(new QueueColumns(this));
}

QueueView::~QueueView()
{
    // Items made but not yet in the widget belong to no one else.
    for (size_t i = placed_; i < shown_.size(); ++i)
        delete shown_[i].item;
}

QIcon QueueView::StateImage(RowState state)
{
    static const char* const kFiles[] = {"waiting", "transferring", "done", "failed", "stopped", "new", "refused"};
    const int i = static_cast<int>(state);
    static QHash<int, QIcon> cache;
    if (i < 0 || i > 6) {
        // Unlisted: no image, but the names stay in line with the others.
        auto blank = cache.find(-1);
        if (blank == cache.end()) {
            QPixmap empty(16, 16);
            empty.fill(Qt::transparent);
            blank = cache.insert(-1, QIcon(empty));
        }
        return *blank;
    }
    auto it = cache.find(i);
    if (it == cache.end())
        it = cache.insert(i, QIcon(QStringLiteral(":/icons/state-%1.svg").arg(QLatin1String(kFiles[i]))));
    return *it;
}

void QueueView::scheduleSync()
{
    queueChanged_ = true;
    postStep();
}

void QueueView::postStep()
{
    // Many changes in one turn (a merged list of thousands of rows) cost
    // one pass over the queue.
    if (syncPending_)
        return;
    syncPending_ = true;
    QMetaObject::invokeMethod(this, [this] { syncStep(); }, Qt::QueuedConnection);
}

void QueueView::syncStep()
{
    syncPending_ = false;
    if (!bringInLine(kSliceNs))
        postStep();  // the rest after whatever else waits
}

void QueueView::sync()
{
    queueChanged_ = true;
    bringInLine(-1);
}

QueueView::Shown QueueView::makeShown(const QueueRow& row)
{
    Shown s;
    s.id = row.Ref()->Id();
    s.state = row.State();
    QStringList texts;
    texts.reserve(QueueRow::kColumnCount);
    for (int col = 0; col < QueueRow::kColumnCount; ++col) {
        s.texts[size_t(col)] = row.Text(col);
        texts.append(s.texts[size_t(col)]);
    }
    noteNumber(QueueRow::ColSize, s.texts[QueueRow::ColSize]);
    noteNumber(QueueRow::ColDone, s.texts[QueueRow::ColDone]);
    s.item = new QTreeWidgetItem(texts);
    s.item->setData(0, kIdRole, QVariant::fromValue(s.id));
    s.item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsDragEnabled);
    s.item->setIcon(0, StateImage(s.state));
    return s;
}

void QueueView::noteNumber(int column, const QString& text)
{
    // Only a text with more characters than any before can need more room:
    // a list of 100,000 rows measures a handful of texts.
    QString& widest = widestNumber_[size_t(column - QueueRow::ColSize)];
    if (text.size() <= widest.size())
        return;
    widest = text;
    fitNumberColumns();
}

void QueueView::fitNumberColumns()
{
    for (int column : {int(QueueRow::ColSize), int(QueueRow::ColDone)}) {
        const QString& widest = widestNumber_[size_t(column - QueueRow::ColSize)];
        const int needed = fontMetrics().horizontalAdvance(widest) + cellMargins(this);
        if (!widest.isEmpty() && header()->sectionSize(column) < needed)
            header()->resizeSection(column, needed);
    }
}

void QueueView::refresh(Shown& s, const QueueRow& row)
{
    for (int col = 0; col < QueueRow::kColumnCount; ++col) {
        QString& shown = s.texts[size_t(col)];
        const QString text = row.Text(col);
        if (shown != text) {
            shown = text;
            s.item->setText(col, text);
            if (col == QueueRow::ColSize || col == QueueRow::ColDone)
                noteNumber(col, text);
        }
    }
    if (s.state != row.State()) {
        s.state = row.State();
        s.item->setIcon(0, StateImage(s.state));
    }
}

bool QueueView::bringInLine(qint64 limitNs)
{
    const size_t n = size_t(queue_.Count());
    // A further slice of new items after no change of the queue needs no
    // look at the rows already shown.
    if (std::exchange(queueChanged_, false) && !refreshTouched())
        refreshAll();
    shown_.reserve(n);

    QElapsedTimer clock;
    clock.start();
    for (int made = 0; shown_.size() < n; ++made) {
        if (limitNs >= 0 && made % 64 == 63 && clock.nsecsElapsed() > limitNs)
            break;
        shown_.push_back(makeShown(queue_.Row(int(shown_.size()))));
    }
    // Every insertion costs the widget a pass over all its items, so new
    // items go in by batches that grow with the items already there: a
    // list of 100,000 rows is a handful of passes, not one per slice.
    const size_t waiting = shown_.size() - placed_;
    if (limitNs < 0 || shown_.size() == n || waiting >= std::max<size_t>(kFirstBatch, placed_ / 2))
        place();
    return placed_ == n;
}

bool QueueView::refreshTouched()
{
    const TransferQueue::Changes changes = queue_.TakeChanges(changesMark_);
    changesMark_ = changes.mark;
    if (changes.full)
        return false;
    // The queue says nothing moved; a row that is not where it was shown
    // means otherwise, and the full look decides.
    const size_t n = size_t(queue_.Count());
    if (shown_.size() > n || (!shown_.empty() && queue_.Row(int(shown_.size() - 1)).Ref()->Id() != shown_.back().id))
        return false;
    for (const int i : changes.touched) {
        if (size_t(i) >= shown_.size())
            continue;  // made later from the row as it is then
        const QueueRow& row = queue_.Row(i);
        if (row.Ref()->Id() != shown_[size_t(i)].id)
            return false;
        refresh(shown_[size_t(i)], row);
    }
    return true;
}

void QueueView::refreshAll()
{
    const size_t n = size_t(queue_.Count());
    // The rows shown so far, in their order: then only texts and states
    // can differ, and new rows can only follow.
    bool dropped = false;
    for (size_t i = 0; i < shown_.size(); ++i) {
        if (i >= n || queue_.Row(int(i)).Ref()->Id() != shown_[i].id) {
            place();
            if (dropped || !dropLeftRows(i)) {
                rebuild();
                break;
            }
            dropped = true;
            if (i == shown_.size())
                break;
        }
        refresh(shown_[i], queue_.Row(int(i)));
    }
}

void QueueView::place()
{
    if (placed_ == shown_.size())
        return;
    QList<QTreeWidgetItem*> items;
    items.reserve(qsizetype(shown_.size() - placed_));
    for (size_t i = placed_; i < shown_.size(); ++i)
        items.append(shown_[i].item);
    addTopLevelItems(items);
    placed_ = shown_.size();
}

bool QueueView::dropLeftRows(size_t from)
{
    // Rows that only left the queue (a delete, a clear of a few finished
    // rows) lose their items one by one; the rest stays as it is.
    constexpr size_t kFew = 64;
    const size_t n = size_t(queue_.Count());
    std::vector<size_t> gone;
    size_t j = from;
    for (size_t i = from; i < shown_.size(); ++i) {
        if (j < n && queue_.Row(int(j)).Ref()->Id() == shown_[i].id) {
            ++j;
            continue;
        }
        gone.push_back(i);
        if (gone.size() > kFew)
            return false;
    }
    QSet<quint64> goneIds;
    for (const size_t i : gone)
        goneIds.insert(shown_[i].id);
    for (size_t k = 0; k < n; ++k) {
        if (goneIds.contains(queue_.Row(int(k)).Ref()->Id()))
            return false;  // not gone but moved: a new order
    }
    for (auto it = gone.rbegin(); it != gone.rend(); ++it)
        delete takeTopLevelItem(int(*it));
    size_t kept = from;
    for (size_t i = from, g = 0; i < shown_.size(); ++i) {
        if (g < gone.size() && gone[g] == i) {
            ++g;
            continue;
        }
        shown_[kept++] = std::move(shown_[i]);
    }
    shown_.resize(kept);
    placed_ = kept;
    return true;
}

void QueueView::rebuild()
{
    const QSet<quint64> selected = selectedIds();
    const int scrolled = verticalScrollBar()->value();
    QHash<quint64, size_t> at;
    at.reserve(qsizetype(shown_.size()));
    for (size_t i = 0; i < shown_.size(); ++i)
        at.insert(shown_[i].id, i);
    // All items out at once (shown_ has them): one change for the widget,
    // not one per item.
    invisibleRootItem()->takeChildren();
    std::vector<Shown> next;
    next.reserve(size_t(queue_.Count()));
    for (int i = 0; i < queue_.Count(); ++i) {
        const QueueRow& row = queue_.Row(i);
        const auto found = at.constFind(row.Ref()->Id());
        if (found == at.constEnd()) {
            next.push_back(makeShown(row));
            continue;
        }
        Shown& s = shown_[*found];
        refresh(s, row);
        next.push_back(std::move(s));
        s.item = nullptr;  // kept
    }
    for (const Shown& s : shown_)
        delete s.item;  // rows that left the queue
    shown_ = std::move(next);
    placed_ = 0;
    place();

    // The selection comes back as runs of rows, in one step.
    QItemSelection selection;
    for (size_t i = 0; i < shown_.size();) {
        if (!selected.contains(shown_[i].id)) {
            ++i;
            continue;
        }
        size_t end = i + 1;
        while (end < shown_.size() && selected.contains(shown_[end].id))
            ++end;
        selection.select(indexFromItem(shown_[i].item, 0), indexFromItem(shown_[end - 1].item, columnCount() - 1));
        i = end;
    }
    if (!selection.isEmpty())
        selectionModel()->select(selection, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    verticalScrollBar()->setValue(scrolled);
}

QList<RowRef> QueueView::selectedRows() const
{
    const QSet<quint64> ids = selectedIds();
    QList<RowRef> rows;
    for (int i = 0; i < queue_.Count(); ++i) {
        if (ids.contains(queue_.Row(i).Ref()->Id()))
            rows << queue_.Row(i).Ref();
    }
    return rows;
}

QSet<quint64> QueueView::selectedIds() const
{
    QSet<quint64> ids;
    for (QTreeWidgetItem* item : selectedItems())
        ids.insert(item->data(0, kIdRole).toULongLong());
    return ids;
}

void QueueView::selectRows(const QList<int>& indexes)
{
    if (!inLine())
        sync();
    clearSelection();
    for (int i : indexes) {
        if (QTreeWidgetItem* item = topLevelItem(i))
            item->setSelected(true);
    }
}

void QueueView::dragEnterEvent(QDragEnterEvent* event)
{
    ListView2DragOver(event);
}

void QueueView::dragMoveEvent(QDragMoveEvent* event)
{
    ListView2DragOver(event);
}

void QueueView::ListView2DragOver(QDragMoveEvent* event)
{
    event->acceptProposedAction();
}

void QueueView::dropEvent(QDropEvent* event)
{
    const QStringList files = localFiles(event->mimeData());
    if (event->source() == nullptr && !files.isEmpty()) {
        emit filesDropped(files);
    } else {
        QTreeWidgetItem* item = itemAt(event->position().toPoint());
        emit rowsDropped(item ? indexOfTopLevelItem(item) : topLevelItemCount());
    }
    // The queue moves its own rows; the widget must not move items itself.
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

} // namespace corvid

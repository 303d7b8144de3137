#include "gui/transfer/QueueView.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHash>
#include <QHeaderView>
#include <QMimeData>
#include <QPixmap>
#include <QUrl>

namespace corvid {

namespace {
constexpr int kIdRole = Qt::UserRole + 1;
constexpr int kStateRole = Qt::UserRole + 2;
constexpr std::array<int, 7> kWidths{200, 80, 80, 37, 40, 37, 148};

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
    // Many changes in one turn (a merged list of thousands of rows) cost
    // one pass over the queue.
    if (syncPending_)
        return;
    syncPending_ = true;
    QMetaObject::invokeMethod(this, [this] { sync(); }, Qt::QueuedConnection);
}

void QueueView::sync()
{
    syncPending_ = false;
    const int n = queue_.Count();
    QHash<quint64, int> index;
    index.reserve(n);
    for (int i = 0; i < n; ++i)
        index.insert(queue_.Row(i).Ref()->Id(), i);

    QHash<quint64, QTreeWidgetItem*> items;
    for (int i = topLevelItemCount() - 1; i >= 0; --i) {
        QTreeWidgetItem* item = topLevelItem(i);
        const quint64 id = item->data(0, kIdRole).toULongLong();
        if (!index.contains(id))
            delete takeTopLevelItem(i);
        else
            items.insert(id, item);
    }

    QList<QTreeWidgetItem*> desired;
    desired.reserve(n);
    for (int i = 0; i < n; ++i) {
        const QueueRow& row = queue_.Row(i);
        const quint64 id = row.Ref()->Id();
        QTreeWidgetItem* item = items.value(id);
        if (!item) {
            item = new QTreeWidgetItem;
            item->setData(0, kIdRole, QVariant::fromValue(id));
            item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsDragEnabled);
            for (int col = 1; col <= 5; ++col)
                item->setTextAlignment(col, Qt::AlignRight | Qt::AlignVCenter);
        }
        for (int col = 0; col < QueueRow::kColumnCount; ++col) {
            if (item->text(col) != row.Text(col))
                item->setText(col, row.Text(col));
        }
        const int state = static_cast<int>(row.State()) + 2;  // 0 = no image set yet
        if (item->data(0, kStateRole).toInt() != state) {
            item->setData(0, kStateRole, state);
            item->setIcon(0, StateImage(row.State()));
        }
        desired.append(item);
    }

    const int current = topLevelItemCount();
    bool prefix = current <= n;
    for (int i = 0; prefix && i < current; ++i)
        prefix = topLevelItem(i) == desired[i];
    if (prefix) {
        if (current < n)
            addTopLevelItems(desired.mid(current));
        return;
    }
    // Reordered: put every item back in the queue's order, keeping the selection.
    const QSet<quint64> selected = selectedIds();
    while (topLevelItemCount() > 0)
        takeTopLevelItem(topLevelItemCount() - 1);
    addTopLevelItems(desired);
    for (QTreeWidgetItem* item : desired) {
        if (selected.contains(item->data(0, kIdRole).toULongLong()))
            item->setSelected(true);
    }
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
    if (syncPending_)
        sync();
    clearSelection();
    for (int i : indexes) {
        if (QTreeWidgetItem* item = topLevelItem(i))
            item->setSelected(true);
    }
}

void QueueView::dragEnterEvent(QDragEnterEvent* event)
{
    event->acceptProposedAction();
}

void QueueView::dragMoveEvent(QDragMoveEvent* event)
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

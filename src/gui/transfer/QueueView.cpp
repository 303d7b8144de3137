#include "gui/transfer/QueueView.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHash>
#include <QHeaderView>
#include <QMimeData>
#include <QUrl>

namespace corvid {

namespace {
constexpr int kIdRole = Qt::UserRole + 1;
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
    if (i < 0 || i > 6)
        return {};  // Unlisted: no image
    static QHash<int, QIcon> cache;
    auto it = cache.find(i);
    if (it == cache.end())
        it = cache.insert(i, QIcon(QStringLiteral(":/icons/state-%1.svg").arg(QLatin1String(kFiles[i]))));
    return *it;
}

void QueueView::sync()
{
    QHash<quint64, QTreeWidgetItem*> items;
    for (int i = topLevelItemCount() - 1; i >= 0; --i) {
        QTreeWidgetItem* item = topLevelItem(i);
        const quint64 id = item->data(0, kIdRole).toULongLong();
        if (queue_.IndexOfId(id) < 0)
            delete takeTopLevelItem(i);
        else
            items.insert(id, item);
    }
    for (int i = 0; i < queue_.Count(); ++i) {
        const QueueRow& row = queue_.Row(i);
        const quint64 id = row.Ref()->Id();
        QTreeWidgetItem* item = items.value(id);
        if (!item) {
            item = new QTreeWidgetItem;
            item->setData(0, kIdRole, QVariant::fromValue(id));
            item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsDragEnabled);
            for (int c = 1; c <= 5; ++c)
                item->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
            insertTopLevelItem(i, item);
        } else if (indexOfTopLevelItem(item) != i) {
            const bool selected = item->isSelected();
            takeTopLevelItem(indexOfTopLevelItem(item));
            insertTopLevelItem(i, item);
            item->setSelected(selected);
        }
        for (int c = 0; c < QueueRow::kColumnCount; ++c) {
            if (item->text(c) != row.Text(c))
                item->setText(c, row.Text(c));
        }
        const int state = static_cast<int>(row.State());
        if (item->data(0, Qt::UserRole + 2).toInt() != state + 2) {
            item->setData(0, Qt::UserRole + 2, state + 2);
            item->setIcon(0, StateImage(row.State()));
        }
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

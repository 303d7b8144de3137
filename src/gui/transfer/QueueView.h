#pragma once
#include "core/transfer/TransferQueue.h"

#include <QIcon>
#include <QSet>
#include <QTreeWidget>

#include <array>

namespace corvid {

// One queue as a report-style list: seven columns, a state image per row,
// several rows selectable, nothing editable in place. It renders the queue
// (sync) and reports what the user does with the mouse; the window decides.
class QueueView : public QTreeWidget {
    Q_OBJECT
public:
    QueueView(TransferQueue& queue, const std::array<QString, 7>& captions, QWidget* parent = nullptr);

    TransferQueue& queue() { return queue_; }
    // Brings the items in line with the queue: order, texts, state images;
    // items keep their selection. scheduleSync() does it once on the next
    // turn of the event loop, however many changes come before.
    void sync();
    void scheduleSync();
    // The selected rows, in queue order.
    QList<RowRef> selectedRows() const;
    QSet<quint64> selectedIds() const;
    void selectRows(const QList<int>& indexes);

    static QIcon StateImage(RowState state);

signals:
    // A drop of local files from the desktop.
    void filesDropped(const QStringList& paths);
    // A drop of anything else: the selected rows go to the target row
    // (the row count below the last row).
    void rowsDropped(int target);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    TransferQueue& queue_;
    bool syncPending_ = false;
};

} // namespace corvid

#pragma once
#include "core/transfer/TransferQueue.h"

#include <QIcon>
#include <QSet>
#include <QTreeWidget>

#include <array>
#include <vector>

namespace corvid {

// One queue as a report-style list: seven columns, a state image per row,
// several rows selectable, nothing editable in place. It renders the queue
// (sync) and reports what the user does with the mouse; the window decides.
class QueueView : public QTreeWidget {
    Q_OBJECT
public:
    QueueView(TransferQueue& queue, const std::array<QString, 7>& captions, QWidget* parent = nullptr);
    ~QueueView() override;

    TransferQueue& queue() { return queue_; }
    // Brings the items in line with the queue: order, texts, state images;
    // items keep their selection. scheduleSync() does it on the next turn of
    // the event loop, however many changes come before; the items of many
    // new rows (a list of thousands) are made a slice per turn, so the
    // window keeps answering while they appear.
    void sync();
    void scheduleSync();
    // Whether the items show the queue as it is (no slice still to come).
    bool inLine() const { return !syncPending_ && !queueChanged_ && placed_ == size_t(queue_.Count()); }
    // The selected rows, in queue order.
    QList<RowRef> selectedRows() const;
    QSet<quint64> selectedIds() const;
    void selectRows(const QList<int>& indexes);

    static QIcon StateImage(RowState state);
    // Widens the size and byte columns where they are too narrow for the
    // longest text they have held, so that the size of a file of several
    // gigabytes reads whole. A narrower layout applied later is fitted
    // again by this.
    void fitNumberColumns();

signals:
    // A drop of local files and folders from the desktop.
    void filesDropped(const QStringList& paths);
    // A drop of anything else: the selected rows go to the target row
    // (the row count below the last row).
    void rowsDropped(int target);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    // A drag over the queue is accepted, whatever is dragged.
    void ListView2DragOver(QDragMoveEvent* event);

private:
    // One item and what it shows, so that a pass over the queue compares
    // texts it already holds instead of asking every item.
    struct Shown {
        quint64 id = 0;
        QTreeWidgetItem* item = nullptr;
        std::array<QString, QueueRow::kColumnCount> texts;
        RowState state = RowState::Unlisted;
    };

    // Brings the items in line; with a time limit, new items stop at it and
    // false says more are to come.
    bool bringInLine(qint64 limitNs);
    // Puts the items made but not yet in the widget into it.
    void place();
    void refresh(Shown& shown, const QueueRow& row);
    // Refreshes only the rows the queue names, when it says the rows shown
    // kept their places; false when a look at every row is needed.
    bool refreshTouched();
    // Every shown row against the queue: texts, states, rows gone or moved.
    void refreshAll();
    void noteNumber(int column, const QString& text);
    Shown makeShown(const QueueRow& row);
    // Rows from `from` on left the queue without the others moving: their
    // items go. False when that is not what happened.
    bool dropLeftRows(size_t from);
    // After rows changed places: every item once, the selection kept.
    void rebuild();
    void postStep();
    void syncStep();

    TransferQueue& queue_;
    std::vector<Shown> shown_;  // in the order of the items
    size_t placed_ = 0;         // how many of them are in the widget (the first ones)
    bool syncPending_ = false;
    bool queueChanged_ = false;  // since the last look at the shown rows
    quint64 changesMark_ = 0;    // of that look, for the queue
    std::array<QString, 2> widestNumber_;  // of the size and byte columns
};

} // namespace corvid

#pragma once
#include "core/protocol/ProtocolLevel.h"
#include "core/protocol/RunToggle.h"
#include "core/protocol/TCRFileRec.h"
#include "core/transfer/QueueRow.h"

#include <functional>
#include <memory>
#include <vector>

namespace corvid {

enum class QueueKind { Receive, Send };

// One of the two queues (files the peer offers / files we offer) and its
// start toggle. Rows are read and changed on the UI thread only; transfer
// threads see a row through its RowRef (queued flag and state, atomic) and
// the toggle through RunButton(). A removed row's RowRef answers "removed"
// without the row being touched.
class TransferQueue {
public:
    explicit TransferQueue(QueueKind kind);
    TransferQueue(const TransferQueue&) = delete;
    TransferQueue& operator=(const TransferQueue&) = delete;

    QueueKind Kind() const { return kind_; }
    int Count() const { return int(rows_.size()); }
    bool IsEmpty() const { return rows_.empty(); }
    const QueueRow& Row(int index) const { return *rows_.at(size_t(index)); }
    // Texts and states change through SetText and SetState, never on the
    // row itself: the view refreshes only the rows it is told of.
    QueueRow& Row(int index) { return *rows_.at(size_t(index)); }

    // Index of the row; -1 for none or a removed row.
    int IndexOf(const RowRef& row) const;
    // The row, or nullptr when it has been removed.
    QueueRow* Find(const RowRef& row);
    // Index of the row with that RowLink id; -1 if none.
    int IndexOfId(quint64 id) const;
    // First row whose name equals `name`, letter case ignored; -1 if none.
    int FindByName(const QString& name) const;
    // The row a peer's request names: the first row of that name whose size
    // text equals the grouped (64-bit) ContentLength, and that may be offered
    // at the session's protocol (below 2: no row of 2 GiB or more, none
    // inside a folder). Null when there is none.
    RowRef FindRequested(const QString& name, qint64 contentLength, int protocol = ProtocolLevel::kOriginal) const;

    // `modTime`: a receive row's listed modification time (-1: none).
    RowRef Append(const QString& name, const QString& sizeText, const QString& folder, RowState state,
                  qint64 modTime = -1);
    bool SetState(const RowRef& row, RowState state);
    bool SetText(const RowRef& row, int column, const QString& text);
    void RemoveAt(int index);
    bool Remove(const RowRef& row);
    void Clear();
    // Puts the rows in a new order: order[i] is the old index of the row
    // that goes to position i (a permutation of 0..Count()-1; anything else
    // is ignored).
    void Reorder(const std::vector<int>& order);
    // Removes every Done row; returns how many went.
    int ClearFinished();

    // The start toggle of this queue's direction ("受信開始" / "送信開始").
    std::shared_ptr<RunToggle> RunButton() const { return runButton_; }
    bool IsRunning() const { return runButton_->IsPressed(); }

    // A record for a transfer of the row: LocalPath (column 6 + name),
    // Entry (the name), ListItem, RunButton and (for the receive queue)
    // ExpectedSize from the size column, ExpectedTime from the listed
    // modification time and the folder the file must land in, the row's own
    // (column 6, fixed when the row was listed; the current RecvDir has no
    // say over it). Protocol is the claimer's to set. Null for a removed row.
    std::shared_ptr<TCRFileRec> MakeRecord(const RowRef& row) const;

    // Called after every change of rows or states (the view refreshes).
    void SetChangeHandler(std::function<void()> handler) { onChange_ = std::move(handler); }

    // What changed since a look: a change of one row's text or state then
    // costs the view that row, not a pass over thousands.
    struct Changes {
        // Give it back at the next look.
        quint64 mark = 0;
        // Rows left, moved or were too many to name (or someone else looked
        // in between): every row needs a look.
        bool full = true;
        // Otherwise the rows shown before keep their places, new rows follow
        // them, and these indexes are those whose texts or state changed.
        std::vector<int> touched;
    };
    // `lastMark`: the mark of the caller's previous look (0: none).
    Changes TakeChanges(quint64 lastMark);

    // While one lives, changes are told once, when the last one ends: a
    // merge of thousands of rows refreshes the view once, not per row.
    class ChangeBatch {
    public:
        explicit ChangeBatch(TransferQueue& q) : q_(q) { ++q_.batchDepth_; }
        ~ChangeBatch()
        {
            if (--q_.batchDepth_ == 0 && q_.batchedChange_) {
                q_.batchedChange_ = false;
                q_.Changed();
            }
        }
        ChangeBatch(const ChangeBatch&) = delete;
        ChangeBatch& operator=(const ChangeBatch&) = delete;

    private:
        TransferQueue& q_;
    };

private:
    void Changed();
    void Touched(int index);
    // Before rows leave or move: their indexes no longer hold.
    void Restructured();


    const QueueKind kind_;
    std::vector<std::unique_ptr<QueueRow>> rows_;
    quint64 nextId_ = 1;
    mutable size_t hint_ = 0;  // index IndexOf found last (UI thread only)
    std::shared_ptr<RunToggle> runButton_ = std::make_shared<RunToggle>();
    std::function<void()> onChange_;
    int batchDepth_ = 0;
    bool batchedChange_ = false;
    // Rows changed since the last look, once each (touchedFlag_ by index,
    // as long as rows_); none while restructured_.
    quint64 mark_ = 1;
    bool restructured_ = true;
    std::vector<int> touched_;
    std::vector<bool> touchedFlag_;
};

} // namespace corvid

#include "core/transfer/TransferQueue.h"

#include "core/settings/Conversions.h"

#include <algorithm>

namespace corvid {

namespace {
// Rows named one by one at most, besides a quarter of the queue: more make
// the view look at every row, which then costs about as much.
constexpr size_t kFewTouched = 64;
} // namespace

TransferQueue::TransferQueue(QueueKind kind) : kind_(kind) {}

int TransferQueue::IndexOf(const RowRef& row) const
{
    if (!row || !row->IsQueued())
        return -1;
    // Walks over the queue ask for the row found last or the one after it:
    // checking there first keeps a pass over 100,000 rows linear.
    for (const size_t i : {hint_, hint_ + 1}) {
        if (i < rows_.size() && rows_[i]->Ref() == row)
            return int(hint_ = i);
    }
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i]->Ref() == row)
            return int(hint_ = i);
    }
    return -1;
}

QueueRow* TransferQueue::Find(const RowRef& row)
{
    const int index = IndexOf(row);
    return index < 0 ? nullptr : rows_[size_t(index)].get();
}

int TransferQueue::IndexOfId(quint64 id) const
{
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i]->Ref()->Id() == id)
            return int(i);
    }
    return -1;
}

void TransferQueue::Reorder(const std::vector<int>& order)
{
    if (order.size() != rows_.size())
        return;
    std::vector<bool> seen(rows_.size(), false);
    for (int i : order) {
        if (i < 0 || size_t(i) >= rows_.size() || seen[size_t(i)])
            return;
        seen[size_t(i)] = true;
    }
    Restructured();
    std::vector<std::unique_ptr<QueueRow>> next;
    next.reserve(rows_.size());
    for (int i : order)
        next.push_back(std::move(rows_[size_t(i)]));
    rows_ = std::move(next);
    Changed();
}

int TransferQueue::FindByName(const QString& name) const
{
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i]->Name().compare(name, Qt::CaseInsensitive) == 0)
            return int(i);
    }
    return -1;
}

RowRef TransferQueue::FindRequested(const QString& name, qint64 contentLength, int protocol) const
{
    const int index = FindByName(name);
    if (index < 0)
        return {};
    const QueueRow& row = *rows_[size_t(index)];
    if (row.SizeText() != Conversions::FormatThousands(contentLength) || row.FitAt(protocol) != QueueRow::Fit::Yes)
        return {};
    return row.Ref();
}

RowRef TransferQueue::Append(const QString& name, const QString& sizeText, const QString& folder, RowState state,
                             qint64 modTime)
{
    auto link = std::make_shared<RowLink>(nextId_++, state);
    // At the end: the rows before keep their indexes, and the view adds
    // what follows the rows it shows.
    rows_.push_back(std::make_unique<QueueRow>(link, name, sizeText, folder, modTime));
    touchedFlag_.push_back(false);
    Changed();
    return link;
}

bool TransferQueue::SetState(const RowRef& row, RowState state)
{
    const int index = IndexOf(row);
    if (index < 0)
        return false;
    rows_[size_t(index)]->SetState(state);
    Touched(index);
    Changed();
    return true;
}

bool TransferQueue::SetText(const RowRef& row, int column, const QString& text)
{
    const int index = IndexOf(row);
    if (index < 0)
        return false;
    rows_[size_t(index)]->SetText(column, text);
    Touched(index);
    Changed();
    return true;
}

void TransferQueue::RemoveAt(int index)
{
    if (index < 0 || index >= Count())
        return;
    // Running transfers of the row see this before their next chunk.
    rows_[size_t(index)]->Ref()->MarkRemoved();
    Restructured();
    rows_.erase(rows_.begin() + index);
    touchedFlag_.pop_back();  // all clear
    Changed();
}

bool TransferQueue::Remove(const RowRef& row)
{
    const int index = IndexOf(row);
    if (index < 0)
        return false;
    RemoveAt(index);
    return true;
}

void TransferQueue::Clear()
{
    if (rows_.empty())
        return;
    for (const auto& r : rows_)
        r->Ref()->MarkRemoved();
    Restructured();
    rows_.clear();
    touchedFlag_.clear();
    Changed();
}

int TransferQueue::ClearFinished()
{
    int removed = 0;
    for (int i = Count() - 1; i >= 0; --i) {
        if (rows_[size_t(i)]->State() == RowState::Done) {
            if (removed == 0)
                Restructured();
            rows_[size_t(i)]->Ref()->MarkRemoved();
            rows_.erase(rows_.begin() + i);
            ++removed;
        }
    }
    if (removed > 0) {
        touchedFlag_.resize(rows_.size());  // all clear
        Changed();
    }
    return removed;
}

std::shared_ptr<TCRFileRec> TransferQueue::MakeRecord(const RowRef& row) const
{
    const int index = IndexOf(row);
    if (index < 0)
        return {};
    const QueueRow& r = *rows_[size_t(index)];
    auto rec = std::make_shared<TCRFileRec>();
    rec->LocalPath = r.LocalPath();
    rec->Entry = r.Name();
    rec->ListItem = row;
    rec->RunButton = runButton_;
    if (kind_ == QueueKind::Receive) {
        // The row's own folder (column 6, the receive folder when it was
        // listed): a later change of RecvDir moves only rows listed later.
        rec->ReceiveFolder = r.Folder();
        rec->ExpectedSize = r.Size();
        rec->ExpectedTime = r.ModTime();
    }
    return rec;
}

TransferQueue::Changes TransferQueue::TakeChanges(quint64 lastMark)
{
    Changes changes;
    // A look by anyone else in between took the rows this caller missed.
    changes.full = restructured_ || lastMark != mark_;
    for (const int i : touched_)
        touchedFlag_[size_t(i)] = false;
    if (!changes.full)
        changes.touched.swap(touched_);
    touched_.clear();
    restructured_ = false;
    changes.mark = ++mark_;
    return changes;
}

void TransferQueue::Touched(int index)
{
    if (restructured_ || touchedFlag_[size_t(index)])
        return;
    if (touched_.size() >= std::max(kFewTouched, rows_.size() / 4)) {
        Restructured();
        return;
    }
    touchedFlag_[size_t(index)] = true;
    touched_.push_back(index);
}

void TransferQueue::Restructured()
{
    for (const int i : touched_)
        touchedFlag_[size_t(i)] = false;
    touched_.clear();
    restructured_ = true;
}

void TransferQueue::Changed()
{
    if (batchDepth_ > 0) {
        batchedChange_ = true;
        return;
    }
    if (onChange_)
        onChange_();
}

} // namespace corvid

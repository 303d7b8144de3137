#include "core/transfer/TransferList.h"

#include <algorithm>
#include <utility>

namespace corvid {

int TransferList::IndexLocked(const RowRef& row) const
{
    if (!row)
        return -1;
    for (int i = int(records_.size()) - 1; i >= 0; --i) {
        if (records_[size_t(i)]->ListItem == row)
            return i;
    }
    return -1;
}

bool TransferList::NotInTransfer(const RowRef& row) const
{
    std::lock_guard lock(mutex_);
    return IndexLocked(row) < 0;
}

int TransferList::FindTransferIndex(const RowRef& row) const
{
    std::lock_guard lock(mutex_);
    return IndexLocked(row);
}

TransferList::Record TransferList::FindTransfer(const RowRef& row) const
{
    std::lock_guard lock(mutex_);
    const int index = IndexLocked(row);
    return index < 0 ? Record() : records_[size_t(index)];
}

bool TransferList::AddIfNotInTransfer(const Record& rec)
{
    if (!rec || !rec->ListItem)
        return false;
    std::lock_guard lock(mutex_);
    if (IndexLocked(rec->ListItem) >= 0)
        return false;
    records_.push_back(rec);
    return true;
}

bool TransferList::Remove(const Record& rec)
{
    std::lock_guard lock(mutex_);
    const auto it = std::find(records_.begin(), records_.end(), rec);
    if (it == records_.end())
        return false;
    records_.erase(it);
    return true;
}

int TransferList::Count() const
{
    std::lock_guard lock(mutex_);
    return int(records_.size());
}

TransferList::Record TransferList::At(int index) const
{
    std::lock_guard lock(mutex_);
    return index >= 0 && index < int(records_.size()) ? records_[size_t(index)] : Record();
}

QList<TransferList::Record> TransferList::Records() const
{
    std::lock_guard lock(mutex_);
    return QList<Record>(records_.begin(), records_.end());
}

TransferList::Claim TransferList::TryClaim(const Record& rec)
{
    if (!AddIfNotInTransfer(rec))
        return {};
    return Claim(*this, rec);
}

TransferList::Claim::Claim(TransferList& list, Record rec) : list_(&list), rec_(std::move(rec)) {}

TransferList::Claim::~Claim()
{
    Release();
}

TransferList::Claim::Claim(Claim&& other) noexcept
    : list_(std::exchange(other.list_, nullptr)), rec_(std::move(other.rec_))
{
}

TransferList::Claim& TransferList::Claim::operator=(Claim&& other) noexcept
{
    if (this != &other) {
        Release();
        list_ = std::exchange(other.list_, nullptr);
        rec_ = std::move(other.rec_);
    }
    return *this;
}

void TransferList::Claim::Release()
{
    if (list_)
        list_->Remove(rec_);
    list_ = nullptr;
}

} // namespace corvid

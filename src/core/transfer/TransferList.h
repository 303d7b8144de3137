#pragma once
#include "core/protocol/TCRFileRec.h"

#include <QList>

#include <memory>
#include <mutex>
#include <vector>

namespace corvid {

// The sending list or the receiving list: the records of the transfers now
// running in one direction. Shared by the UI thread and the transfer
// threads; every operation takes the list's lock, and the in-transfer test
// and the adding of a new record are one locked step, so a row never has
// two running transfers. Records are shared, so a progress display holding
// one never sees it freed under it.
class TransferList {
public:
    using Record = std::shared_ptr<TCRFileRec>;

    TransferList() = default;
    TransferList(const TransferList&) = delete;
    TransferList& operator=(const TransferList&) = delete;

    // True when no record refers to the row.
    bool NotInTransfer(const RowRef& row) const;
    // Index of the last record that refers to the row; -1 when there is
    // none or no row is given.
    int FindTransferIndex(const RowRef& row) const;
    // That record, or null.
    Record FindTransfer(const RowRef& row) const;

    // Adds the record unless its row is already in transfer. False (and
    // nothing added) when it is, or when the record has no row.
    bool AddIfNotInTransfer(const Record& rec);
    bool Remove(const Record& rec);

    int Count() const;
    Record At(int index) const;
    QList<Record> Records() const;

    // Holds a record in the list for one transfer and takes it out at the
    // end of the scope, whatever the outcome.
    class Claim {
    public:
        Claim() = default;
        Claim(TransferList& list, Record rec);
        ~Claim();
        Claim(Claim&& other) noexcept;
        Claim& operator=(Claim&& other) noexcept;
        Claim(const Claim&) = delete;
        Claim& operator=(const Claim&) = delete;
        explicit operator bool() const { return list_ != nullptr; }
        const Record& record() const { return rec_; }
        void Release();

    private:
        TransferList* list_ = nullptr;
        Record rec_;
    };
    // The claim is empty when the row is already in transfer.
    Claim TryClaim(const Record& rec);

private:
    int IndexLocked(const RowRef& row) const;

    mutable std::mutex mutex_;
    std::vector<Record> records_;
};

} // namespace corvid

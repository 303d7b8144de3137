#pragma once
#include "core/protocol/RowState.h"

#include <QtGlobal>

#include <atomic>
#include <memory>

namespace corvid {

// What a transfer thread may know of its queue row: whether the row is still
// in its queue and the row's state. The queue (UI thread) keeps these atomic
// mirrors up to date; the copy loop reads them before every chunk. A holder
// of a removed row keeps only this small object alive, never the row.
class RowLink {
public:
    explicit RowLink(quint64 id, RowState state = RowState::Waiting)
        : id_(id), state_(static_cast<int>(state)) {}
    RowLink(const RowLink&) = delete;
    RowLink& operator=(const RowLink&) = delete;

    quint64 Id() const { return id_; }
    bool IsQueued() const { return queued_.load(std::memory_order_acquire); }
    RowState State() const { return static_cast<RowState>(state_.load(std::memory_order_acquire)); }

    // Queue only.
    void SetState(RowState s) { state_.store(static_cast<int>(s), std::memory_order_release); }
    void MarkRemoved() { queued_.store(false, std::memory_order_release); }

private:
    const quint64 id_;
    std::atomic<bool> queued_{true};
    std::atomic<int> state_;
};

// A reference to a queue row that can tell a removed row without touching it.
using RowRef = std::shared_ptr<RowLink>;

} // namespace corvid

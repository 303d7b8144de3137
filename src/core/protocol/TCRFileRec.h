#pragma once
#include "core/protocol/CopyObserver.h"
#include "core/protocol/RowLink.h"
#include "core/protocol/RunToggle.h"

#include <QString>

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <mutex>

namespace corvid {

// One running file transfer. The creator fills LocalPath, ListItem,
// RunButton, StartPosition and ExpectedSize before the record is published
// in a transfer list; after that only the carrying thread writes DoneBytes
// and the chunk count, and any thread may read them.
class TCRFileRec {
public:
    // Seven-step thread priority scale.
    enum Priority { Idle = 0, Lowest = 1, Lower = 2, Normal = 3, Higher = 4, Highest = 5, TimeCritical = 6 };

    TCRFileRec() = default;
    TCRFileRec(const TCRFileRec&) = delete;
    TCRFileRec& operator=(const TCRFileRec&) = delete;

    QString LocalPath;                       // entry folder + entry name
    std::atomic<qint64> DoneBytes{0};
    std::shared_ptr<const RunToggle> RunButton;
    qint64 StartPosition = 0;                // sends: offset the peer asked for
    RowRef ListItem;
    qint64 ExpectedSize = -1;                // receptions: size column of the entry
    CopyObserver* Observer = nullptr;        // optional trace of the copy loop

    // DoneBytes plus the bytes of a chunk in flight.
    qint64 GetTransferred() const;

    // The chunk a reception is filling: bytes received into it so far.
    void SetChunk(qint64 filled) { chunk_.store(filled, std::memory_order_relaxed); }
    void ClearChunk() { chunk_.store(-1, std::memory_order_relaxed); }
    bool HasChunk() const { return chunk_.load(std::memory_order_relaxed) >= 0; }

    // The stop test's first three conditions: the row is still queued, its
    // state is Transferring and the run toggle is pressed.
    bool MayContinue() const;

    // CarrierThread: the kernel thread id of the thread carrying a reception
    // (0 = none). SetTransferPriority needs it.
    void AdoptCurrentThread();
    void SetCarrierThread(pid_t tid);
    pid_t CarrierThread() const;
    // Gives the carrier back the priority it had when adopted and forgets it,
    // so that a later slow-down cannot hit a thread that carries something
    // else by then.
    void ReleaseCarrierThread();

    // Sets the carrier's scheduling priority on the seven-step scale. False
    // without a carrier, for a step outside 0..6, or when the system refuses
    // (a refused raise is not an error for the callers).
    bool SetTransferPriority(int priority);
    static int NiceForPriority(int priority);

private:
    std::atomic<qint64> chunk_{-1};
    mutable std::mutex carrierMutex_;
    pid_t carrier_ = 0;
    int carrierNice_ = 0;    // nice value at adoption
    bool niceChanged_ = false;
};

} // namespace corvid

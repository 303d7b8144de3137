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

class FileDigest;

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
    QString Entry;                           // the row's name: a bare name, at protocol 2 also "a/b/c.txt"
    int Protocol = 1;                        // the session's protocol number at the claim
    qint64 ExpectedTime = -1;                // receptions at protocol 2: the listed modification time, -1 none
    QString ReceiveFolder;                   // receptions: LocalPath must lie directly in it
    std::atomic<qint64> DoneBytes{0};
    std::shared_ptr<const RunToggle> RunButton;
    qint64 StartPosition = 0;                // sends: offset the peer asked for
    RowRef ListItem;
    qint64 ExpectedSize = -1;                // receptions: size column of the entry
    CopyObserver* Observer = nullptr;        // optional trace of the copy loop
    FileDigest* Digest = nullptr;            // protocol 2: fed every byte the copy loop moves

    // DoneBytes plus the bytes of a chunk in flight. Never goes backwards
    // while the carrier only moves forward.
    qint64 GetTransferred() const;

    // A reception's live count: the file's size plus the bytes of the chunk
    // being filled. Only the carrying thread sets it, and sets DoneBytes
    // before lowering it, so that GetTransferred never sees a dip between a
    // chunk's end and its write.
    void SetLive(qint64 total) { live_.store(total, std::memory_order_release); }
    void ClearLive() { live_.store(-1, std::memory_order_release); }

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
    // else by then. False when the old priority could not be restored (a
    // raise refused without privileges); the carrier is forgotten anyway.
    bool ReleaseCarrierThread();

    // Sets the carrier's scheduling priority on the seven-step scale. False
    // without a carrier, for a step outside 0..6, or when the system refuses
    // (raising a lowered thread needs privileges; callers may ignore that
    // refusal, the thread then keeps running at the lower priority).
    bool SetTransferPriority(int priority);
    static int NiceForPriority(int priority);

private:
    std::atomic<qint64> live_{-1};
    mutable std::mutex carrierMutex_;
    pid_t carrier_ = 0;
    int carrierNice_ = 0;    // nice value at adoption
    bool niceChanged_ = false;
};

} // namespace corvid

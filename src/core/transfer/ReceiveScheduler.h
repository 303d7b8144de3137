#pragma once
#include "core/base/Liveness.h"
#include "core/protocol/RowLink.h"
#include "core/transfer/ITransferEventObserver.h"
#include "core/transfer/TransferList.h"

#include <QString>

#include <atomic>
#include <vector>

namespace corvid {

class IReceptionStarter;
class TransferCenter;

// The receive side's scheduler: the two cursors over the receive queue,
// the once-a-second tick of "受信開始" and the start of each reception
// (a worker in the client role, a request on the session connection in the
// server role). A reception that ends runs the next step at once, and a
// cursor that moves onto a row it may start starts it in the same step, so
// a queue of small files is not paced by the clock.
//
// It reads "優先受信" and releases "受信開始" through the center's window,
// writes the server role's requests through the center's session, and is
// one of the center's event observers.
//
// Threads: UI thread only, but ReceptionEnded(), which any thread may call.
class ReceiveScheduler : public ITransferEventObserver {
public:
    // `starter`: who starts a client-role reception; the center when null.
    explicit ReceiveScheduler(TransferCenter& center, IReceptionStarter* starter = nullptr);
    ~ReceiveScheduler() override;
    ReceiveScheduler(const ReceiveScheduler&) = delete;
    ReceiveScheduler& operator=(const ReceiveScheduler&) = delete;

    // The priority limit in bytes: rows strictly below it qualify.
    qint64 PriorityLimit() const;
    // Moves the cursor to the next row it may take (limit 0: the normal
    // cursor's rule; above 0: rows below that size; below 0: none) and says
    // whether it rests on one. Failed rows it passes become Stopped.
    bool AdvanceCursor(RowRef& cursor, qint64 limit);
    // Every Stopped or New row of the receive queue waits again.
    void ResetStoppedRows();

    // "受信開始" went down or up (after the toggle): the cursors start over.
    void ReceiveToggled(bool pressed);
    // "優先受信" went down or up.
    void PriorityToggled(bool pressed);
    // Timer2: one scheduler step every 1000 ms while "受信開始" is pressed.
    void Timer2Timer();
    // Server role: asks the peer to push the row's file. False (and code 10
    // reported) when the request cannot be written.
    bool RequestReceive(const RowRef& row);

    // A reception ended (its row update is done): the next step runs as soon
    // as the UI thread is free, without waiting for the tick. Calls that
    // come together make one step. Any thread. Result codes 9 and 10 reach
    // it by themselves: the scheduler observes the center's events.
    void ReceptionEnded();
    void transferEvent(int code, const QString& name) override;

    // The priority slow-down of a reception of `row` (either role): when
    // `row` is the priority cursor's and the normal cursor's row is being
    // received on a known thread, that record is lowered (priority 2) and
    // returned; give it to RestoreNormal when the reception ends. UI thread.
    static TransferList::Record SlowDownNormal(TransferCenter& center, const RowRef& row);
    static void RestoreNormal(const TransferList::Record& partner);

private:
    enum class StepKind { Tick, Immediate };
    void Step(StepKind kind);
    void Serve(RowRef& cursor, qint64 limit, StepKind kind);
    void Start(const RowRef& row);
    bool PriorityPressed() const;
    bool PriorityPassRuns() const;
    void NotifyOwnFailure(const QString& name);

    TransferCenter& center_;
    IReceptionStarter& starter_;
    std::vector<RowRef> startedThisStep_;  // a row starts once per step
    bool ownFailure_ = false;              // our own code 10 is no reception's end
    std::atomic<bool> stepPosted_{false};
    Liveness alive_;  // posted steps and write completions run only while it lives
};

} // namespace corvid

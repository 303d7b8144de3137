#pragma once
#include "core/protocol/HeaderBlock.h"
#include "core/protocol/RowLink.h"
#include "core/protocol/TransferOutcome.h"

#include <QString>

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>

namespace corvid {

class TcpConnection;
class TransferCenter;

// One file transfer from the claim of its row to the final row step, the
// same for the four ways a file moves: the connecting side's push (job 22)
// and fetch (job 32) on a worker, the listening side's serve (a pull) and
// accept (a push) on the accepted connection's thread.
//
// Called on the thread that carries the transfer:
// - Claim() names this thread as the carrier of the connection
//   (FindConnectionThread) and runs a step on the UI thread and waits: it
//   finds the row, makes the record (a reception's CarrierThread is the
//   connection's), puts it in its transfer list (one step with the
//   in-transfer test), marks the row and reports the start; a priority
//   reception slows the normal one down. The wait gives up only on shutdown, or when
//   `giveUp` says so before the step has begun (a listening thread passes
//   "my connection was shut", so that the server can be stopped).
// - Transfer() runs the engine on the calling thread.
// - Finish() (or the destructor) posts the final step to the UI thread and
//   returns at once: row state, progress, the result's log line, the
//   restore of a slowed normal reception, and last the release of the
//   claim, so that no new transfer of the row starts before the old one's
//   row step. Nothing of it depends on the connection or on this object,
//   so it runs however late the UI thread is; it is dropped only once the
//   hand-over's shutdown has begun (the claim is then released where the
//   step is dropped).
class TransferRun {
public:
    enum class Flow { Push, Fetch, Serve, Accept };

    // The row a transfer is about: a worker has it; the listening side
    // finds it by the request's file name and ContentLength.
    struct Request {
        RowRef row;
        QString fileName;
        qint64 contentLength = -1;
        std::optional<qint64> start;  // the request's StartPosition (not for a fetch)
    };

    TransferRun(TransferCenter& center, Flow flow);
    ~TransferRun();  // Finish() when claimed
    TransferRun(const TransferRun&) = delete;
    TransferRun& operator=(const TransferRun&) = delete;

    // False when nothing was claimed: no such row, another size, the row
    // is already in transfer, or the wait gave up. Nothing is to be
    // answered then.
    bool Claim(const Request& request, const TcpConnection& carried, const std::function<bool()>& giveUp);
    // The engine's copy of the claimed file; `pushed` is block M (Accept).
    TransferOutcome Transfer(TcpConnection& c, const HeaderBlock* pushed = nullptr);
    // Posts the final step once; later calls do nothing.
    void Finish();

    // Valid after the transfer: result code 6/7 or 9/10 and the file name.
    int ResultCode() const;
    QString FileName() const;

private:
    struct State;
    void claimStep(const Request& request, const TcpConnection& carried);
    void leaveConnection();

    TransferCenter& center_;
    const Flow flow_;
    std::shared_ptr<State> state_;  // handed to the final step by Finish()
    bool ok_ = false;               // kept from the state once it is handed over
    QString name_;
    const TcpConnection* carried_ = nullptr;  // while this thread carries it
    pid_t carrier_ = 0;
};

} // namespace corvid

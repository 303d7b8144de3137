#pragma once
#include "core/base/ThreadOwner.h"
#include "core/protocol/HeaderBlock.h"
#include "core/transfer/FileListText.h"
#include "core/transfer/IReceptionStarter.h"
#include "core/transfer/ReceiveSchedule.h"
#include "core/transfer/TransferModel.h"

#include <QString>

#include <sys/types.h>

#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace corvid {

class AppSettings;
class ILogSink;
class TcpConnection;
class TClientThread;
class UiHandOver;

class ISessionLink;
class ITransferEventObserver;
class ITransferWindow;

// The transfer side of one program instance: both queues and both lists of
// running transfers, the receive scheduling state and the worker threads.
// Owned by the TransferSide and handed to the transfer window and to
// whatever serves transfers; nothing of it is process-wide.
//
// Threads: queues, schedule, the session, the window and the observers
// belong to the UI thread; the lists and FindConnectionThread may be used
// from any thread. A transfer's row steps reach the UI thread through its
// TransferRun: the claim waits, the final step is posted.
class TransferCenter : public IReceptionStarter {
public:
    TransferCenter(AppSettings& settings, ILogSink& log, UiHandOver& handOver);
    ~TransferCenter() override;
    TransferCenter(const TransferCenter&) = delete;
    TransferCenter& operator=(const TransferCenter&) = delete;

    TransferQueue& receiveQueue() { return model_.receiveQueue; }
    TransferQueue& sendQueue() { return model_.sendQueue; }
    TransferList& receivingList() { return model_.receivingList; }
    TransferList& sendingList() { return model_.sendingList; }
    ReceiveSchedule& schedule() { return schedule_; }
    AppSettings& settings() { return settings_; }
    ILogSink& log() { return log_; }
    UiHandOver& handOver() { return handOver_; }

    // The session and the window it works with; null (the default): none,
    // so nothing is connected and nobody is told. Each must outlive its
    // registration.
    void setSession(ISessionLink* session) { session_ = session; }
    ISessionLink* session() const { return session_; }
    void setWindow(ITransferWindow* window) { window_ = window; }
    ITransferWindow* window() const { return window_; }
    // Told of every result code before it is acted on, in the order they
    // were added.
    void addEventObserver(ITransferEventObserver* observer);
    void removeEventObserver(ITransferEventObserver* observer);

    bool Connected() const;
    bool ServerRole() const;
    // The session's protocol number; the original one without a session.
    // Any thread.
    int ProtocolNumber() const;
    // The session's write (ISessionLink::sendOnSession); false without a
    // session.
    bool SendOnSession(QByteArray wire, std::function<void(bool ok)> done);

    // Lookups.
    static bool NotInTransfer(const RowRef& row, const TransferList& list) { return list.NotInTransfer(row); }
    static int FindTransferIndex(const RowRef& row, const TransferList& list) { return list.FindTransferIndex(row); }
    // The kernel thread id of the thread carrying a transfer on
    // `connection` (the last one that claimed a row on it), 0 when none
    // does. Any thread.
    pid_t FindConnectionThread(const TcpConnection* connection) const;
    // A TransferRun's carrying thread, from its claim until it finishes.
    void AddConnectionThread(const TcpConnection* connection, pid_t thread);
    void RemoveConnectionThread(const TcpConnection* connection, pid_t thread);
    // The record of the normal reception that a priority reception of `row`
    // slows down: set when `row` is the priority cursor's row and the normal
    // cursor's row is being received on a known thread; else null.
    TransferList::Record NormalReceptionToSlow(const RowRef& row) const;
    TransferList& ListFor(const TransferQueue& queue);

    // Columns 2 to 5 of the row from the last record of its list that
    // refers to it. Without a row or a record, nothing.
    void RefreshProgress(TransferQueue& queue, const RowRef& row);
    // Reacts to a result code: the observers are told, then a log line by
    // the event table, or (code 2) the window's list-arrival reaction.
    void NotifyTransferEvent(int code, const QString& name);
    // How a received list merges now (RecvDir, AutoAccept, the session's
    // protocol), with its refusals told as system lines. UI thread.
    MergeOptions ListMergeOptions();
    // The row update after a worker's transfer (kinds 22 and 32): nothing for
    // a row that left its queue; else progress, then the end state.
    void UpdateRowAfterTransfer(int kind, const RowRef& row, bool ok);

    // "リスト送信": builds the list at the session's protocol (Unlisted rows
    // wait; rows an original peer cannot take are left out), then the client role
    // pushes it with a worker and the server role announces it on the
    // session connection. An empty send queue logs "ファイルリスト作成失敗".
    void SendList();
    // "リスト受信": a worker fetches the peer's list (client role), or the
    // peer is asked to push it (server role).
    void RequestList();

    // Starts a worker (client role): host and port of the session's peer.
    // False when no peer is known, shutdown has begun, or the request is
    // already in hand (Requested).
    bool StartWorker(int kind, const QString& argument = {}, const RowRef& row = {});
    // A file job (22, 32) whose row is in transfer or has a worker started
    // for it, or a list fetch (31) with a worker running: a repeated request
    // of the peer or of the scheduler needs no second worker.
    bool Requested(int kind, const RowRef& row = {});
    bool StartWorkerTo(const QString& host, quint16 port, int kind, const QString& argument = {},
                       const RowRef& row = {});
    // The scheduler's start of a reception in the client role: a kind 32
    // worker for the row.
    void startReception(const RowRef& row) override;
    int WorkerCount() const;

    // Begins the hand-over's shutdown (hand-overs the workers wait on then
    // answer "not done"; posted steps are dropped), then ends every worker:
    // stops its transfer before the next chunk (its connection is shut
    // down) and joins it. UI thread, before windows and lists go; the owner
    // may have begun the hand-over's shutdown already.
    void Shutdown();
    bool ShuttingDown() const;

private:
    void sendOnSession(const HeaderBlock& block, int failureCode);

    AppSettings& settings_;
    ILogSink& log_;
    UiHandOver& handOver_;
    TransferModel model_;
    ReceiveSchedule schedule_;
    ISessionLink* session_ = nullptr;
    ITransferWindow* window_ = nullptr;
    std::vector<ITransferEventObserver*> observers_;

    mutable std::mutex carriersMutex_;
    std::vector<std::pair<const TcpConnection*, pid_t>> carriers_;  // in order of their claims

    // The workers in hand (kind and row fixed), for Requested().
    mutable std::mutex workersMutex_;
    std::vector<const TClientThread*> running_;
    ThreadOwner workers_;  // last: joined before the members above go
};

} // namespace corvid

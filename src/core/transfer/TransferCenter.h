#pragma once
#include "core/protocol/HeaderBlock.h"
#include "core/transfer/FileListText.h"
#include "core/transfer/ReceiveSchedule.h"
#include "core/transfer/TransferModel.h"

#include <QString>

#include <sys/types.h>

#include <functional>
#include <list>
#include <memory>
#include <mutex>

namespace corvid {

class AppSettings;
class ILogSink;
class TcpConnection;
class TClientThread;
class UiHandOver;

// What the transfer side needs to know of the session. Set by the main
// window; every function is called on the UI thread.
struct PeerAccess {
    // Server role: a session connection exists; client role: connected.
    std::function<bool()> connected;
    std::function<bool()> serverRole;
    // Client role: where transfer connections go (the session's peer).
    std::function<bool(QString& host, quint16& port)> clientPeer;
    // Server role: the kernel thread id serving an accepted connection
    // (FindConnectionThread), 0 when there is none.
    std::function<pid_t(const TcpConnection*)> connectionThread;
    // Server role: the session connection, or null.
    std::function<std::shared_ptr<TcpConnection>()> serverSession;
    // Server role: queues bytes for the session connection, written off the
    // UI thread; false when there is no session connection. `done` runs on
    // the UI thread.
    std::function<bool(QByteArray wire, std::function<void(bool ok)> done)> sendOnSession;
};

// The transfer side of one program instance: both queues and both lists of
// running transfers, the receive scheduling state and the worker threads.
// Owned by the main window and handed to the transfer window and to
// whatever serves transfers; nothing of it is process-wide.
//
// Threads: queues, schedule and the hooks belong to the UI thread; the
// lists may be used from any thread. A transfer's row steps reach the UI
// thread through its TransferRun: the claim waits, the final step is
// posted.
class TransferCenter {
public:
    TransferCenter(AppSettings& settings, ILogSink& log, UiHandOver& handOver);
    ~TransferCenter();
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

    void setPeer(PeerAccess peer) { peer_ = std::move(peer); }
    bool Connected() const;
    bool ServerRole() const;

    // Lookups.
    static bool NotInTransfer(const RowRef& row, const TransferList& list) { return list.NotInTransfer(row); }
    static int FindTransferIndex(const RowRef& row, const TransferList& list) { return list.FindTransferIndex(row); }
    pid_t FindConnectionThread(const TcpConnection* connection) const;
    // The record of the normal reception that a priority reception of `row`
    // slows down: set when `row` is the priority cursor's row and the normal
    // cursor's row is being received on a known thread; else null.
    TransferList::Record NormalReceptionToSlow(const RowRef& row) const;
    TransferList& ListFor(const TransferQueue& queue);

    // Columns 2 to 5 of the row from the last record of its list that
    // refers to it. Without a row or a record, nothing.
    void RefreshProgress(TransferQueue& queue, const RowRef& row);
    // Reacts to a result code: a log line by the event table, or (code 2)
    // the list-arrival reaction the window installs.
    void NotifyTransferEvent(int code, const QString& name);
    // How a received list merges now (RecvDir, AutoAccept), with its
    // refusals told as system lines. UI thread.
    MergeOptions ListMergeOptions();
    void setListArrivalHandler(std::function<void()> handler) { listArrival_ = std::move(handler); }
    // Told of every result code before it is acted on (diagnostics, tests).
    void setEventObserver(std::function<void(int, const QString&)> fn) { eventObserver_ = std::move(fn); }
    // The row update after a worker's transfer (kinds 22 and 32): nothing for
    // a row that left its queue; else progress, then the end state.
    void UpdateRowAfterTransfer(int kind, const RowRef& row, bool ok);

    // "リスト送信": builds the list (Unlisted rows wait), then the client role
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
    // A worker whose job is given whole (kind 40, the update check): it
    // connects by itself and reports when the job asks for it.
    bool StartCustomWorker(int kind, std::function<bool(TClientThread&)> job);
    int WorkerCount();

    // Ends every worker: stops its transfer before the next chunk (its
    // connection is shut down), and joins it. Call after the hand-over's
    // shutdown began, on the UI thread, before windows and lists go.
    void Shutdown();
    bool ShuttingDown() const;

private:
    void sendOnSession(const HeaderBlock& block, int failureCode);
    void reapFinished();
    bool startOwned(std::unique_ptr<TClientThread> worker);

    AppSettings& settings_;
    ILogSink& log_;
    UiHandOver& handOver_;
    TransferModel model_;
    ReceiveSchedule schedule_;
    PeerAccess peer_;
    std::function<void()> listArrival_;
    std::function<void(int, const QString&)> eventObserver_;

    mutable std::mutex workersMutex_;
    bool shutdown_ = false;
    std::list<std::unique_ptr<TClientThread>> workers_;
};

} // namespace corvid

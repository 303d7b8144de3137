#include "core/transfer/TransferCenter.h"

#include "core/protocol/FileListExchange.h"
#include "core/protocol/TransferResultCode.h"
#include "core/protocol/Transport.h"
#include "core/session/ILogSink.h"
#include "core/session/UiHandOver.h"
#include "core/settings/AppSettings.h"
#include "core/transfer/FileListText.h"
#include "core/transfer/ProgressColumns.h"
#include "core/transfer/RowTransitions.h"
#include "core/transfer/TClientThread.h"
#include "core/transfer/TransferEvents.h"
#include "core/transfer/TransferTexts.h"

#include <algorithm>

namespace corvid {

TransferCenter::TransferCenter(AppSettings& settings, ILogSink& log, UiHandOver& handOver)
    : settings_(settings)
    , log_(log)
    , handOver_(handOver)
{
}

TransferCenter::~TransferCenter()
{
    Shutdown();
}

bool TransferCenter::Connected() const
{
    return peer_.connected && peer_.connected();
}

bool TransferCenter::ServerRole() const
{
    return peer_.serverRole && peer_.serverRole();
}

pid_t TransferCenter::FindConnectionThread(const TcpConnection* connection) const
{
    return connection && peer_.connectionThread ? peer_.connectionThread(connection) : 0;
}

TransferList& TransferCenter::ListFor(const TransferQueue& queue)
{
    return queue.Kind() == QueueKind::Receive ? model_.receivingList : model_.sendingList;
}

void TransferCenter::RefreshProgress(TransferQueue& queue, const RowRef& row)
{
    QueueRow* r = queue.Find(row);
    if (!r)
        return;
    const TransferList::Record rec = ListFor(queue).FindTransfer(row);
    if (!rec)
        return;
    ProgressTexts cols{r->Text(QueueRow::ColDone), r->Text(QueueRow::ColPercent), r->Text(QueueRow::ColTime),
                       r->Text(QueueRow::ColSpeed)};
    ProgressColumns::Refresh(r->SizeText(), cols, rec->GetTransferred());
    const QString texts[4] = {cols.done, cols.percent, cols.time, cols.speed};
    bool changed = false;
    for (int i = 0; i < 4; ++i) {
        if (r->Text(QueueRow::ColDone + i) != texts[i]) {
            r->SetText(QueueRow::ColDone + i, texts[i]);
            changed = true;
        }
    }
    if (changed)  // one change for the four columns
        queue.SetText(row, QueueRow::ColDone, texts[0]);
}

void TransferCenter::NotifyTransferEvent(int code, const QString& name)
{
    if (eventObserver_)
        eventObserver_(code, name);
    if (code == RcListArrived) {
        if (listArrival_)
            listArrival_();
        return;
    }
    if (auto line = TransferEvents::LogLine(code, name, settings_.MessageFlags, model_.sendQueue.IsRunning()))
        log_.AddLogLine(*line, LineSys);
}

MergeOptions TransferCenter::ListMergeOptions()
{
    MergeOptions options;
    options.receiveFolder = settings_.RecvDir;
    options.autoAccept = settings_.AutoAccept;
    options.log = &log_;
    return options;
}

TransferList::Record TransferCenter::NormalReceptionToSlow(const RowRef& row) const
{
    const ReceiveSchedule& s = schedule_;
    // Both cursors on one row: it is received once, and not slowed by itself.
    if (!row || s.PriorityCursor != row || !s.NormalCursor || s.NormalCursor == row)
        return {};
    TransferList::Record rec = model_.receivingList.FindTransfer(s.NormalCursor);
    return rec && rec->CarrierThread() > 0 ? rec : TransferList::Record();
}

void TransferCenter::UpdateRowAfterTransfer(int kind, const RowRef& row, bool ok)
{
    TransferQueue& queue = kind == TClientThread::SendFile ? model_.sendQueue : model_.receiveQueue;
    QueueRow* r = queue.Find(row);
    if (!r)
        return;
    RefreshProgress(queue, row);
    const RowState next = kind == TClientThread::SendFile
        ? RowTransitions::SendEnded(ok)
        : RowTransitions::ReceptionEnded(r->State(), ok, model_.receiveQueue.IsRunning());
    queue.SetState(row, next);
}

void TransferCenter::SendList()
{
    QByteArray stream;
    if (!FileListText::BuildFileListStream(model_.sendQueue, stream)) {
        log_.AddLogLine(TransferTexts::ListNotBuilt(), LineSys);
        return;
    }
    if (!ServerRole()) {
        StartWorker(21);
        return;
    }
    HeaderBlock notice;
    Header::MakeSendHeader(notice, kTokenBare, "FileList", stream.size());
    sendOnSession(notice, RcListNotSent);
}

void TransferCenter::sendOnSession(const HeaderBlock& block, int failureCode)
{
    // A peer that stops reading holds the session's writer, never the UI.
    QByteArray wire;
    const auto failed = [this, failureCode](bool ok) {
        if (!ok)
            NotifyTransferEvent(failureCode, {});
    };
    if (!Transport::EncodeHeader(block, wire) || !peer_.sendOnSession || !peer_.sendOnSession(wire, failed))
        NotifyTransferEvent(failureCode, {});
}

void TransferCenter::RequestList()
{
    if (!ServerRole()) {
        StartWorker(31);
        return;
    }
    HeaderBlock request;
    Header::MakeRecvHeader(request, kTokenBare, "FileList");
    sendOnSession(request, RcListNotReceived);
}

bool TransferCenter::StartWorker(int kind, const QString& argument, const RowRef& row)
{
    if (Requested(kind, row))
        return false;
    QString host;
    quint16 port = 0;
    if (!peer_.clientPeer || !peer_.clientPeer(host, port))
        return false;
    return StartWorkerTo(host, port, kind, argument, row);
}

bool TransferCenter::StartWorkerTo(const QString& host, quint16 port, int kind, const QString& argument,
                                   const RowRef& row)
{
    return startOwned(std::make_unique<TClientThread>(*this, kind, argument, row, host, port));
}

bool TransferCenter::StartCustomWorker(int kind, std::function<bool(TClientThread&)> job)
{
    auto worker = std::make_unique<TClientThread>(*this, kind, QString(), RowRef(), QString(), quint16(0));
    worker->setCustomJob(std::move(job));
    return startOwned(std::move(worker));
}

bool TransferCenter::startOwned(std::unique_ptr<TClientThread> worker)
{
    reapFinished();
    std::lock_guard lock(workersMutex_);
    if (shutdown_ || handOver_.shuttingDown())
        return false;
    worker->Start();
    workers_.push_back(std::move(worker));
    return true;
}

bool TransferCenter::Requested(int kind, const RowRef& row)
{
    // A file row in transfer holds its claim until its final row step, also
    // after its worker has ended.
    if (kind == TClientThread::SendFile && !model_.sendingList.NotInTransfer(row))
        return true;
    if (kind == TClientThread::FetchFile && !model_.receivingList.NotInTransfer(row))
        return true;
    if (kind != TClientThread::SendFile && kind != TClientThread::FetchFile && kind != TClientThread::FetchList)
        return false;
    reapFinished();
    std::lock_guard lock(workersMutex_);
    return std::any_of(workers_.begin(), workers_.end(), [&](const std::unique_ptr<TClientThread>& w) {
        return !w->Finished() && w->Kind == kind && (kind == TClientThread::FetchList || w->Row == row);
    });
}

int TransferCenter::WorkerCount()
{
    reapFinished();
    std::lock_guard lock(workersMutex_);
    return int(workers_.size());
}

void TransferCenter::reapFinished()
{
    std::list<std::unique_ptr<TClientThread>> done;
    {
        std::lock_guard lock(workersMutex_);
        for (auto it = workers_.begin(); it != workers_.end();) {
            if ((*it)->Finished()) {
                done.push_back(std::move(*it));
                it = workers_.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Joined outside the lock; their threads have already returned.
}

void TransferCenter::Shutdown()
{
    std::list<std::unique_ptr<TClientThread>> all;
    {
        std::lock_guard lock(workersMutex_);
        shutdown_ = true;
        all.swap(workers_);
    }
    for (auto& w : all)
        w->Stop();
    // Hand-overs the workers wait on answer "not done" once the hand-over's
    // shutdown has begun; the owner starts it before calling this.
    handOver_.beginShutdown();
    all.clear();  // joins
}

bool TransferCenter::ShuttingDown() const
{
    std::lock_guard lock(workersMutex_);
    return shutdown_;
}

} // namespace corvid

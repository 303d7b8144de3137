#include "core/transfer/TransferCenter.h"

#include "core/protocol/FileListExchange.h"
#include "core/protocol/ProtocolLevel.h"
#include "core/protocol/TransferResultCode.h"
#include "core/protocol/Transport.h"
#include "core/session/ILogSink.h"
#include "core/session/UiHandOver.h"
#include "core/settings/AppSettings.h"
#include "core/transfer/FileListText.h"
#include "core/transfer/ISessionLink.h"
#include "core/transfer/ITransferEventObserver.h"
#include "core/transfer/ITransferWindow.h"
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

void TransferCenter::addEventObserver(ITransferEventObserver* observer)
{
    if (observer && std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
        observers_.push_back(observer);
}

void TransferCenter::removeEventObserver(ITransferEventObserver* observer)
{
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

bool TransferCenter::Connected() const
{
    return session_ && session_->connected();
}

bool TransferCenter::ServerRole() const
{
    return session_ && session_->serverRole();
}

int TransferCenter::ProtocolNumber() const
{
    return session_ ? session_->protocolNumber() : ProtocolLevel::kOriginal;
}

bool TransferCenter::SendOnSession(QByteArray wire, std::function<void(bool ok)> done)
{
    return session_ && session_->sendOnSession(std::move(wire), std::move(done));
}

pid_t TransferCenter::FindConnectionThread(const TcpConnection* connection) const
{
    std::lock_guard lock(carriersMutex_);
    for (auto it = carriers_.rbegin(); it != carriers_.rend(); ++it)
        if (it->first == connection)
            return it->second;
    return 0;
}

void TransferCenter::AddConnectionThread(const TcpConnection* connection, pid_t thread)
{
    std::lock_guard lock(carriersMutex_);
    carriers_.emplace_back(connection, thread);
}

void TransferCenter::RemoveConnectionThread(const TcpConnection* connection, pid_t thread)
{
    std::lock_guard lock(carriersMutex_);
    const auto it = std::find(carriers_.rbegin(), carriers_.rend(), std::make_pair(connection, thread));
    if (it != carriers_.rend())
        carriers_.erase(std::next(it).base());
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
    // A copy: an observer may come or go while the others are told.
    const std::vector<ITransferEventObserver*> observers = observers_;
    for (ITransferEventObserver* o : observers)
        if (std::find(observers_.begin(), observers_.end(), o) != observers_.end())
            o->transferEvent(code, name);
    if (code == RcListArrived) {
        if (window_)
            window_->listArrived();
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
    options.protocol = ProtocolNumber();
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
    if (!FileListText::BuildFileListStream(model_.sendQueue, stream, ProtocolNumber(), &log_)) {
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
    if (!Transport::EncodeHeader(block, wire) || !SendOnSession(wire, failed))
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
    if (!session_ || !session_->clientPeer(host, port))
        return false;
    return StartWorkerTo(host, port, kind, argument, row);
}

bool TransferCenter::StartWorkerTo(const QString& host, quint16 port, int kind, const QString& argument,
                                   const RowRef& row)
{
    if (handOver_.shuttingDown())
        return false;
    auto worker = std::make_shared<TClientThread>(*this, kind, argument, row, host, port);
    {
        std::lock_guard lock(workersMutex_);
        running_.push_back(worker.get());
    }
    const auto leave = [this, w = worker.get()] {
        std::lock_guard lock(workersMutex_);
        running_.erase(std::remove(running_.begin(), running_.end(), w), running_.end());
    };
    // The stop function keeps the worker until its thread is joined.
    if (workers_.start([worker, leave] { worker->Execute(); leave(); }, [worker] { worker->Stop(); }))
        return true;
    leave();
    return false;
}

void TransferCenter::startReception(const RowRef& row)
{
    StartWorker(TClientThread::FetchFile, {}, row);
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
    std::lock_guard lock(workersMutex_);
    return std::any_of(running_.begin(), running_.end(), [&](const TClientThread* w) {
        return w->Kind == kind && (kind == TClientThread::FetchList || w->Row == row);
    });
}

int TransferCenter::WorkerCount() const
{
    return workers_.running();
}

void TransferCenter::Shutdown()
{
    // First: a worker waiting on the UI thread could not be joined from it.
    handOver_.beginShutdown();
    workers_.stopAll();
}

bool TransferCenter::ShuttingDown() const
{
    return workers_.stopping();
}

} // namespace corvid

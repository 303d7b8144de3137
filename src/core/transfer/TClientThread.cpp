#include "core/transfer/TClientThread.h"

#include "core/protocol/FileListExchange.h"
#include "core/protocol/TransferEngine.h"
#include "core/protocol/TransferResultCode.h"
#include "core/protocol/Transport.h"
#include "core/session/UiHandOver.h"
#include "core/settings/AppSettings.h"
#include "core/transfer/FileListText.h"
#include "core/transfer/TransferCenter.h"

#include <QFileInfo>

#include <unistd.h>

namespace corvid {

TClientThread::TClientThread(TransferCenter& center, int kind, QString argument, RowRef row, QString host,
                             quint16 port)
    : Argument(std::move(argument))
    , Kind(kind)
    , Row(std::move(row))
    , Host(std::move(host))
    , Port(port)
    , center_(center)
{
}

TClientThread::~TClientThread()
{
    Stop();
    if (thread_.joinable())
        thread_.join();
}

void TClientThread::Start()
{
    thread_ = std::thread([this] {
        Execute();
        finished_.store(true, std::memory_order_release);
    });
}

void TClientThread::Stop()
{
    stop_.store(true, std::memory_order_release);
    Connection.shutdown();
}

bool TClientThread::OnUiThread(const std::function<void()>& step)
{
    return !Stopping() && center_.handOver().runAndWait(step);
}

void TClientThread::Execute()
{
    if (!customJob_) {
        if (!Connection.connectTo(Host, Port, Transport::kConnectTimeoutMs) || Stopping())
            return;  // unreachable: silently, rows keep their state
    }
    bool report = false;
    switch (Kind) {
    case SendList: report = RunSendList(); break;
    case SendFile: report = RunSendFile(); break;
    case FetchList: report = RunFetchList(); break;
    case FetchFile: report = RunFetchFile(); break;
    default:
        // The update check (40) brings its job: it connects by itself.
        report = customJob_ && customJob_(*this);
        break;
    }
    if (report) {
        const int code = ResultCode;
        const QString text = ReportText;
        OnUiThread([this, code, &text] { center_.NotifyTransferEvent(code, text); });
    }
}

bool TClientThread::RunSendList()
{
    QStringList lines;
    bool built = false;
    if (!OnUiThread([&] { built = FileListText::BuildFileList(center_.sendQueue(), lines); }))
        return false;
    if (!built) {
        ResultCode = RcListNotSent;
        return true;
    }
    const QByteArray body = FileListText::EncodeLines(lines);
    ResultCode = Transport::SendContent(Connection, kToken, QByteArrayLiteral("FileList"), body) ? RcListSent
                                                                                               : RcListNotSent;
    return true;
}

bool TClientThread::RunFetchList()
{
    if (!FileListExchange::FetchFileList(Connection, kToken, Lines)) {
        ResultCode = RcListNotReceived;
        return true;
    }
    bool added = false;
    if (!OnUiThread([&] {
            MergeOptions options;
            options.receiveFolder = center_.settings().RecvDir;
            options.autoAccept = center_.settings().AutoAccept;
            added = FileListText::MergeWireLines(center_.receiveQueue(), Lines, options);
        }))
        return false;
    ResultCode = added ? RcListArrived : RcListNothingNew;
    return true;
}

bool TClientThread::RunSendFile()
{
    TransferQueue& queue = center_.sendQueue();
    TransferList::Claim claim;
    if (!OnUiThread([&] {
            auto rec = queue.MakeRecord(Row);
            if (!rec)
                return;
            bool ok = false;
            const qint32 start = Argument.trimmed().toInt(&ok);
            rec->StartPosition = ok ? start : 0;
            rec->DoneBytes = rec->StartPosition;
            claim = center_.sendingList().TryClaim(rec);
            if (!claim)
                return;
            if (queue.IsRunning()) {
                center_.NotifyTransferEvent(RcSendStarted, queue.Find(Row)->Name());
                queue.SetState(Row, RowState::Transferring);
            }
        }))
        return false;
    if (!claim)
        return false;  // the row left its queue or is already being sent
    TCRFileRec& rec = *claim.record();
    Outcome = TransferEngine::PushFile(Connection, kToken, rec, center_.settings().shared().ChunkSize).ok();
    if (!OnUiThread([&] {
            if (Row->State() == RowState::Transferring)
                center_.UpdateRowAfterTransfer(SendFile, Row, Outcome);
        }))
        return false;
    ResultCode = Outcome ? RcSent : RcSendFailed;
    ReportText = QFileInfo(rec.LocalPath).fileName();
    claim.Release();
    Connection.close();
    return true;
}

bool TClientThread::RunFetchFile()
{
    TransferQueue& queue = center_.receiveQueue();
    TransferList::Claim claim;
    TransferList::Record partner;
    const QString receiveFolder = center_.settings().shared().RecvDir;
    const pid_t self = static_cast<pid_t>(::gettid());  // CarrierThread: this worker
    if (!OnUiThread([&] {
            auto rec = queue.MakeRecord(Row, receiveFolder);
            if (!rec)
                return;
            rec->SetCarrierThread(self);
            claim = center_.receivingList().TryClaim(rec);
            if (!claim)
                return;
            partner = center_.NormalReceptionToSlow(Row);
            if (partner)
                partner->SetTransferPriority(2);
            center_.NotifyTransferEvent(RcReceiveStarted, queue.Find(Row)->Name());
            queue.SetState(Row, RowState::Transferring);
        }))
        return false;
    if (!claim)
        return false;  // already being received, or gone: no report
    TCRFileRec& rec = *claim.record();
    Outcome = TransferEngine::ReceiveFile(Connection, kToken, rec, center_.settings().shared().ChunkSize).ok();
    if (!Outcome)
        Connection.close();
    if (!OnUiThread([&] {
            center_.UpdateRowAfterTransfer(FetchFile, Row, Outcome);
            if (partner)
                partner->SetTransferPriority(3);
        }))
        return false;
    ResultCode = Outcome ? RcReceived : RcReceiveFailed;
    ReportText = QFileInfo(rec.LocalPath).fileName();
    claim.Release();
    return true;
}

} // namespace corvid

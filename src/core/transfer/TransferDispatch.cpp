#include "core/transfer/TransferDispatch.h"

#include "core/protocol/FileListExchange.h"
#include "core/protocol/SjisCodec.h"
#include "core/protocol/TransferEngine.h"
#include "core/protocol/TransferResultCode.h"
#include "core/session/UiHandOver.h"
#include "core/settings/AppSettings.h"
#include "core/transfer/FileListText.h"
#include "core/transfer/TClientThread.h"
#include "core/transfer/TransferCenter.h"

#include <QFileInfo>
#include <unistd.h>

namespace corvid {

namespace {

QString fileNameOf(const HeaderBlock& block)
{
    return SjisCodec::decode(Header::Value(block, "FileName"));
}

// ContentLength as a 64-bit number (grouping commas allowed); -1 when none.
qint64 contentLengthOf(const HeaderBlock& block)
{
    bool ok = false;
    const qint64 n = QString::fromLatin1(Header::Value(block, "ContentLength")).remove(QLatin1Char(',')).toLongLong(&ok);
    return ok ? n : -1;
}

qint32 startPositionOf(const HeaderBlock& block)
{
    return Header::IntValue(block, "StartPosition").value_or(0);
}

} // namespace

TransferDispatch::TransferDispatch(TransferCenter& center, Hooks hooks)
    : center_(center)
    , hooks_(std::move(hooks))
{
}

bool TransferDispatch::fromPartner(const TcpConnection& c) const
{
    const QString partner = hooks_.partnerAddress ? hooks_.partnerAddress() : QString();
    return !partner.isEmpty() && c.peerAddress() == partner;
}

bool TransferDispatch::onUi(TcpConnection& c, const std::function<void()>& step)
{
    // Whoever stops the server shuts this connection first; the wait then
    // gives up, so the thread can be joined from the UI thread.
    return center_.handOver().runAndWait(step, [&c] { return !c.isOpen(); });
}

// ---- server role ---------------------------------------------------------

void TransferDispatch::ServeListRequest(TcpConnection& c, HeaderBlock& block)
{
    Q_UNUSED(block);
    if (!fromPartner(c))
        return;
    QByteArray stream;
    bool built = false;
    if (!onUi(c, [&] { built = FileListText::BuildFileListStream(center_.sendQueue(), stream); }) || !built)
        return;  // an empty queue: nothing is answered
    if (FileListExchange::SendFileList(c, QByteArray(kToken), QByteArrayLiteral("FileList"), stream))
        onUi(c, [&] { center_.NotifyTransferEvent(RcListSent, {}); });
}

void TransferDispatch::AcceptPushedList(TcpConnection& c, HeaderBlock& block)
{
    if (!fromPartner(c))
        return;
    if (!FileListExchange::ReceiveFileList(c, QByteArray(kToken), block)) {
        onUi(c, [&] { center_.NotifyTransferEvent(RcListNotReceived, {}); });
        return;
    }
    onUi(c, [&] {
        ReceiveSchedule& s = center_.schedule();
        if (!s.ListWindowShown) {
            // Merged when the window is first shown; a later list replaces it.
            s.PendingList = block;
            s.PriorityPending = true;
            center_.NotifyTransferEvent(RcListArrived, {});
            return;
        }
        MergeOptions options;
        options.receiveFolder = center_.settings().RecvDir;
        options.autoAccept = center_.settings().AutoAccept;
        if (FileListText::MergeWireLines(center_.receiveQueue(), block, options)) {
            s.PriorityPending = true;
            center_.NotifyTransferEvent(RcListArrived, {});
        } else {
            center_.NotifyTransferEvent(RcListNothingNew, {});
        }
    });
}

void TransferDispatch::ServeFileRequest(TcpConnection& c, HeaderBlock& block)
{
    if (!fromPartner(c))
        return;
    const QString name = fileNameOf(block);
    const qint64 length = contentLengthOf(block);
    const qint32 start = startPositionOf(block);
    TransferQueue& queue = center_.sendQueue();
    TransferList::Claim claim;
    RowRef row;
    if (!onUi(c, [&] {
            row = queue.FindRequested(name, length);
            auto rec = row ? queue.MakeRecord(row) : nullptr;
            if (!rec)
                return;
            rec->StartPosition = start;
            rec->DoneBytes = start;
            // The in-transfer test and the adding are one step.
            claim = center_.sendingList().TryClaim(rec);
            if (!claim)
                return;
            if (queue.IsRunning())
                queue.SetState(row, RowState::Transferring);
            center_.NotifyTransferEvent(RcSendStarted, QFileInfo(rec->LocalPath).fileName());
        }))
        return;
    if (!claim)
        return;  // unknown name, other size or already being sent: no answer
    TCRFileRec& rec = *claim.record();
    const bool ok = TransferEngine::ServeFile(c, QByteArray(kToken), rec, center_.settings().shared().ChunkSize).ok();
    const QString sent = QFileInfo(rec.LocalPath).fileName();
    onUi(c, [&] {
        QueueRow* r = queue.Find(row);
        if (r && r->State() == RowState::Transferring)
            queue.SetState(row, ok && queue.IsRunning() ? RowState::Done : RowState::Stopped);
        center_.NotifyTransferEvent(ok ? RcSent : RcSendFailed, sent);
        if (queue.Find(row) && queue.Find(row)->State() != RowState::Waiting)
            center_.RefreshProgress(queue, row);
    });
    claim.Release();
    c.shutdown();
}

void TransferDispatch::AcceptPushedFile(TcpConnection& c, HeaderBlock& block)
{
    if (!fromPartner(c))
        return;
    const QString name = fileNameOf(block);
    const qint64 length = contentLengthOf(block);
    const qint32 start = startPositionOf(block);
    const QString receiveFolder = center_.settings().shared().RecvDir;
    const pid_t self = static_cast<pid_t>(::gettid());  // this connection's thread carries it
    TransferQueue& queue = center_.receiveQueue();
    TransferList::Claim claim;
    TransferList::Record partner;
    RowRef row;
    if (!onUi(c, [&] {
            row = queue.FindRequested(name, length);
            auto rec = row ? queue.MakeRecord(row, receiveFolder) : nullptr;
            if (!rec)
                return;
            rec->StartPosition = start;
            rec->DoneBytes = start;
            rec->SetCarrierThread(self);
            claim = center_.receivingList().TryClaim(rec);
            if (!claim)
                return;
            queue.SetState(row, RowState::Transferring);
            partner = center_.NormalReceptionToSlow(row);
            if (partner)
                partner->SetTransferPriority(2);
            center_.NotifyTransferEvent(RcReceiveStarted, QFileInfo(rec->LocalPath).fileName());
        }))
        return;
    if (!claim)
        return;  // unknown name, other size or a second push: no answer
    TCRFileRec& rec = *claim.record();
    const bool ok =
        TransferEngine::ReceivePushedFile(c, QByteArray(kToken), rec, block, center_.settings().shared().ChunkSize).ok();
    if (!ok)
        c.shutdown();
    const QString received = QFileInfo(rec.LocalPath).fileName();
    onUi(c, [&] {
        center_.UpdateRowAfterTransfer(TClientThread::FetchFile, row, ok);
        center_.NotifyTransferEvent(ok ? RcReceived : RcReceiveFailed, received);
        if (partner)
            partner->SetTransferPriority(3);
    });
    // Codes 9 and 10 above also start the scheduler's next step at once.
    claim.Release();
}

// ---- client role -----------------------------------------------------------

void TransferDispatch::PeerListChanged()
{
    center_.StartWorker(TClientThread::FetchList);
}

void TransferDispatch::PeerAsksForList()
{
    if (hooks_.sendListClicked)
        hooks_.sendListClicked();
}

void TransferDispatch::PeerAsksForFile(const HeaderBlock& block)
{
    const RowRef row = center_.sendQueue().FindRequested(fileNameOf(block), contentLengthOf(block));
    if (!row || !center_.sendingList().NotInTransfer(row))
        return;  // nothing is answered
    center_.StartWorker(TClientThread::SendFile, QString::fromLatin1(Header::Value(block, "StartPosition")), row);
}

} // namespace corvid

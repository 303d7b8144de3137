#include "core/transfer/TransferDispatch.h"

#include "core/security/TrustTexts.h"
#include "core/session/ILogSink.h"

#include "core/protocol/FileListExchange.h"
#include "core/protocol/ProtocolLevel.h"
#include "core/protocol/SjisCodec.h"
#include "core/protocol/TransferResultCode.h"
#include "core/session/UiHandOver.h"
#include "core/settings/AppSettings.h"
#include "core/transfer/FileListText.h"
#include "core/transfer/ISessionLink.h"
#include "core/transfer/ITransferWindow.h"
#include "core/transfer/TClientThread.h"
#include "core/transfer/TransferCenter.h"

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

qint64 startPositionOf(const HeaderBlock& block, int protocol)
{
    return Header::SizeValue(block, "StartPosition", protocol).value_or(0);
}

// An original peer never hears of a file of 2 GiB or more or of one inside
// a folder: such a request gets no answer, as for a file not offered.
bool askable(const TransferRun::Request& r, int protocol)
{
    return ProtocolLevel::Extended(protocol)
        || (r.contentLength <= ProtocolLevel::kMaxSize32 && !r.fileName.contains(u'/'));
}

} // namespace

TransferDispatch::TransferDispatch(TransferCenter& center)
    : center_(center)
{
}

bool TransferDispatch::fromPartner(const TcpConnection& c) const
{
    const ISessionLink* session = center_.session();
    if (!session)
        return false;
    // An encrypted session's partner is known by its key, wherever it
    // connects from; its address alone proves nothing.
    const QByteArray key = session->partnerKey();
    if (!key.isEmpty()) {
        if (c.encrypted() && c.peerFingerprint() == key)
            return true;
        if (!c.encrypted())
            center_.log().AddLogLine(TrustTexts::TransferPlainRefused(c.peerAddress()), LineSys);
        return false;
    }
    const QString partner = session->partnerAddress();
    return !partner.isEmpty() && !c.encrypted() && c.peerAddress() == partner;
}

std::function<bool()> TransferDispatch::shut(const TcpConnection& c)
{
    // Whoever stops the server shuts this connection first; a wait for a
    // first step then gives up, so the thread can be joined from the UI
    // thread. Outcomes are posted and never wait.
    return [&c] { return !c.isOpen(); };
}

// ---- server role ---------------------------------------------------------

void TransferDispatch::ServeListRequest(TcpConnection& c, HeaderBlock& block)
{
    Q_UNUSED(block);
    if (!fromPartner(c))
        return;
    ListSnapshot listed;
    UiHandOver& ui = center_.handOver();
    const auto take = [&] {
        listed = FileListText::TakeFileList(center_.sendQueue(), center_.ProtocolNumber(), &center_.log());
    };
    if (!ui.runAndWait(take, shut(c)) || listed.rows.empty())
        return;  // an empty queue (or nothing the peer may see): nothing is answered
    // The text (and at protocol 2 the files' times) is made here, off the UI thread.
    const QByteArray stream = FileListText::EncodeLines(FileListText::ListLines(listed));
    if (FileListExchange::SendFileList(c, QByteArray(kToken), QByteArrayLiteral("FileList"), stream))
        ui.post([center = &center_] { center->NotifyTransferEvent(RcListSent, {}); });
}

void TransferDispatch::AcceptPushedList(TcpConnection& c, HeaderBlock& block)
{
    if (!fromPartner(c))
        return;
    UiHandOver& ui = center_.handOver();
    if (!FileListExchange::ReceiveFileList(c, QByteArray(kToken), block)) {
        ui.post([center = &center_] { center->NotifyTransferEvent(RcListNotReceived, {}); });
        return;
    }
    // The list is ours once read; its merge does not depend on the
    // connection. Its lines are checked here, so that the UI thread only
    // appends rows.
    auto prepared = std::make_shared<const PreparedList>(
        FileListText::PrepareWireLines(QueueKind::Receive, block, center_.ProtocolNumber()));
    ui.post([&center = center_, block, prepared]() mutable {
        ReceiveSchedule& s = center.schedule();
        if (!s.ListWindowShown) {
            // Merged when the window is first shown; a later list replaces it.
            s.PendingList = std::move(block);
            s.PriorityPending = true;
            center.NotifyTransferEvent(RcListArrived, {});
            return;
        }
        if (FileListText::MergePrepared(center.receiveQueue(), *prepared, center.ListMergeOptions())) {
            s.PriorityPending = true;
            center.NotifyTransferEvent(RcListArrived, {});
        } else {
            center.NotifyTransferEvent(RcListNothingNew, {});
        }
    });
}

int TransferDispatch::protocol() const
{
    const ISessionLink* session = center_.session();
    return session ? session->protocolNumber() : ProtocolLevel::kOriginal;
}

TransferRun::Request TransferDispatch::requestOf(const HeaderBlock& block) const
{
    TransferRun::Request request;
    request.fileName = fileNameOf(block);
    request.contentLength = contentLengthOf(block);
    request.start = startPositionOf(block, protocol());
    return request;
}

void TransferDispatch::ServeFileRequest(TcpConnection& c, HeaderBlock& block)
{
    RunFileTransfer(c, block, TransferRun::Flow::Serve);
}

void TransferDispatch::AcceptPushedFile(TcpConnection& c, HeaderBlock& block)
{
    RunFileTransfer(c, block, TransferRun::Flow::Accept);
}

void TransferDispatch::RunFileTransfer(TcpConnection& c, HeaderBlock& block, TransferRun::Flow flow)
{
    const TransferRun::Request request = requestOf(block);
    if (!fromPartner(c) || !askable(request, protocol()))
        return;
    TransferRun run(center_, flow);
    if (!run.Claim(request, c, shut(c)))
        return;  // unknown name, other size, already being sent or a second push: no answer
    const bool pushed = flow == TransferRun::Flow::Accept;
    // A served file ends its connection; a pushed one ends it only on failure.
    if (!run.Transfer(c, pushed ? &block : nullptr).ok() || !pushed)
        c.shutdown();
    // Codes 9 and 10 of an accept's final step also start the scheduler's next step.
    run.Finish();
}

// ---- client role -----------------------------------------------------------

void TransferDispatch::PeerListChanged()
{
    center_.StartWorker(TClientThread::FetchList);
}

void TransferDispatch::PeerAsksForList()
{
    if (ITransferWindow* window = center_.window())
        window->pressSendList();
}

void TransferDispatch::PeerAsksForFile(const HeaderBlock& block)
{
    TransferQueue& queue = center_.sendQueue();
    // With "送信開始" up the push would send nothing: no worker, no connection.
    const TransferRun::Request request = requestOf(block);
    const RowRef row = queue.IsRunning() && askable(request, protocol())
        ? queue.FindRequested(request.fileName, request.contentLength, protocol())
        : RowRef();
    if (!row)
        return;  // nothing is answered
    // A row already being sent, or asked for again before its worker got
    // to it, starts none.
    center_.StartWorker(TClientThread::SendFile, QString::fromLatin1(Header::Value(block, "StartPosition")), row);
}

} // namespace corvid

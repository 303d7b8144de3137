#include "core/transfer/TClientThread.h"

#include "core/protocol/FileListExchange.h"
#include "core/protocol/TransferResultCode.h"
#include "core/protocol/Transport.h"
#include "core/security/TrustTexts.h"
#include "core/session/ILogSink.h"
#include "core/session/SessionState.h"
#include "core/transfer/ISessionLink.h"
#include "core/session/UiHandOver.h"
#include "core/settings/AppSettings.h"
#include "core/transfer/FileListText.h"
#include "core/transfer/TransferCenter.h"

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

void TClientThread::Stop()
{
    stop_.store(true, std::memory_order_release);
    Connection.shutdown();
}

void TClientThread::Execute()
{
    if (!Connection.connectTo(Host, Port, Transport::kConnectTimeoutMs, nullptr, &stop_) || Stopping())
        return;  // unreachable: silently, rows keep their state
    if (!Secure())
        return;
    bool report = false;
    switch (Kind) {
    case SendList: report = RunSendList(); break;
    case SendFile: report = RunSendFile(); break;
    case FetchList: report = RunFetchList(); break;
    case FetchFile: report = RunFetchFile(); break;
    default: break;
    }
    if (report) {
        // Posted: nothing here waits for it, and only shutdown drops it.
        TransferCenter& center = center_;
        center_.handOver().post([&center, code = ResultCode, text = ReportText] {
            center.NotifyTransferEvent(code, text);
        });
    }
}

bool TClientThread::Secure()
{
    const ISessionLink* session = center_.session();
    const QByteArray key = session ? session->partnerKey() : QByteArray();
    if (key.isEmpty())
        return true;  // a plaintext session: today's connection
    const auto tls = session->tlsContext();
    const TlsStream::Result r = tls ? Connection.startTls(*tls, TlsRole::Client, SessionState::kTlsTimeoutMs)
                                    : TlsStream::Result{nullptr, TlsStream::Failure::Closed, CertProblem::None, {}};
    if (Stopping())
        return false;
    if (r.failure != TlsStream::Failure::None) {
        center_.log().AddLogLine(TrustTexts::TransferTlsFailed(Host, r.failure, r.problem), LineSys);
        return false;
    }
    // Whoever answers at the partner's address must hold the partner's key.
    if (Connection.peerFingerprint() != key) {
        Connection.shutdown();
        center_.log().AddLogLine(TrustTexts::TransferKeyRefused(Host), LineSys);
        return false;
    }
    return true;
}

bool TClientThread::RunSendList()
{
    ListSnapshot listed;
    const auto take = [&] {
        listed = FileListText::TakeFileList(center_.sendQueue(), center_.ProtocolNumber(), &center_.log());
    };
    if (!center_.handOver().runAndWait(take, stopping()))
        return false;
    if (listed.rows.empty()) {
        ResultCode = RcListNotSent;
        return true;
    }
    // The text (and at protocol 2 the files' times) is made here, off the UI thread.
    const QByteArray body = FileListText::EncodeLines(FileListText::ListLines(listed));
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
    // Checked here, so that the UI thread only appends rows.
    const PreparedList prepared = FileListText::PrepareWireLines(QueueKind::Receive, Lines, center_.ProtocolNumber());
    bool added = false;
    const auto merge = [&] {
        added = FileListText::MergePrepared(center_.receiveQueue(), prepared, center_.ListMergeOptions());
    };
    if (!center_.handOver().runAndWait(merge, stopping()))
        return false;
    ResultCode = added ? RcListArrived : RcListNothingNew;
    return true;
}

bool TClientThread::RunSendFile()
{
    TransferRun::Request request;
    request.row = Row;
    bool ok = false;
    const qint64 start = Argument.trimmed().toLongLong(&ok);
    request.start = ok ? start : 0;
    return RunFile(TransferRun::Flow::Push, request);
}

bool TClientThread::RunFetchFile()
{
    TransferRun::Request request;
    request.row = Row;
    return RunFile(TransferRun::Flow::Fetch, request);
}

bool TClientThread::RunFile(TransferRun::Flow flow, const TransferRun::Request& request)
{
    TransferRun run(center_, flow);
    if (!run.Claim(request, Connection, stopping()))
        return false;  // the row left its queue or is already in transfer: no report
    Outcome = run.Transfer(Connection).ok();
    Connection.close();
    ResultCode = run.ResultCode();
    ReportText = run.FileName();
    run.Finish();
    return false;  // the final step reports
}

} // namespace corvid

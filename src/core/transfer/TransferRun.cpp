#include "core/transfer/TransferRun.h"

#include "core/protocol/ProtocolLevel.h"
#include "core/protocol/TransferEngine.h"
#include "core/protocol/TransferResultCode.h"
#include "core/session/ILogSink.h"
#include "core/session/UiHandOver.h"
#include "core/settings/AppSettings.h"
#include "core/transfer/ISessionLink.h"
#include "core/transfer/ReceiveScheduler.h"
#include "core/transfer/RowTransitions.h"
#include "core/transfer/TClientThread.h"
#include "core/transfer/TransferCenter.h"
#include "core/transfer/TransferTexts.h"

#include <QFileInfo>

#include <unistd.h>

namespace corvid {

namespace {

bool receives(TransferRun::Flow flow)
{
    return flow == TransferRun::Flow::Fetch || flow == TransferRun::Flow::Accept;
}

} // namespace

// What the final step needs, owned by it: it runs on the UI thread after
// the carrying thread (and this run) may be gone.
struct TransferRun::State {
    TransferCenter* center = nullptr;
    Flow flow = Flow::Push;
    RowRef row;
    TransferList::Claim claim;
    TransferList::Record partner;  // the normal reception this one slowed down
    QString name;
    bool ok = false;
    bool diskFull = false;  // the receive folder's file system ran out of space
    bool notVerified = false;  // every byte came, but not the sender's
    bool notForOriginal = false;  // a row an original peer cannot be asked for
    bool pathBlocked = false;     // a link or file where the entry's folder must go

    void FinalStep();
    void ServedRowStep();
};

TransferRun::TransferRun(TransferCenter& center, Flow flow)
    : center_(center)
    , flow_(flow)
    , state_(std::make_shared<State>())
{
    state_->center = &center;
    state_->flow = flow;
}

TransferRun::~TransferRun()
{
    Finish();
}

bool TransferRun::Claim(const Request& request, const TcpConnection& carried, const std::function<bool()>& giveUp)
{
    if (!state_ || state_->claim || carried_)
        return false;
    carried_ = &carried;
    carrier_ = static_cast<pid_t>(::gettid());
    center_.AddConnectionThread(carried_, carrier_);
    // The step runs completely or not at all: a give-up only ends a wait
    // whose step has not begun, so nothing is claimed behind our back.
    const bool ran = center_.handOver().runAndWait([&] { claimStep(request, carried); }, giveUp);
    if (ran && state_->claim)
        return true;
    leaveConnection();
    return false;
}

void TransferRun::leaveConnection()
{
    if (carried_)
        center_.RemoveConnectionThread(carried_, carrier_);
    carried_ = nullptr;
}

void TransferRun::claimStep(const Request& request, const TcpConnection& carried)
{
    TransferCenter& c = center_;
    const bool receiving = receives(flow_);
    TransferQueue& queue = receiving ? c.receiveQueue() : c.sendQueue();
    const RowRef row =
        request.row ? request.row : queue.FindRequested(request.fileName, request.contentLength, c.ProtocolNumber());
    const auto rec = row ? queue.MakeRecord(row) : nullptr;
    if (!rec)
        return;
    if (request.start) {
        rec->StartPosition = *request.start;
        rec->DoneBytes = *request.start;
    }
    if (receiving)
        rec->SetCarrierThread(c.FindConnectionThread(&carried));
    rec->Protocol = c.ProtocolNumber();
    // The in-transfer test and the adding are one step.
    TransferList::Claim claim = c.ListFor(queue).TryClaim(rec);
    if (!claim)
        return;
    State& s = *state_;
    s.row = row;
    s.claim = std::move(claim);
    s.name = rec->Entry.isEmpty() ? QFileInfo(rec->LocalPath).fileName() : rec->Entry;
    // A send moves data only while "送信開始" is pressed; otherwise its row
    // keeps its state and the engine ends it at once.
    if (receiving || queue.IsRunning())
        queue.SetState(row, RowState::Transferring);
    if (receiving)
        s.partner = ReceiveScheduler::SlowDownNormal(c, row);
    c.NotifyTransferEvent(receiving ? RcReceiveStarted : RcSendStarted, s.name);
}

TransferOutcome TransferRun::Transfer(TcpConnection& c, const HeaderBlock* pushed)
{
    if (!state_ || !state_->claim)
        return {};
    TCRFileRec& rec = *state_->claim.record();
    const qint64 chunk = center_.settings().shared().ChunkSize;
    state_->notForOriginal = receives(flow_) && !ProtocolLevel::Extended(rec.Protocol)
        && (rec.ExpectedSize > ProtocolLevel::kMaxSize32 || rec.Entry.contains(u'/'));
    const QByteArray token(kToken);
    TransferOutcome out(TransferStatus::BadRequest, 0);
    switch (flow_) {
    case Flow::Push: out = TransferEngine::PushFile(c, token, rec, chunk); break;
    case Flow::Fetch: out = TransferEngine::ReceiveFile(c, token, rec, chunk); break;
    case Flow::Serve: out = TransferEngine::ServeFile(c, token, rec, chunk); break;
    case Flow::Accept:
        if (pushed)
            out = TransferEngine::ReceivePushedFile(c, token, rec, *pushed, chunk);
        break;
    }
    state_->ok = out.ok();
    state_->diskFull = out.status() == TransferStatus::DiskFull;
    state_->notVerified = out.status() == TransferStatus::DigestMismatch;
    state_->pathBlocked = out.status() == TransferStatus::PathBlocked;
    return out;
}

void TransferRun::Finish()
{
    leaveConnection();  // this thread carries nothing more
    if (!state_ || !state_->claim)
        return;
    ok_ = state_->ok;
    name_ = state_->name;
    // From here on the state belongs to the final step; dropped (shutdown),
    // it releases the claim where it is dropped.
    center_.handOver().post([s = std::move(state_)] { s->FinalStep(); });
}

int TransferRun::ResultCode() const
{
    const bool ok = state_ ? state_->ok : ok_;
    if (receives(flow_))
        return ok ? RcReceived : RcReceiveFailed;
    return ok ? RcSent : RcSendFailed;
}

QString TransferRun::FileName() const
{
    return state_ ? state_->name : name_;
}

void TransferRun::State::FinalStep()
{
    TransferCenter& c = *center;
    switch (flow) {
    case Flow::Push:
        if (row->State() == RowState::Transferring)
            c.UpdateRowAfterTransfer(TClientThread::SendFile, row, ok);
        break;
    case Flow::Serve: ServedRowStep(); break;
    case Flow::Fetch:
    case Flow::Accept: c.UpdateRowAfterTransfer(TClientThread::FetchFile, row, ok); break;
    }
    ReceiveScheduler::RestoreNormal(partner);
    if (receives(flow)) {
        c.NotifyTransferEvent(ok ? RcReceived : RcReceiveFailed, name);
        // The bare failure line would send the user looking at the peer.
        if (diskFull)
            c.log().AddLogLine(TransferTexts::ReceiveFolderFull(name), LineSys);
        if (notForOriginal)
            c.log().AddLogLine(TransferTexts::NotForOriginalPeer(name), LineSys);
        if (pathBlocked)
            c.log().AddLogLine(TransferTexts::ReceivePathBlocked(name), LineSys);
        if (notVerified)
            c.log().AddLogLine(TransferTexts::ReceiveNotVerified(name), LineSys);
    } else
        c.NotifyTransferEvent(ok ? RcSent : RcSendFailed, name);
    // Last: until here the row counts as in transfer, so no new transfer of
    // it can start before this row step is done.
    claim.Release();
}

// A pull served: Done only while "送信開始" is still pressed; the progress
// of any row that moved.
void TransferRun::State::ServedRowStep()
{
    TransferCenter& c = *center;
    TransferQueue& q = c.sendQueue();
    const QueueRow* r = q.Find(row);
    if (r && r->State() == RowState::Transferring)
        q.SetState(row, RowTransitions::ServeEnded(ok, q.IsRunning()));
    r = q.Find(row);
    if (r && r->State() != RowState::Waiting)
        c.RefreshProgress(q, row);
}

} // namespace corvid

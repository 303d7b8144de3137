#include "core/transfer/ReceiveScheduler.h"

#include "core/protocol/HeaderBlock.h"
#include "core/protocol/ProtocolLevel.h"
#include "core/protocol/TransferEngine.h"
#include "core/protocol/TransferResultCode.h"
#include "core/session/ILogSink.h"
#include "core/session/UiHandOver.h"
#include "core/settings/AppSettings.h"
#include "core/settings/Conversions.h"
#include "core/transfer/ISessionLink.h"
#include "core/transfer/ITransferWindow.h"
#include "core/transfer/RowTransitions.h"
#include "core/transfer/TransferCenter.h"
#include "core/transfer/TransferTexts.h"

#include <algorithm>

namespace corvid {

ReceiveScheduler::ReceiveScheduler(TransferCenter& center, IReceptionStarter* starter)
    : center_(center)
    , starter_(starter ? *starter : center)
{
    center_.addEventObserver(this);
}

ReceiveScheduler::~ReceiveScheduler()
{
    center_.removeEventObserver(this);
}

qint64 ReceiveScheduler::PriorityLimit() const
{
    return center_.settings().PrioritySize;
}

bool ReceiveScheduler::AdvanceCursor(RowRef& cursor, qint64 limit)
{
    TransferQueue& q = center_.receiveQueue();
    if (q.IsEmpty())
        return false;
    ReceiveSchedule& s = center_.schedule();
    // The cursor's place is looked up once; from there the walk goes by
    // index, so passing a list of 100,000 rows is one pass, not 100,000.
    int index = cursor ? q.IndexOf(cursor) : 0;
    if (index < 0)
        index = 0;  // a removed row: start over
    for (; index < q.Count(); ++index) {
        const QueueRow& row = q.Row(index);
        cursor = row.Ref();
        const RowState state = row.State();
        const bool waits = state == RowState::Waiting || state == RowState::Stopped;
        const bool fits = (limit == 0 && cursor != s.PriorityCursor)
            || (limit > 0 && Conversions::ParseThousands64(row.SizeText()) < limit);
        if (waits && fits)
            return true;
        const RowState passed = RowTransitions::CursorPasses(state);
        if (passed != state)
            q.SetState(cursor, passed);
    }
    cursor.reset();
    if (limit > 0)
        s.PriorityPending = false;
    return false;
}

void ReceiveScheduler::ResetStoppedRows()
{
    TransferQueue& q = center_.receiveQueue();
    TransferQueue::ChangeBatch batch(q);
    for (int i = 0; i < q.Count(); ++i) {
        const RowState s = q.Row(i).State();
        const RowState next = RowTransitions::ReceiveStartPressed(s);
        if (next != s)
            q.SetState(q.Row(i).Ref(), next);
    }
}

bool ReceiveScheduler::PriorityPressed() const
{
    const ITransferWindow* window = center_.window();
    return window && window->priorityPressed();
}

bool ReceiveScheduler::PriorityPassRuns() const
{
    return PriorityPressed() && center_.schedule().PriorityPending;
}

void ReceiveScheduler::ReceiveToggled(bool pressed)
{
    ReceiveSchedule& s = center_.schedule();
    s.NormalCursor.reset();
    s.PriorityCursor.reset();
    if (!pressed)
        return;
    ResetStoppedRows();
    const bool normal = AdvanceCursor(s.NormalCursor, 0);
    const bool priority = PriorityPressed() && AdvanceCursor(s.PriorityCursor, PriorityLimit());
    // The rows the cursors now rest on start at once, not at the first tick.
    startedThisStep_.clear();
    if (normal)
        Start(s.NormalCursor);
    if (priority && PriorityPassRuns())
        Start(s.PriorityCursor);
    startedThisStep_.clear();
}

void ReceiveScheduler::PriorityToggled(bool pressed)
{
    if (!pressed)
        return;  // a priority reception that runs goes on to its end
    ReceiveSchedule& s = center_.schedule();
    if (AdvanceCursor(s.PriorityCursor, PriorityLimit()) && center_.receiveQueue().IsRunning()
        && PriorityPassRuns()) {
        startedThisStep_.clear();
        Start(s.PriorityCursor);
        startedThisStep_.clear();
    }
}

void ReceiveScheduler::Timer2Timer()
{
    if (!center_.receiveQueue().IsRunning())
        return;
    const ReceiveSchedule& s = center_.schedule();
    if (!s.NormalCursor && !s.PriorityCursor) {
        // Nothing left: receiving ends by itself.
        if (ITransferWindow* window = center_.window())
            window->pressReceive();
        return;
    }
    Step(StepKind::Tick);
}

void ReceiveScheduler::Step(StepKind kind)
{
    ReceiveSchedule& s = center_.schedule();
    startedThisStep_.clear();
    Serve(s.NormalCursor, 0, kind);
    if (PriorityPassRuns())
        Serve(s.PriorityCursor, PriorityLimit(), kind);
    startedThisStep_.clear();
}

void ReceiveScheduler::Serve(RowRef& cursor, qint64 limit, StepKind kind)
{
    TransferQueue& q = center_.receiveQueue();
    if (cursor && q.IndexOf(cursor) < 0)
        AdvanceCursor(cursor, limit);
    const QueueRow* row = q.Find(cursor);
    if (!row)
        return;
    switch (row->State()) {
    case RowState::Transferring:
        // Progress keeps its one-second rhythm: only the tick refreshes.
        if (kind == StepKind::Tick)
            center_.RefreshProgress(q, cursor);
        break;
    case RowState::Done:
    case RowState::Failed:
    case RowState::Refused:
        if (AdvanceCursor(cursor, limit))
            Start(cursor);  // the next row starts in this step
        break;
    default:
        Start(cursor);
        break;
    }
}

void ReceiveScheduler::Start(const RowRef& row)
{
    // Both cursors on one row: one start; the reception itself also refuses
    // a row that is already in transfer.
    if (!row || std::find(startedThisStep_.begin(), startedThisStep_.end(), row) != startedThisStep_.end())
        return;
    startedThisStep_.push_back(row);
    if (center_.ServerRole())
        RequestReceive(row);
    else
        starter_.startReception(row);
}

bool ReceiveScheduler::RequestReceive(const RowRef& row)
{
    const QueueRow* r = center_.receiveQueue().Find(row);
    if (!r)
        return false;
    const QString name = r->Name();
    bool sized = false;
    const qint64 size = Conversions::ParseThousands64(r->SizeText(), &sized);
    TransferEngine::FileRequest request;
    request.folder = r->Folder();
    request.entry = name;
    request.size = size;
    request.time = r->ModTime();
    request.protocol = center_.ProtocolNumber();
    QByteArray wire;
    if (!sized || !TransferEngine::EncodeFileRequest(kToken, request, wire)) {
        // No request can carry the row (a size no request takes at this
        // protocol, or a folder's file asked of an original peer): asking
        // with another one would name a different file. It ends as a failed
        // reception would, so the cursors pass it instead of asking again
        // every tick.
        TransferQueue& q = center_.receiveQueue();
        q.SetState(row, RowTransitions::ReceptionEnded(r->State(), false, q.IsRunning()));
        if (sized && size > 0 && !ProtocolLevel::Extended(request.protocol))
            center_.log().AddLogLine(TransferTexts::NotForOriginalPeer(name), LineSys);
        NotifyOwnFailure(name);
        return false;
    }
    bool ok = true;
    if (ok) {
        ok = center_.SendOnSession(std::move(wire), [this, alive = alive_.token(), name](bool written) {
            if (!written && alive.lock())
                NotifyOwnFailure(name);
        });
    }
    if (!ok)
        NotifyOwnFailure(name);
    return ok;
}

void ReceiveScheduler::NotifyOwnFailure(const QString& name)
{
    // The request is asked again on the next tick; it must not run a step
    // of its own, which would ask again at once and without end.
    ownFailure_ = true;
    center_.NotifyTransferEvent(RcReceiveFailed, name);
    ownFailure_ = false;
}

void ReceiveScheduler::transferEvent(int code, const QString& name)
{
    Q_UNUSED(name);
    if ((code == RcReceived || code == RcReceiveFailed) && !ownFailure_)
        ReceptionEnded();
}

void ReceiveScheduler::ReceptionEnded()
{
    if (stepPosted_.exchange(true))
        return;
    // Posted, not run here: the one who reports is still in its own row
    // update, and a step must see that update finished.
    center_.handOver().post(alive_.token(), [this] {
        stepPosted_.store(false);
        if (center_.receiveQueue().IsRunning())
            Step(StepKind::Immediate);
    });
}

TransferList::Record ReceiveScheduler::SlowDownNormal(TransferCenter& center, const RowRef& row)
{
    TransferList::Record rec = center.NormalReceptionToSlow(row);
    if (rec)
        rec->SetTransferPriority(2);
    return rec;
}

void ReceiveScheduler::RestoreNormal(const TransferList::Record& partner)
{
    if (partner)
        partner->SetTransferPriority(3);
}

} // namespace corvid

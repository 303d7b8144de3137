#include "core/transfer/RowTransitions.h"

namespace corvid {

RowState RowTransitions::MergedReceiveRow(bool receivePressed, bool autoAccept)
{
    return receivePressed && !autoAccept ? RowState::New : RowState::Waiting;
}

RowState RowTransitions::AddedSendRow(bool sendPressed)
{
    return sendPressed ? RowState::Unlisted : RowState::Waiting;
}

RowState RowTransitions::ListBuilt(RowState s)
{
    return s == RowState::Unlisted ? RowState::Waiting : s;
}

RowState RowTransitions::ReceiveStartPressed(RowState s)
{
    return s == RowState::Stopped || s == RowState::New ? RowState::Waiting : s;
}

RowState RowTransitions::Permit(RowState s)
{
    return s == RowState::New || s == RowState::Refused ? RowState::Waiting : s;
}

RowState RowTransitions::Refuse(RowState s)
{
    const int v = static_cast<int>(s);
    return v >= static_cast<int>(RowState::Waiting) && v <= static_cast<int>(RowState::Stopped) ? RowState::Refused
                                                                                              : s;
}

RowState RowTransitions::CursorPasses(RowState s)
{
    return s == RowState::Failed ? RowState::Stopped : s;
}

RowState RowTransitions::ReceptionEnded(RowState s, bool ok, bool receivePressed)
{
    RowState next = ok ? RowState::Done : (s == RowState::Refused ? RowState::Refused : RowState::Failed);
    if (!receivePressed && next == RowState::Failed)
        next = RowState::Stopped;
    return next;
}

RowState RowTransitions::SendEnded(bool ok)
{
    return ok ? RowState::Done : RowState::Stopped;
}

RowState RowTransitions::ServeEnded(bool ok, bool sendPressed)
{
    return ok && sendPressed ? RowState::Done : RowState::Stopped;
}

} // namespace corvid

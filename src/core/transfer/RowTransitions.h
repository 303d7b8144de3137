#pragma once
#include "core/protocol/RowState.h"

namespace corvid {

// The row state table of both queues as pure functions: each takes the
// row's state (and what the trigger depends on) and gives the new state,
// which is the old one where the trigger does not apply. The merge, the
// list builder, the scheduler, the window and the ends of transfers all ask
// here, so a rule is written once.
class RowTransitions {
public:
    // A list line merged into the receive queue: New only while "受信開始"
    // is pressed and AutoAccept is off.
    static RowState MergedReceiveRow(bool receivePressed, bool autoAccept);
    // A file added to the send queue: Unlisted while "送信開始" is pressed.
    static RowState AddedSendRow(bool sendPressed);
    // The send queue's rows when a file list is built from them.
    static RowState ListBuilt(RowState s);
    // "受信開始" pressed down (ResetStoppedRows): Stopped and New wait again.
    static RowState ReceiveStartPressed(RowState s);
    // "受信許可": New and Refused wait again.
    static RowState Permit(RowState s);
    // "受信拒否": every state from Waiting to Stopped becomes Refused.
    static RowState Refuse(RowState s);
    // A receive cursor passes the row: a Failed row is Stopped.
    static RowState CursorPasses(RowState s);
    // The end of a reception of a row still in its queue: Done, or Failed
    // unless Refused; Failed becomes Stopped when "受信開始" is up.
    static RowState ReceptionEnded(RowState s, bool ok, bool receivePressed);
    // The end of a send of a row still Transferring.
    static RowState SendEnded(bool ok);
    // The end of a pull the peer made of a row still Transferring: Done
    // only while "送信開始" is still pressed.
    static RowState ServeEnded(bool ok, bool sendPressed);

    // Permit changes the row (and then sets PriorityPending).
    static bool Permits(RowState s) { return Permit(s) != s; }
};

} // namespace corvid

#pragma once

namespace corvid {

// Outcome vocabulary of list and file jobs (indexes of the transfer event
// table that the transfer window turns into log lines).
enum TransferResultCode : int {
    RcListNotSent = 0,
    RcListNotReceived = 1,
    RcListArrived = 2,
    RcListNothingNew = 3,
    RcListSent = 4,
    RcSendStarted = 5,
    RcSent = 6,
    RcSendFailed = 7,
    RcReceiveStarted = 8,
    RcReceived = 9,
    RcReceiveFailed = 10,
    RcVersionChecked = 11,
    RcVersionCheckFailed = 12,
};

} // namespace corvid

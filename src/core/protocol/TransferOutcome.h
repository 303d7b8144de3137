#pragma once
#include "core/protocol/TransferResultCode.h"

#include <QtGlobal>

namespace corvid {

// Why a file transfer ended.
enum class TransferStatus {
    Completed,       // receiving: every byte arrived; sending: and the peer said Result=True
    BadRequest,      // unusable arguments: unsafe name, no size, start beyond the file
    LocalFileError,  // the local file could not be found, created or opened
    NotRunnable,     // the entry could not run (toggle up, row gone or not Transferring)
    WriteFailed,     // a block could not be written
    NotAnswered,     // no usable answer within the wait
    Refused,         // the peer answered Accept=False
    Mismatch,        // the answer names another file, size or start position
    Stopped,         // the stop test ended the copy loop
    ConnectionLost,  // the connection closed or stalled during the data
    FileReadError,
    FileWriteError,
    DiskFull,        // the receive folder's file system is full (a write failed for want of space)
    NotConfirmed,    // all data sent, but no Result=True came back
    PathBlocked,     // protocol 2: something not ours stands where a folder of the entry must go
    DigestMismatch,  // protocol 2: every byte arrived, but not the sender's (or no digest came)
};

// The value every copy operation returns.
class TransferOutcome {
public:
    TransferOutcome() = default;
    TransferOutcome(TransferStatus status, qint64 fileBytes) : status_(status), fileBytes_(fileBytes) {}

    bool ok() const { return status_ == TransferStatus::Completed; }
    explicit operator bool() const { return ok(); }
    TransferStatus status() const { return status_; }
    // Receiving: size of the local file at the end; sending: bytes handed to
    // the connection, counted from the start of the file.
    qint64 fileBytes() const { return fileBytes_; }

    int SendResultCode() const { return ok() ? RcSent : RcSendFailed; }
    int ReceiveResultCode() const { return ok() ? RcReceived : RcReceiveFailed; }

    static const char* StatusName(TransferStatus status);

private:
    TransferStatus status_ = TransferStatus::BadRequest;
    qint64 fileBytes_ = 0;
};

} // namespace corvid

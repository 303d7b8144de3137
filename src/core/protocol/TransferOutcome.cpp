#include "core/protocol/TransferOutcome.h"

namespace corvid {

const char* TransferOutcome::StatusName(TransferStatus status)
{
    switch (status) {
    case TransferStatus::Completed: return "Completed";
    case TransferStatus::BadRequest: return "BadRequest";
    case TransferStatus::LocalFileError: return "LocalFileError";
    case TransferStatus::NotRunnable: return "NotRunnable";
    case TransferStatus::WriteFailed: return "WriteFailed";
    case TransferStatus::NotAnswered: return "NotAnswered";
    case TransferStatus::Refused: return "Refused";
    case TransferStatus::Mismatch: return "Mismatch";
    case TransferStatus::Stopped: return "Stopped";
    case TransferStatus::ConnectionLost: return "ConnectionLost";
    case TransferStatus::FileReadError: return "FileReadError";
    case TransferStatus::FileWriteError: return "FileWriteError";
    case TransferStatus::DiskFull: return "DiskFull";
    case TransferStatus::NotConfirmed: return "NotConfirmed";
    case TransferStatus::PathBlocked: return "PathBlocked";
    case TransferStatus::DigestMismatch: return "DigestMismatch";
    }
    return "?";
}

} // namespace corvid

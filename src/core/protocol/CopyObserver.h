#pragma once
#include <QtGlobal>

namespace corvid {

// Optional hook into the copy loops, called on the transfer thread. Used to
// trace chunk and piece boundaries; the progress display polls
// TCRFileRec::GetTransferred instead.
class CopyObserver {
public:
    virtual ~CopyObserver() = default;
    // A chunk of `bytes` was read from the file (sending) or written to it
    // (receiving).
    virtual void OnChunk(qint64 bytes) { Q_UNUSED(bytes); }
    // Sending: the socket took `bytes` more (whole 1024-byte pieces, or the
    // rest of the chunk) and DoneBytes became `doneBytes`.
    virtual void OnPiece(qint64 bytes, qint64 doneBytes) { Q_UNUSED(bytes); Q_UNUSED(doneBytes); }
};

} // namespace corvid

#pragma once
#include "core/protocol/LocalFile.h"
#include "core/protocol/TCRFileRec.h"
#include "core/protocol/TcpConnection.h"
#include "core/protocol/TransferOutcome.h"

namespace corvid {

// The two chunked copy loops of a file transfer. Both test the stop
// conditions before every chunk and hold one chunk in memory.
class CopyLoop {
public:
    static constexpr qint64 kDefaultChunk = 65536;
    static constexpr qint64 kPiece = 1024;  // progress is counted per piece of this size

    // Reads chunks from the connection and appends each with one write until
    // the file holds `expected` bytes. Completed, or why it stopped. A chunk
    // is never kept when the connection turned out to close right behind it
    // (the sender's closing block taken for data), nor in part when its
    // write fails (DiskFull when the file system is full). The stop test
    // also runs every kStopTestMs while a chunk is being read; a sender that
    // sends no byte for stallMs loses the transfer (ConnectionLost).
    static TransferStatus Receive(TcpConnection& c, TCRFileRec& rec, LocalFile& file, qint64 expected,
                                  qint64 chunkSize, int stallMs = kReadStallMs);

    // Sends the bytes of fd from rec.StartPosition up to size, one write per
    // chunk, counting DoneBytes per 1024-byte piece as the socket accepts
    // them. A peer that takes no byte for stallMs fails the send
    // (ConnectionLost, connection shut down). `position` ends where the data
    // stopped.
    static TransferStatus Send(TcpConnection& c, TCRFileRec& rec, int fd, qint64 size, qint64 chunkSize,
                               qint64& position, int stallMs = kWriteStallMs);

    static constexpr int kWriteStallMs = 60000;
    static constexpr int kReadStallMs = 60000;
    static constexpr int kStopTestMs = 250;

    // Of `accepted` bytes out of a chunk of `total`, the bytes that count as
    // sent: whole pieces only, except that the chunk's last piece counts
    // once all of it is accepted.
    static qint64 CountedBytes(qint64 accepted, qint64 total);

    static qint64 EffectiveChunk(qint64 chunkSize) { return chunkSize > 0 ? chunkSize : kDefaultChunk; }

    // The largest k >= 1 such that the bytes end with the first k bytes of
    // the closing block P, else 0.
    static qsizetype DisconnectTail(const QByteArray& chunk);
    static bool EndsLikeDisconnect(const QByteArray& chunk) { return DisconnectTail(chunk) > 0; }
};

} // namespace corvid

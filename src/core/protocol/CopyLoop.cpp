#include "core/protocol/CopyLoop.h"

#include "core/protocol/HeaderBlock.h"
#include "core/protocol/Transport.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

namespace corvid {

namespace {

// Block P as any peer of this protocol writes it.
QByteArray disconnectBytes()
{
    HeaderBlock b;
    Header::MakeDisconnectHeader(b, kToken);
    QByteArray bytes;
    for (const QByteArray& line : b)
        bytes += line + "\r\n";
    return bytes;
}

// After the last chunk a well-behaved sender sends nothing until it gets
// our Result. A close or further bytes right behind it mean the chunk's end
// was the sender's closing block, not file data.
bool peerClosesBehind(TcpConnection& c)
{
    QByteArray probe;
    return c.readSome(probe, 1, Transport::kNextLineTimeoutMs) != ReadStatus::Timeout;
}

bool readFully(int fd, char* data, qint64 n, qint64 offset)
{
    qint64 done = 0;
    while (done < n) {
        const ssize_t r = ::pread(fd, data + done, size_t(n - done), off_t(offset + done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;  // error, or the file shrank under us
        done += r;
    }
    return true;
}

} // namespace

bool CopyLoop::EndsLikeDisconnect(const QByteArray& chunk)
{
    static const QByteArray p = disconnectBytes();
    const qsizetype most = qMin(chunk.size(), p.size());
    for (qsizetype k = most; k >= 1; --k) {
        if (chunk.endsWith(QByteArrayView(p.constData(), k)))
            return true;
    }
    return false;
}

TransferStatus CopyLoop::Receive(TcpConnection& c, TCRFileRec& rec, LocalFile& file, qint64 expected,
                                 qint64 chunkSize)
{
    chunkSize = EffectiveChunk(chunkSize);
    QByteArray chunk;
    chunk.reserve(qsizetype(qMin(chunkSize, qMax<qint64>(expected - file.Size(), 0))));
    rec.DoneBytes.store(file.Size());
    // Start of the last written chunk while its end looks like the start of
    // block P: if the data stops right after it, it was no file data.
    qint64 suspectFrom = -1;
    TransferStatus status = TransferStatus::Completed;

    while (file.Size() < expected) {
        if (!rec.MayContinue()) {
            status = TransferStatus::Stopped;
            break;
        }
        const qint64 n = qMin(expected - file.Size(), chunkSize);
        chunk.truncate(0);
        rec.SetChunk(0);
        while (chunk.size() < n) {
            const ReadStatus st = c.readSome(chunk, n - chunk.size(), Transport::kBodyStallMs);
            if (st != ReadStatus::Ok) {
                status = TransferStatus::ConnectionLost;
                break;
            }
            rec.SetChunk(chunk.size());
        }
        rec.ClearChunk();
        if (status != TransferStatus::Completed)
            break;
        const bool suspect = EndsLikeDisconnect(chunk);
        if (suspect && file.Size() + n == expected && peerClosesBehind(c)) {
            status = TransferStatus::ConnectionLost;
            break;
        }
        const qint64 before = file.Size();
        const bool written = file.Append(chunk);
        rec.DoneBytes.store(file.Size());
        if (!written) {
            status = TransferStatus::FileWriteError;
            break;
        }
        suspectFrom = suspect ? before : -1;
        if (rec.Observer)
            rec.Observer->OnChunk(n);
    }
    if (status != TransferStatus::Completed && suspectFrom >= 0) {
        file.TruncateTo(suspectFrom);
        rec.DoneBytes.store(file.Size());
    }
    return status;
}

TransferStatus CopyLoop::Send(TcpConnection& c, TCRFileRec& rec, int fd, qint64 size, qint64 chunkSize,
                              qint64& position)
{
    chunkSize = EffectiveChunk(chunkSize);
    position = rec.StartPosition;
    rec.DoneBytes.store(position);
    std::vector<char> buffer(size_t(qMax<qint64>(qMin(chunkSize, size - position), 0)));

    while (position < size) {
        if (!rec.MayContinue())
            return TransferStatus::Stopped;
        const qint64 n = qMin(size - position, chunkSize);
        if (!readFully(fd, buffer.data(), n, position))
            return TransferStatus::FileReadError;
        if (rec.Observer)
            rec.Observer->OnChunk(n);
        // One write for the whole chunk; the bytes on the wire are the same
        // as piece by piece, at a fraction of the system calls.
        if (!c.writeAll(buffer.data(), n))
            return TransferStatus::ConnectionLost;
        for (qint64 sent = 0; sent < n;) {
            const qint64 piece = qMin(kPiece, n - sent);
            sent += piece;
            rec.DoneBytes.store(position + sent, std::memory_order_relaxed);
            if (rec.Observer)
                rec.Observer->OnPiece(piece, position + sent);
        }
        position += n;
    }
    return TransferStatus::Completed;
}

} // namespace corvid

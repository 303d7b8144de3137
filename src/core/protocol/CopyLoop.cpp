#include "core/protocol/CopyLoop.h"

#include "core/protocol/FileDigest.h"
#include "core/protocol/HeaderBlock.h"
#include "core/protocol/ProtocolLevel.h"
#include "core/protocol/Transport.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

namespace corvid {

namespace {

QByteArray makeDisconnectBytes()
{
    HeaderBlock b;
    Header::MakeDisconnectHeader(b, kToken);
    QByteArray bytes;
    for (const QByteArray& line : b)
        bytes += line + "\r\n";
    return bytes;
}

// Block P as any peer of this protocol writes it.
const QByteArray& disconnectBytes()
{
    static const QByteArray bytes = makeDisconnectBytes();
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

// Appends file data to `chunk` until it holds at most `n` bytes. When the
// connection has no bytes buffered, a recv that finds data puts it straight
// into the chunk: no poll before it and no copy through the connection's
// input buffer, which on the receiving side cost more than the plain copy's
// whole loop. A recv that finds nothing, the end of the stream or an error
// leaves it to the connection's own read, which waits within the time
// limit, notices a shutdown and records the close.
ReadStatus readInto(TcpConnection& c, QByteArray& chunk, qint64 n, int timeoutMs)
{
    const qsizetype have = chunk.size();
    if (c.bufferedBytes() == 0 && c.isOpen()) {
        chunk.resize(qsizetype(n));  // within the capacity reserved for a chunk
        const qint64 r = c.takeReady(chunk.data() + have, n - have);
        chunk.resize(have + qsizetype(r));
        if (r > 0)
            return ReadStatus::Ok;
    }
    return c.readSome(chunk, n - have, timeoutMs);
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

qsizetype CopyLoop::DisconnectTail(const QByteArray& chunk)
{
    const QByteArray& p = disconnectBytes();
    const qsizetype most = qMin(chunk.size(), p.size());
    for (qsizetype k = most; k >= 1; --k) {
        if (chunk.endsWith(QByteArrayView(p.constData(), k)))
            return k;
    }
    return 0;
}

qint64 CopyLoop::CountedBytes(qint64 accepted, qint64 total)
{
    if (accepted >= total)
        return total;
    return accepted <= 0 ? 0 : accepted - accepted % kPiece;
}

TransferStatus CopyLoop::Receive(TcpConnection& c, TCRFileRec& rec, LocalFile& file, qint64 expected,
                                 qint64 chunkSize, int stallMs)
{
    chunkSize = EffectiveChunk(chunkSize);
    QByteArray chunk;
    chunk.reserve(qsizetype(qMin(chunkSize, qMax<qint64>(expected - file.Size(), 0))));
    rec.DoneBytes.store(file.Size());
    rec.SetLive(file.Size());
    // Bytes at the end of the last written chunk that look like the start of
    // block P: if nothing but the rest of P follows, they were no file data.
    QByteArray suspectTail;
    TransferStatus status = TransferStatus::Completed;
    const bool extended = ProtocolLevel::Extended(rec.Protocol);

    while (file.Size() < expected) {
        if (!rec.MayContinue()) {
            status = TransferStatus::Stopped;
            break;
        }
        const qint64 n = qMin(expected - file.Size(), chunkSize);
        chunk.truncate(0);
        // Short waits with the stop test between them: a sender that
        // trickles a byte now and then must not hold a stop for the whole
        // stall limit. A chunk not yet whole is dropped on a stop.
        auto lastByte = std::chrono::steady_clock::now();
        while (chunk.size() < n) {
            const ReadStatus st = readInto(c, chunk, n, kStopTestMs);
            const auto now = std::chrono::steady_clock::now();
            if (st == ReadStatus::Ok) {
                lastByte = now;
                rec.SetLive(file.Size() + chunk.size());
            } else if (st != ReadStatus::Timeout || now - lastByte >= std::chrono::milliseconds(stallMs)) {
                status = TransferStatus::ConnectionLost;
                break;
            }
            if (chunk.size() < n && !rec.MayContinue()) {
                status = TransferStatus::Stopped;
                break;
            }
        }
        if (status != TransferStatus::Completed) {
            if (!disconnectBytes().startsWith(suspectTail + chunk))
                suspectTail.clear();  // what followed the tail was data
            break;
        }
        // Between two of our own the sender never sends its closing block in
        // place of data, and the digest judges the bytes.
        const qsizetype tail = extended ? 0 : DisconnectTail(chunk);
        qint64 keep = n;
        if (tail > 0 && file.Size() + n == expected && peerClosesBehind(c)) {
            // The sender's closing block stood in place of the last bytes.
            keep = n - tail;
            status = TransferStatus::ConnectionLost;
        }
        const qint64 before = file.Size();
        if (!file.Append(chunk.constData(), keep)) {
            // Only whole chunks stay, so the copy resumes where its last
            // whole chunk ended; a full disk is told apart for the user.
            file.TruncateTo(before);
            const int error = file.LastError();
            status = error == ENOSPC || error == EDQUOT ? TransferStatus::DiskFull : TransferStatus::FileWriteError;
            rec.DoneBytes.store(file.Size());
            rec.SetLive(file.Size());
            break;
        }
        rec.DoneBytes.store(file.Size());
        rec.SetLive(file.Size());
        if (rec.Digest)
            rec.Digest->Update(chunk.constData(), keep);
        if (status != TransferStatus::Completed)
            break;
        suspectTail = chunk.right(tail);
        if (rec.Observer)
            rec.Observer->OnChunk(n);
    }
    if (status == TransferStatus::ConnectionLost && !suspectTail.isEmpty())
        file.TruncateTo(file.Size() - suspectTail.size());
    rec.DoneBytes.store(file.Size());
    rec.SetLive(file.Size());
    return status;
}

TransferStatus CopyLoop::Send(TcpConnection& c, TCRFileRec& rec, int fd, qint64 size, qint64 chunkSize,
                              qint64& position, int stallMs)
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
        if (rec.Digest)
            rec.Digest->Update(buffer.data(), n);
        if (rec.Observer)
            rec.Observer->OnChunk(n);
        // One write for the whole chunk (the bytes on the wire are the same
        // as piece by piece, at a fraction of the system calls); progress
        // follows what the socket really took.
        qint64 counted = 0;
        const qint64 base = position;
        const auto progress = [&](qint64 accepted) {
            const qint64 now = CountedBytes(accepted, n);
            if (now == counted)
                return;
            rec.DoneBytes.store(base + now, std::memory_order_relaxed);
            if (rec.Observer)
                rec.Observer->OnPiece(now - counted, base + now);
            counted = now;
        };
        if (!c.writeAll(buffer.data(), n, stallMs, progress))
            return TransferStatus::ConnectionLost;
        position += n;
    }
    return TransferStatus::Completed;
}

} // namespace corvid

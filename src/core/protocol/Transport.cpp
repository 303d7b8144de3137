#include "core/protocol/Transport.h"

#include "core/base/TextLines.h"
#include "core/protocol/Commands.h"
#include "core/protocol/SjisCodec.h"

#include <QElapsedTimer>

namespace corvid {
bool Transport::EncodeHeader(const HeaderBlock& b, QByteArray& wire)
{
    QByteArray out;
    for (const QByteArray& line : b) {
        if (line.contains('\r') || line.contains('\n'))
            return false;
        out += line;
        out += "\r\n";
    }
    wire += out;
    return true;
}

bool Transport::WriteHeader(TcpConnection& c, const HeaderBlock& b)
{
    QByteArray wire;
    return EncodeHeader(b, wire) && c.writeAll(wire);
}

bool Transport::ReadHeader(TcpConnection& c, HeaderBlock& b, int firstLineTimeoutMs)
{
    b.clear();
    int timeout = firstLineTimeoutMs;
    qint64 bytes = 0;
    QElapsedTimer sinceFirstLine;
    for (;;) {
        bool cutShort = false;  // this wait ends at the block's time limit
        if (sinceFirstLine.isValid()) {
            const qint64 left = kBlockReadLimitMs - sinceFirstLine.elapsed();
            if (left <= 0 || b.size() >= kMaxBlockLines) {
                // A trickle of lines, or a block that never ends: whoever
                // sends it is not a peer, and the stream is lost anyway.
                c.shutdown();
                return false;
            }
            cutShort = left < kNextLineTimeoutMs;
            timeout = int(qMin<qint64>(kNextLineTimeoutMs, left));
        }
        QByteArray raw;
        const ReadStatus s = c.readLine(raw, timeout, kLineLimit);
        if (s == ReadStatus::Closed)
            return false;
        if (s == ReadStatus::TooLong || (bytes += raw.size() + 2) > kMaxBlockBytes) {
            // The rest of that line would be read again and again; the
            // stream cannot be trusted any more.
            c.shutdown();
            return false;
        }
        if (s == ReadStatus::Timeout && cutShort) {
            c.shutdown();
            return false;
        }
        if (!sinceFirstLine.isValid())
            sinceFirstLine.start();
        // A timeout reads as the empty line; partial bytes stay buffered.
        const QByteArray line = s == ReadStatus::Ok ? TextLines::Trim(raw) : QByteArray();
        if (line.isEmpty() && b.isEmpty())
            return true;
        b.append(line);
        if (line.isEmpty())
            return true;
    }
}

bool Transport::SendStream(TcpConnection& c, const QByteArray& stream)
{
    return c.writeAll(stream);
}

bool Transport::ReadBody(TcpConnection& c, QByteArray& out, qint64 n, qint64 maxBytes)
{
    return ReadBody(c, out, n, maxBytes, kBodyStallMs);
}

bool Transport::ReadBody(TcpConnection& c, QByteArray& out, qint64 n, qint64 maxBytes, int stallMs)
{
    out.clear();
    if (n <= 0)
        return true;
    if (maxBytes >= 0 && n > maxBytes) {
        // The body stays unread, so nothing after it could be parsed.
        c.shutdown();
        return false;
    }
    // The announced count is not trusted for allocation: the buffer grows
    // with what really arrives.
    out.reserve(qsizetype(qMin<qint64>(n, 64 * 1024)));
    while (out.size() < n) {
        const ReadStatus s = c.readSome(out, qMin<qint64>(n - out.size(), kBodyPiece), stallMs);
        if (s != ReadStatus::Ok) {
            // A stalled peer leaves the stream mid-body: close it.
            c.shutdown();
            out.clear();
            return false;
        }
    }
    return true;
}

bool Transport::SendContent(TcpConnection& c, const QByteArray& token, const QByteArray& contentType,
                            const QByteArray& body)
{
    // The block and its body go out together, never split by another
    // thread's write.
    const auto lock = c.lockWrites();
    HeaderBlock b;
    Header::MakeSendHeader(b, token, contentType, body.size());
    if (!WriteHeader(c, b))
        return false;
    switch (Header::GetContentType(b)) {
    case CtMessage:
        return SendStream(c, body);
    case CtFileList: {
        HeaderBlock answer;
        if (Commands::ReadCommand(c, answer, kAnswerTimeoutMs) == CmdSend && Header::IsAccepted(answer))
            return SendStream(c, body);
        return false;
    }
    default:
        return false;
    }
}

bool Transport::SendContentNotice(TcpConnection& c, const QByteArray& token, const QByteArray& contentType,
                                  qint64 byteCount)
{
    HeaderBlock b;
    Header::MakeSendHeader(b, token, contentType, byteCount);
    return WriteHeader(c, b);
}

bool Transport::ReadMessageText(TcpConnection& c, qint64 n, QString& text)
{
    return ReadMessageText(c, n, text, kBodyStallMs);
}

bool Transport::ReadMessageText(TcpConnection& c, qint64 n, QString& text, int stallMs)
{
    text.clear();
    QByteArray body;
    if (!ReadBody(c, body, n, kMaxMessageBody, stallMs))
        return false;
    const qsizetype zero = body.indexOf('\0');
    if (zero >= 0)
        body.truncate(zero);
    QByteArray joined;
    joined.reserve(body.size() + 2);
    for (const QByteArray& line : TextLines::Split(body)) {
        joined += line;
        joined += "\r\n";
    }
    text = SjisCodec::decode(joined);
    return true;
}

} // namespace corvid

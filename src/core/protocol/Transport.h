#pragma once
#include "core/protocol/HeaderBlock.h"
#include "core/protocol/TcpConnection.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace corvid {

// The bytes on a connection: header blocks, counted bodies and whole
// streams, with every time limit of the protocol. Failures come back as
// false; nothing is thrown.
class Transport {
public:
    static constexpr int kLineLimit = 16384;                    // bytes before a line's LF, CR included
    static constexpr qint64 kMaxMessageBody = 1024 * 1024;      // largest chat-message body accepted
    static constexpr qint64 kMaxFileListBody = 64 * 1024 * 1024;  // largest file-list body accepted
    static constexpr qint64 kNoBodyLimit = -1;
    static constexpr int kBodyStallMs = 60000;       // a body read that gets no byte for this long fails
    static constexpr int kConnectTimeoutMs = 5000;   // TCP connect, session and transfer connections
    static constexpr int kAnswerTimeoutMs = 3000;    // first line of an expected answer
    static constexpr int kServerPollMs = 3000;       // first line of a block, server side
    static constexpr int kClientPollMs = 50;         // first line of a block, client side polling
    static constexpr int kClosingBlockTimeoutMs = 10000;  // first line of the closing block after Result
    static constexpr int kNextLineTimeoutMs = 500;   // each further line of a block
    static constexpr qint64 kBodyPiece = 1024;       // bodies are taken in pieces of at most this size
    // A block is far smaller than this; past it the peer is not speaking
    // the protocol and the connection is shut as for a too-long line.
    static constexpr int kMaxBlockLines = 256;
    static constexpr int kMaxBlockBytes = 64 * 1024;
    static constexpr int kBlockReadLimitMs = 10000;  // from the first line to the end of a block

    // Sends the block's lines, each followed by CR LF, as one write. A block
    // with a line that holds a CR or LF is not sent (it would forge lines).
    static bool WriteHeader(TcpConnection& c, const HeaderBlock& b);
    // The wire bytes of a block (lines + CR LF), appended to `wire`; false
    // (nothing appended) for a line holding CR or LF.
    static bool EncodeHeader(const HeaderBlock& b, QByteArray& wire);
    // Reads one block. True with an empty block when no line came within
    // firstLineTimeoutMs; a pause of 500 ms inside a block ends it. False on
    // a closed connection, a too-long line, or a block past kMaxBlockLines,
    // kMaxBlockBytes or kBlockReadLimitMs (the block keeps the lines read so
    // far; each of those also shuts the connection down).
    static bool ReadHeader(TcpConnection& c, HeaderBlock& b, int firstLineTimeoutMs);
    // Sends the whole stream; false on any failure.
    static bool SendStream(TcpConnection& c, const QByteArray& stream);
    // Reads exactly n bytes into out (n <= 0: nothing, true). Memory grows
    // only with the bytes that arrive. n above maxBytes (when maxBytes >= 0)
    // is refused and the connection shut down; so is a read that gets no
    // byte for stallMs (TcpConnection::kNoLimit: no limit).
    static bool ReadBody(TcpConnection& c, QByteArray& out, qint64 n, qint64 maxBytes = kNoBodyLimit);
    static bool ReadBody(TcpConnection& c, QByteArray& out, qint64 n, qint64 maxBytes, int stallMs);
    // Send block with the body's length, then the body: at once for
    // "Message", after an accepting answer for "FileList"; other content
    // types send the block only and give false.
    static bool SendContent(TcpConnection& c, const QByteArray& token, const QByteArray& contentType,
                            const QByteArray& body);
    // A Send block announcing byteCount bytes, with no body.
    static bool SendContentNotice(TcpConnection& c, const QByteArray& token, const QByteArray& contentType,
                                  qint64 byteCount);
    // Reads an n-byte chat-message body (refused above kMaxMessageBody): the
    // text up to a zero byte, as lines each followed by CR LF, decoded from
    // Shift-JIS.
    static bool ReadMessageText(TcpConnection& c, qint64 n, QString& text);
    static bool ReadMessageText(TcpConnection& c, qint64 n, QString& text, int stallMs);
};

} // namespace corvid

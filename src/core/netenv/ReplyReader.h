#pragma once
#include "core/protocol/TcpConnection.h"

#include <QByteArray>
#include <QList>

namespace corvid {

// Replies from a router or a web server are untrusted: every read here has
// a line limit, a line count and byte limit and an overall time limit, so
// no reply can make a read endless or its memory unbounded.
struct ReplyLimits {
    int lineBytes = 16384;          // bytes before a line's LF
    int maxLines = 4096;            // lines of one head or text body
    qint64 maxBytes = 1024 * 1024;  // bytes of one head, text body or counted body
    int overallMs = 10000;          // the whole head or body
    int nextLineMs = 500;           // each line after the first
};

enum class ReplyEnd {
    Done,       // an empty line, or a silence that counts as one
    Closed,     // the connection closed (or was shut down) first
    TooLong,    // a line, the line count or the byte count went over its limit
    OutOfTime,  // the overall time limit ran out
};

class ReplyReader {
public:
    // Reads lines the way header blocks are read: a line ends at LF (a CR
    // before it dropped), leading and trailing bytes up to 0x20 are trimmed,
    // the first line is awaited firstLineMs and each further one
    // limits.nextLineMs; an empty line (or a silence) ends the list and is
    // kept as its last entry. An empty first line gives an empty list. The
    // lines read before a failure stay in `lines`; a line without its LF is
    // never part of it.
    static ReplyEnd ReadLines(TcpConnection& c, QList<QByteArray>& lines, int firstLineMs,
                              const ReplyLimits& limits = {});
    // Reads exactly n bytes, in pieces of at most 1024. False when n is
    // above limits.maxBytes, the connection closes first or the overall
    // time limit runs out. n <= 0 reads nothing and gives true.
    static bool ReadExactly(TcpConnection& c, QByteArray& out, qint64 n, const ReplyLimits& limits = {});
};

} // namespace corvid

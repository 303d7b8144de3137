#pragma once
#include "core/protocol/HeaderBlock.h"
#include "core/protocol/TcpConnection.h"

#include <QByteArray>
#include <QList>

namespace corvid {

// The file-list conversations. List lines are wire bytes (Shift-JIS); the
// list text itself is built and read by the transfer queues. Pushing a list
// (blocks E, F) is Transport::SendContent with "FileList", and the server's
// notice of a new list (block D) is Transport::SendContentNotice with the
// bare token.
class FileListExchange {
public:
    // The most lines a list may have; past them a list is cut. A received
    // list holds at most one line more, so that whoever merges it can tell
    // that it was cut. The rest of a longer body is read and dropped
    // unscanned: the peer's bytes stay in step, the memory stays bounded.
    static constexpr qsizetype kMaxListLines = 100000;

    // Client side, new transfer connection: blocks H, I and the body. True
    // when the peer's list arrived; `lines` then holds its lines.
    static bool FetchFileList(TcpConnection& c, const QByteArray& token, QList<QByteArray>& lines);
    // Server side, answer to H: block I and the body.
    static bool SendFileList(TcpConnection& c, const QByteArray& token, const QByteArray& contentType,
                             const QByteArray& stream);
    // Server side, answer to E (held in `block`): block F, then the body.
    // True when the list arrived; `block` then holds the list's lines.
    static bool ReceiveFileList(TcpConnection& c, const QByteArray& token, HeaderBlock& block);
    // Server side, session connection: block G, asking the peer to push
    // its list.
    static bool RequestFileList(TcpConnection& c, const QByteArray& token);
};

} // namespace corvid

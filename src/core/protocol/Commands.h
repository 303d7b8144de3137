#pragma once
#include "core/protocol/HeaderBlock.h"
#include "core/protocol/TcpConnection.h"

#include <QByteArray>
#include <atomic>

namespace corvid {

// Reading commands, the Result exchange and the Connect handshake. Names
// are wire bytes (Shift-JIS); callers convert at the edge.
class Commands {
public:
    // Reads a block and returns its command code; CmdNothing when the read
    // failed or nothing came. The lines read stay in b.
    static int ReadCommand(TcpConnection& c, HeaderBlock& b, int firstLineTimeoutMs);
    // True only for a Result block saying "True" within the answer time.
    static bool ReadResult(TcpConnection& c);
    static bool SendResult(TcpConnection& c, const QByteArray& token, bool ok);

    // Client side: sends the Connect request, adopts the reply's protocol
    // number and fills peerName. True when the peer accepted.
    static bool RequestConnect(TcpConnection& c, std::atomic<int>& protocol, const QByteArray& token,
                               QByteArray& peerName, const QByteArray& ownName);
    // Server side: answers the Connect request held in b (b holds the reply
    // afterwards); lowers the protocol number to the peer's, refuses when
    // acceptAllowed is false or the request has no usable protocol number,
    // and shuts the connection down after a refusal. True when accepted.
    static bool AnswerConnect(TcpConnection& c, std::atomic<int>& protocol, const QByteArray& token,
                              bool acceptAllowed, HeaderBlock& b, QByteArray& peerName,
                              const QByteArray& ownName);
};

} // namespace corvid

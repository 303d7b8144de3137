#pragma once
#include "core/protocol/HeaderBlock.h"
#include "core/protocol/TcpConnection.h"

namespace corvid {

// What the session hands to the transfer side: blocks about file lists and
// files. Until a transfer side is attached, such blocks are ignored, which
// is also what the protocol does with any block it cannot serve.
class ISessionDispatch {
public:
    virtual ~ISessionDispatch() = default;

    // Server role, on the thread of the accepted connection `c` that carried
    // the block; the call may hold that thread for the whole conversation.
    virtual void AcceptPushedList(TcpConnection& c, HeaderBlock& block) = 0;
    virtual void AcceptPushedFile(TcpConnection& c, HeaderBlock& block) = 0;
    virtual void ServeListRequest(TcpConnection& c, HeaderBlock& block) = 0;
    virtual void ServeFileRequest(TcpConnection& c, HeaderBlock& block) = 0;

    // Client role, on the UI thread, for blocks of the session connection.
    virtual void PeerListChanged() = 0;
    virtual void PeerAsksForList() = 0;
    virtual void PeerAsksForFile(const HeaderBlock& block) = 0;
};

} // namespace corvid

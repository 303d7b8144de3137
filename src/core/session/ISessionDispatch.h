#pragma once
#include "core/protocol/HeaderBlock.h"
#include "core/protocol/TcpConnection.h"

#include <memory>

namespace corvid {

struct AcceptedConnection;

// What the session hands to the transfer side: blocks about file lists and
// files. Until a transfer side is attached, such blocks are ignored, which
// is also what the protocol does with any block it cannot serve.
class ISessionDispatch {
public:
    virtual ~ISessionDispatch() = default;

    // Server role, on the accepted connection's thread.
    virtual void AcceptPushedList(AcceptedConnection& c, HeaderBlock& block) = 0;
    virtual void AcceptPushedFile(AcceptedConnection& c, HeaderBlock& block) = 0;
    virtual void ServeListRequest(AcceptedConnection& c, HeaderBlock& block) = 0;
    virtual void ServeFileRequest(AcceptedConnection& c, HeaderBlock& block) = 0;

    // Client role, on the GUI thread (session connection poll).
    virtual void PeerListChanged() = 0;
    virtual void PeerAsksForList() = 0;
    virtual void PeerAsksForFile(const HeaderBlock& block) = 0;
};

} // namespace corvid

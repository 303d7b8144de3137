#pragma once
#include "core/session/ISessionDispatch.h"
#include "core/transfer/TransferRun.h"

#include <functional>

namespace corvid {

class TransferCenter;

// The transfer side of the session's dispatch: every file-list and file
// conversation the peer starts, in both roles.
//
// Server role, on the accepted connection's thread: only the session
// partner is served. A block from any other address (or while there is no
// session) gets no answer, which is the protocol's answer to a request it
// does not serve. A first step on the UI thread (a claim, building the
// list) is waited for; when that wait gives up (shutdown, or the connection
// was shut) nothing has happened and nothing more is done. Outcomes (a
// transfer's final step, a list's merge, result codes) are posted: they are
// recorded however late the UI thread is, once the connection is long gone.
//
// Client role, on the UI thread: the peer's requests on the session
// connection start workers, one per request, and none for a request this
// side would not serve.
//
// The partner comes from the center's session, the press of "リスト送信"
// goes to the center's window.
class TransferDispatch : public ISessionDispatch {
public:
    explicit TransferDispatch(TransferCenter& center);

    void AcceptPushedList(TcpConnection& c, HeaderBlock& block) override;
    void AcceptPushedFile(TcpConnection& c, HeaderBlock& block) override;
    void ServeListRequest(TcpConnection& c, HeaderBlock& block) override;
    void ServeFileRequest(TcpConnection& c, HeaderBlock& block) override;

    void PeerListChanged() override;
    void PeerAsksForList() override;
    void PeerAsksForFile(const HeaderBlock& block) override;

private:
    bool fromPartner(const TcpConnection& c) const;
    // The give-up test of a first step's wait: the connection was shut.
    static std::function<bool()> shut(const TcpConnection& c);
    TransferRun::Request requestOf(const HeaderBlock& block) const;
    // The session's protocol number (1 without a session).
    int protocol() const;
    // A file the partner asked for (Serve) or pushes (Accept), on its connection.
    void RunFileTransfer(TcpConnection& c, HeaderBlock& block, TransferRun::Flow flow);

    TransferCenter& center_;
};

} // namespace corvid

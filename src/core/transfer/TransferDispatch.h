#pragma once
#include "core/session/ISessionDispatch.h"

#include <QString>
#include <functional>

namespace corvid {

class TransferCenter;

// The transfer side of the session's dispatch: every file-list and file
// conversation the peer starts, in both roles.
//
// Server role, on the accepted connection's thread: only the session
// partner is served. A block from any other address (or while there is no
// session) gets no answer, which is the protocol's answer to a request it
// does not serve. Row steps go to the UI thread and wait; when that wait
// gives up (shutdown, or the connection was shut) nothing more is done.
//
// Client role, on the UI thread: the peer's requests on the session
// connection start workers.
class TransferDispatch : public ISessionDispatch {
public:
    struct Hooks {
        // The session partner's address as the listener sees it, empty
        // while there is none. Any thread.
        std::function<QString()> partnerAddress;
        // A programmatic press of "リスト送信" (UI thread).
        std::function<void()> sendListClicked;
    };

    TransferDispatch(TransferCenter& center, Hooks hooks);

    void AcceptPushedList(TcpConnection& c, HeaderBlock& block) override;
    void AcceptPushedFile(TcpConnection& c, HeaderBlock& block) override;
    void ServeListRequest(TcpConnection& c, HeaderBlock& block) override;
    void ServeFileRequest(TcpConnection& c, HeaderBlock& block) override;

    void PeerListChanged() override;
    void PeerAsksForList() override;
    void PeerAsksForFile(const HeaderBlock& block) override;

private:
    bool fromPartner(const TcpConnection& c) const;
    // Runs `step` on the UI thread and waits; false when it did not run.
    bool onUi(TcpConnection& c, const std::function<void()>& step);

    TransferCenter& center_;
    Hooks hooks_;
};

} // namespace corvid

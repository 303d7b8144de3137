#pragma once
#include "core/protocol/HeaderBlock.h"
#include "core/session/ConnectionServer.h"
#include "core/session/SecureUpgrade.h"

#include <QString>
#include <atomic>
#include <memory>
#include <mutex>

namespace corvid {

class ILogSink;
class ISessionDispatch;
class SessionState;
class UiHandOver;

// The server role: listens, answers the handshake, logs the partner's chat
// messages and hands the transfer blocks on. Every handler call runs on the
// accepted connection's own thread.
class SessionServer : private ConnectionServer::Handler {
public:
    // What the owner hears, on the UI thread.
    class Owner {
    public:
        virtual void serverSessionBegan(const QString& peerName, const QString& code) = 0;
        // A peer's Connect was accepted but its encryption or key was not:
        // no session began.
        virtual void serverPeerRefused(const QString& name, const QString& address, const SecureOutcome& secure) = 0;
        // Any accepted connection ended; `wasSession`: the one that had
        // shaken hands.
        virtual void serverConnectionEnded(bool wasSession) = 0;

    protected:
        ~Owner() = default;
    };

    // `dispatch` and everything else given must outlive stop().
    SessionServer(Owner& owner, UiHandOver& ui, std::weak_ptr<void> ownerAlive, SessionState& state, ILogSink& log,
                  const std::atomic<ISessionDispatch*>& dispatch);

    ConnectionServer& connections() { return server_; }
    const ConnectionServer& connections() const { return server_; }

private:
    void ServerConnect(AcceptedConnection& c) override;
    void ServerExecute(AcceptedConnection& c) override;
    void ServerDisconnect(AcceptedConnection& c) override;

    void serverHandshake(AcceptedConnection& c, HeaderBlock& block);
    // A connection that opened with a TLS handshake: a transfer connection
    // of the encrypted session's partner, or nothing we serve.
    void acceptTlsTransfer(AcceptedConnection& c);
    // Reads the body a Send block announced and logs it when the session's
    // partner sent it.
    void ReceiveChatMessage(AcceptedConnection& c, const HeaderBlock& block);

    Owner& owner_;
    UiHandOver& ui_;
    const std::weak_ptr<void> ownerAlive_;
    SessionState& state_;
    ILogSink& log_;
    const std::atomic<ISessionDispatch*>& dispatch_;
    std::mutex handshakeMutex_;  // one Connect answered at a time
    ConnectionServer server_;    // last: its threads go first
};

} // namespace corvid

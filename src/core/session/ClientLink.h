#pragma once
#include "core/base/Liveness.h"
#include "core/base/ThreadOwner.h"
#include "core/protocol/HeaderBlock.h"
#include "core/protocol/TcpConnection.h"
#include "core/session/IncomingChat.h"
#include "core/session/SecureUpgrade.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <memory>

namespace corvid {

class SessionState;
class UiHandOver;

// The client role's session connection and the one thread that connects,
// shakes hands and then reads it. What the thread learns reaches the owner
// on the UI thread. Dropping the link shuts its connection and joins the
// thread, which wakes at once from the shutdown; blocks it read and that
// have not been handed over by then are dropped with it.
class ClientLink {
public:
    // Untrusted: the peer accepted, but encryption or its key failed (the
    // outcome's line says why).
    enum class Handshake { Unreached, Refused, Untrusted, Accepted };

    // What the owner hears, on the UI thread.
    class Owner {
    public:
        // Once per link; also after the link has been dropped.
        virtual void linkHandshakeEnded(Handshake result, const QString& host, quint16 port,
                                        const QByteArray& peerName, const SecureOutcome& secure) = 0;
        // Every block read after the handshake, with the chat body that
        // followed a message.
        virtual void linkBlockArrived(const HeaderBlock& block, const IncomingChat& chat) = 0;

    protected:
        ~Owner() = default;
    };

    // `ownerAlive` guards the owner's steps; the state's protocol number is
    // lowered by the handshake. The state must outlive the link.
    ClientLink(Owner& owner, UiHandOver& ui, std::weak_ptr<void> ownerAlive, SessionState& state);
    ~ClientLink();
    ClientLink(const ClientLink&) = delete;
    ClientLink& operator=(const ClientLink&) = delete;

    // Once: connects to host:port and says `ownName` (already in the wire's
    // encoding) in the handshake.
    void start(const QString& host, quint16 port, const QByteArray& ownName);

    QString host() const { return host_; }
    quint16 port() const { return port_; }
    const std::shared_ptr<TcpConnection>& connection() const { return connection_; }
    // The thread has nothing more to do: the handshake failed, or the
    // connection ended.
    bool finished() const { return finished_; }

private:
    void run(QByteArray ownName);
    void read();

    Owner& owner_;
    UiHandOver& ui_;
    const std::weak_ptr<void> ownerAlive_;
    SessionState& state_;
    QString host_;
    quint16 port_ = 0;
    const std::shared_ptr<TcpConnection> connection_ = std::make_shared<TcpConnection>();
    std::atomic<bool> cancel_{false};
    std::atomic<bool> finished_{false};
    Liveness alive_;
    const std::weak_ptr<void> aliveToken_ = alive_.token();  // taken here, read by the thread
    ThreadOwner thread_;
};

} // namespace corvid

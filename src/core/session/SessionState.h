#pragma once
#include "core/base/Guarded.h"
#include "core/protocol/TcpConnection.h"

#include <QString>
#include <atomic>
#include <memory>

namespace corvid {

// What both roles and the UI thread share about the session: the names, the
// protocol number and the listening side's session connection. Written by
// connection threads and read everywhere, so every call is thread-safe.
class SessionState {
public:
    SessionState() = default;
    SessionState(const SessionState&) = delete;
    SessionState& operator=(const SessionState&) = delete;

    void setUserName(const QString& name);
    QString userName() const;
    QString peerName() const;
    void setPeerName(const QString& name);
    // Clears the peer name; true when there was one.
    bool clearPeerName();

    // The handshakes lower it to what the peer speaks.
    std::atomic<int>& protocol() { return protocol_; }
    int protocolNumber() const { return protocol_; }

    // Listening side: the connection that shook hands, and its peer address.
    std::shared_ptr<TcpConnection> serverSession() const;
    bool hasServerSession() const;
    QString partnerAddress() const;
    // `c` becomes the session connection; the peer name becomes `offered`
    // unless one is known. Gives the peer name.
    QString beginServerSession(std::shared_ptr<TcpConnection> c, const QString& address, const QString& offered);
    // When `c` is the session connection: no session and no peer name any
    // more, and true.
    bool endServerSession(const std::shared_ptr<TcpConnection>& c);

private:
    // The peer name changes with the session connection, so they share a lock.
    struct Peer {
        QString name;
        std::shared_ptr<TcpConnection> serverSession;
        QString address;
    };

    std::atomic<int> protocol_{1};
    Guarded<QString> userName_;
    Guarded<Peer> peer_;
};

} // namespace corvid

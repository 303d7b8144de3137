#pragma once
#include "core/base/Guarded.h"
#include "core/protocol/ProtocolLevel.h"
#include "core/protocol/TcpConnection.h"
#include "core/security/TlsContext.h"

#include <QString>
#include <atomic>
#include <memory>

namespace corvid {

class PeerPins;

// What both roles and the UI thread share about the session: the names, the
// protocol number and the listening side's session connection. Written by
// connection threads and read everywhere, so every call is thread-safe.
class SessionState {
public:
    // Pins in memory until the owner gives pins kept in a file.
    SessionState();
    ~SessionState();
    SessionState(const SessionState&) = delete;
    SessionState& operator=(const SessionState&) = delete;

    void setUserName(const QString& name);
    QString userName() const;
    QString peerName() const;
    void setPeerName(const QString& name);
    // Clears the peer name; true when there was one.
    bool clearPeerName();

    // The session's protocol number. Each new session starts at the own
    // number and its handshake lowers it to what the peer speaks, so one
    // original peer does not hold later sessions at its number.
    std::atomic<int>& protocol() { return protocol_; }
    int protocolNumber() const { return protocol_; }
    // The number this side offers (2; tests force 1 to play an original peer).
    int ownProtocol() const { return ownProtocol_; }
    void setOwnProtocol(int n) { ownProtocol_ = n; }
    // A new session's number before its handshake.
    void restartProtocol() { protocol_ = ownProtocol_.load(); }

    // The TLS set-up for peers of our own, the pinned keys, and how long a
    // TLS handshake and the confirmation after it may take.
    std::shared_ptr<const TlsContext> tlsContext() const { return tls_.get(); }
    void setTlsContext(std::shared_ptr<const TlsContext> tls) { tls_.set(std::move(tls)); }
    std::shared_ptr<PeerPins> pins() const { return pins_.get(); }
    void setPins(std::shared_ptr<PeerPins> pins) { pins_.set(std::move(pins)); }
    int tlsTimeoutMs() const { return tlsTimeoutMs_; }
    void setTlsTimeoutMs(int ms) { tlsTimeoutMs_ = ms; }
    // The key the partner proved in an encrypted session (empty: the
    // session is plaintext, or there is none), per role.
    QByteArray serverPartnerKey() const;
    QByteArray clientPartnerKey() const { return clientKey_.get(); }
    void setClientPartnerKey(const QByteArray& key) { clientKey_.set(key); }

    // Listening side: the connection that shook hands, and its peer address.
    std::shared_ptr<TcpConnection> serverSession() const;
    bool hasServerSession() const;
    QString partnerAddress() const;
    // `c` becomes the session connection; the peer name becomes `offered`
    // unless one is known. Gives the peer name.
    QString beginServerSession(std::shared_ptr<TcpConnection> c, const QString& address, const QString& offered,
                               const QByteArray& key = {});
    // When `c` is the session connection: no session and no peer name any
    // more, and true.
    bool endServerSession(const std::shared_ptr<TcpConnection>& c);

private:
    // The peer name changes with the session connection, so they share a lock.
    struct Peer {
        QString name;
        std::shared_ptr<TcpConnection> serverSession;
        QString address;
        QByteArray key;
    };

    std::atomic<int> ownProtocol_{ProtocolLevel::kOwn};
    std::atomic<int> protocol_{ProtocolLevel::kOwn};
    Guarded<QString> userName_;
    Guarded<Peer> peer_;
    Guarded<std::shared_ptr<const TlsContext>> tls_;
    Guarded<QByteArray> clientKey_;
    Guarded<std::shared_ptr<PeerPins>> pins_;
    std::atomic<int> tlsTimeoutMs_{kTlsTimeoutMs};

public:
    static constexpr int kTlsTimeoutMs = 10000;
};

} // namespace corvid

#pragma once
#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

namespace corvid {

class TlsContext;

// What the transfer side needs of the session: whether there is one, its
// role, where the client role's transfer connections go, who the partner
// is, and a way to write on the session connection. Implemented over the
// session controller by SessionControllerLink; tests give fakes.
class ISessionLink {
public:
    virtual ~ISessionLink() = default;

    // Server role: a session connection exists; client role: connected.
    // UI thread.
    virtual bool connected() const = 0;
    virtual bool serverRole() const = 0;
    // Client role: host and port of the session's peer, where transfer
    // connections go. False while not connected. UI thread.
    virtual bool clientPeer(QString& host, quint16& port) const = 0;
    // The session partner's address as the listener sees it, empty while
    // there is none. Any thread.
    virtual QString partnerAddress() const = 0;
    // The session's protocol number (2 between two of our own, 1 or less
    // with an original peer). Any thread.
    virtual int protocolNumber() const = 0;
    // An encrypted session: the key its partner proved (its transfer
    // connections must prove the same one) and the TLS set-up to open ours
    // with. Empty / null while the session is plaintext or there is none.
    // Any thread.
    virtual QByteArray partnerKey() const = 0;
    virtual std::shared_ptr<const TlsContext> tlsContext() const = 0;
    // Queues bytes for the session connection of the current role, written
    // off the UI thread; false when there is no session connection. `done`
    // runs on the UI thread when the write has ended. UI thread.
    virtual bool sendOnSession(QByteArray wire, std::function<void(bool ok)> done) = 0;
};

} // namespace corvid

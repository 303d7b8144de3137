#pragma once
#include "core/security/TlsContext.h"
#include "core/security/TrustRules.h"

#include <QByteArray>
#include <QString>

namespace corvid {

class PeerPins;
class TcpConnection;

// What the step after the Connect exchange decided: whether the session may
// begin, and what the log says about it.
struct SecureOutcome {
    bool proceed = false;
    bool encrypted = false;
    TrustVerdict verdict = TrustVerdict::NotEncrypted;
    QByteArray peerKey;   // the key the peer proved, when encrypted
    QByteArray knownKey;  // the pinned or invited key it was held against
    QString code;         // the verification code, when encrypted
    QString line;         // the system line: how the session is secured, or why it ends
};

// Right after an accepted Connect: between two of our own (protocol 2) the
// connection turns TLS (the listening side is the server), the Connect
// values are confirmed inside it together with the values of the
// verification code, each side judges the other's key against its pins,
// and the listening side says its verdict last, so both begin the session
// or neither does. With an original peer nothing is sent; only the pins
// are asked (a peer once encrypted must not come back in plaintext).
class SecureUpgrade {
public:
    struct Peer {
        int protocol = 0;
        QString name;       // as the pins know it
        QString address;    // the connecting side: the host as typed; the listener: the peer's address
        QByteArray ownWireName;
        QByteArray peerWireName;
    };

    static SecureOutcome Run(TcpConnection& c, TlsRole role, const TlsContext* tls, PeerPins& pins, int timeoutMs,
                             const Peer& peer);

private:
    static void RunClient(TcpConnection& c, const TlsContext& tls, PeerPins& pins, int timeoutMs, const Peer& peer,
                          SecureOutcome& out);
    static void RunServer(TcpConnection& c, const TlsContext& tls, PeerPins& pins, int timeoutMs, const Peer& peer,
                          SecureOutcome& out);
};

} // namespace corvid

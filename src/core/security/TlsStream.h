#pragma once
#include "core/security/OpenSslPtr.h"
#include "core/security/TlsContext.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>

namespace corvid {

// TLS on a connected socket the caller keeps owning. The socket is made
// non-blocking; callers wait with poll() when told WantRead/WantWrite, so a
// reader and a writer on two threads never hold the one lock while waiting.
class TlsStream {
public:
    // The first byte of every TLS handshake record.
    static constexpr char kHandshakeByte = 0x16;

    enum class Failure {
        None,
        Timeout,        // the peer stalled in the handshake
        Closed,         // the connection ended or was shut down
        NotTls,         // what came was not a TLS handshake
        NoCertificate,  // the peer presented none
        BadCertificate, // expired, not yet valid or not signed by its own key
        Refused,        // the peer turned our handshake down
        Injected,       // plaintext was already waiting where TLS had to begin
    };
    struct Result {
        std::unique_ptr<TlsStream> stream;  // set exactly when failure is None
        Failure failure = Failure::None;
        CertProblem problem = CertProblem::None;
        QString detail;  // OpenSSL's words, for the log
    };

    // Runs the handshake within timeoutMs. `shut` turning true ends the
    // wait (the socket's shutdown wakes poll()).
    static Result Handshake(int fd, const TlsContext& ctx, TlsRole role, int timeoutMs, const std::atomic<bool>& shut);

    enum class Io { Ok, WantRead, WantWrite, Closed };
    // One step each; `done` bytes moved when Ok.
    Io read(char* data, std::size_t size, std::size_t& done);
    Io write(const char* data, std::size_t size, std::size_t& done);

    // The peer's key, as fixed by the handshake.
    const QByteArray& peerFingerprint() const { return peerFingerprint_; }
    // Keying material bound to this session (RFC 8446 exporter); empty on failure.
    QByteArray exportKey(const char* label, int length) const;
    QString cipherName() const;

    TlsStream(SslPtr ssl, QByteArray peerFingerprint);

private:
    // What the last read or write came to; the lock is held.
    Io outcome(bool ok);

    mutable std::mutex mutex_;  // OpenSSL lets one thread at a time into an SSL object
    SslPtr ssl_;
    QByteArray peerFingerprint_;
};

} // namespace corvid

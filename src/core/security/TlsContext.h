#pragma once
#include "core/security/Identity.h"
#include "core/security/OpenSslPtr.h"

#include <QString>

#include <memory>

namespace corvid {

// Which end of a handshake: the listening side is the server.
enum class TlsRole { Client, Server };

// Why a peer's certificate was turned away.
enum class CertProblem { None, Missing, Expired, NotYetValid, BadSignature };

// TLS 1.3 only, both certificates presented, no resumption: every
// connection proves its key afresh. A peer's certificate is accepted when
// it is self-signed by its own key and valid today; whose key it is, is
// decided by the caller from its fingerprint (pins), not by any authority.
class TlsContext {
public:
    static std::shared_ptr<const TlsContext> Make(std::shared_ptr<const Identity> identity, QString* error = nullptr);

    SSL_CTX* get() const { return ctx_.get(); }
    const Identity& identity() const { return *identity_; }
    const std::shared_ptr<const Identity>& identityPtr() const { return identity_; }

    // The checks above, on a certificate as it arrived.
    static CertProblem Check(X509* cert);
    // What the verification of `ssl`'s peer found (None before it ran).
    static CertProblem ProblemOf(const SSL* ssl);

    TlsContext(SslCtxPtr ctx, std::shared_ptr<const Identity> identity);

private:
    SslCtxPtr ctx_;
    std::shared_ptr<const Identity> identity_;
};

} // namespace corvid

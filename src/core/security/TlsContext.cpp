#include "core/security/TlsContext.h"

#include <openssl/err.h>

#include <cstdint>

namespace corvid {
namespace {

// Where the verification callback leaves its finding for the handshake's caller.
int problemIndex()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

int verifyPeer(int /*preverified*/, X509_STORE_CTX* store)
{
    // Chain errors are expected (no authority vouches for a peer); only
    // the peer's own certificate is judged, by our rules.
    if (X509_STORE_CTX_get_error_depth(store) != 0)
        return 1;
    const CertProblem problem = TlsContext::Check(X509_STORE_CTX_get_current_cert(store));
    if (problem == CertProblem::None)
        return 1;
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    if (ssl)
        SSL_set_ex_data(ssl, problemIndex(), reinterpret_cast<void*>(std::intptr_t(problem)));
    return 0;
}

} // namespace

TlsContext::TlsContext(SslCtxPtr ctx, std::shared_ptr<const Identity> identity)
    : ctx_(std::move(ctx))
    , identity_(std::move(identity))
{
}

CertProblem TlsContext::Check(X509* cert)
{
    if (!cert)
        return CertProblem::Missing;
    if (X509_cmp_current_time(X509_get0_notBefore(cert)) >= 0)
        return CertProblem::NotYetValid;
    if (X509_cmp_current_time(X509_get0_notAfter(cert)) <= 0)
        return CertProblem::Expired;
    EVP_PKEY* key = X509_get0_pubkey(cert);
    const bool signedByItself = key && X509_verify(cert, key) == 1;
    ERR_clear_error();
    return signedByItself ? CertProblem::None : CertProblem::BadSignature;
}

CertProblem TlsContext::ProblemOf(const SSL* ssl)
{
    return CertProblem(std::intptr_t(SSL_get_ex_data(ssl, problemIndex())));
}

std::shared_ptr<const TlsContext> TlsContext::Make(std::shared_ptr<const Identity> identity, QString* error)
{
    problemIndex();  // made before any connection thread asks for it
    SslCtxPtr ctx(SSL_CTX_new(TLS_method()));
    const bool ok = ctx && identity && SSL_CTX_set_min_proto_version(ctx.get(), TLS1_3_VERSION)
                    && SSL_CTX_set_max_proto_version(ctx.get(), TLS1_3_VERSION)
                    // AES-GCM first: the processor does it in hardware.
                    && SSL_CTX_set_ciphersuites(ctx.get(),
                                                "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:"
                                                "TLS_CHACHA20_POLY1305_SHA256")
                    && SSL_CTX_use_certificate(ctx.get(), identity->certificate()) == 1
                    && SSL_CTX_use_PrivateKey(ctx.get(), identity->key()) == 1
                    && SSL_CTX_check_private_key(ctx.get()) == 1 && SSL_CTX_set_num_tickets(ctx.get(), 0) == 1;
    if (!ok) {
        if (error) {
            char buf[256] = {};
            ERR_error_string_n(ERR_get_error(), buf, sizeof buf);
            *error = QString::fromLatin1(buf);
        }
        ERR_clear_error();
        return nullptr;
    }
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Several records per recv(): a file's data costs fewer system calls.
    SSL_CTX_set_read_ahead(ctx.get(), 1);
    SSL_CTX_set_default_read_buffer_len(ctx.get(), 64 * 1024);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, verifyPeer);
    return std::make_shared<const TlsContext>(std::move(ctx), std::move(identity));
}

} // namespace corvid

#pragma once
// The yardstick for encrypted transfers: the same bytes as the plain copy
// (Harness.h) sent over loopback inside TLS 1.3 by OpenSSL alone, with a
// throwaway Ed25519 certificate on each side, both presented as between two
// of our own instances, and the cipher the program prefers. The receiving
// side writes what it reads to a file, one write per chunk.
#include "Harness.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace bench {

namespace tls {

template <auto Free> struct Freer {
    template <typename T> void operator()(T* p) const { Free(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Freer<X509_free>>;
using Ctx = std::unique_ptr<SSL_CTX, Freer<SSL_CTX_free>>;
using Ssl = std::unique_ptr<SSL, Freer<SSL_free>>;

constexpr const char* kCipher = "TLS_AES_128_GCM_SHA256";

inline std::string lastError()
{
    char text[256] = "no OpenSSL error queued";
    if (const unsigned long e = ERR_get_error())
        ERR_error_string_n(e, text, sizeof text);
    ERR_clear_error();
    return text;
}

// A key pair and a self-signed certificate valid for a day.
struct Identity {
    PKey key;
    Cert cert;
};

inline bool makeIdentity(Identity& id)
{
    id.key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    id.cert.reset(X509_new());
    if (!id.key || !id.cert)
        return false;
    X509* c = id.cert.get();
    X509_NAME* name = X509_get_subject_name(c);
    return X509_set_version(c, X509_VERSION_3) == 1 && ASN1_INTEGER_set(X509_get_serialNumber(c), 1) == 1
        && X509_gmtime_adj(X509_getm_notBefore(c), -60) && X509_gmtime_adj(X509_getm_notAfter(c), 86400)
        && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                      reinterpret_cast<const unsigned char*>("bench"), -1, -1, 0)
            == 1
        && X509_set_issuer_name(c, name) == 1 && X509_set_pubkey(c, id.key.get()) == 1
        // Ed25519 signs the whole message: no separate digest.
        && X509_sign(c, id.key.get(), nullptr) > 0;
}

// OpenSSL writes to the socket with write(): SIGPIPE ignored meanwhile.
struct IgnorePipe {
    IgnorePipe() { old = ::signal(SIGPIPE, SIG_IGN); }
    ~IgnorePipe() { ::signal(SIGPIPE, old); }
    IgnorePipe(const IgnorePipe&) = delete;
    IgnorePipe& operator=(const IgnorePipe&) = delete;
    sighandler_t old;
};

// Any certificate is taken: the yardstick costs what a check costs, whose
// key it is does not matter here.
inline int acceptAny(int, X509_STORE_CTX*)
{
    return 1;
}

// TLS 1.3 only, the one cipher, no tickets, the own certificate presented
// and the peer's asked for.
inline Ctx makeContext(bool server, const Identity& id)
{
    Ctx ctx(SSL_CTX_new(server ? TLS_server_method() : TLS_client_method()));
    if (!ctx)
        return ctx;
    SSL_CTX* c = ctx.get();
    const bool ok = SSL_CTX_set_min_proto_version(c, TLS1_3_VERSION) == 1
        && SSL_CTX_set_max_proto_version(c, TLS1_3_VERSION) == 1 && SSL_CTX_set_ciphersuites(c, kCipher) == 1
        && SSL_CTX_use_certificate(c, id.cert.get()) == 1 && SSL_CTX_use_PrivateKey(c, id.key.get()) == 1
        && SSL_CTX_check_private_key(c) == 1;
    if (!ok)
        return {};
    SSL_CTX_set_options(c, SSL_OP_NO_TICKET);
    SSL_CTX_set_verify(c, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, acceptAny);
    return ctx;
}

} // namespace tls

struct TlsCopy {
    PlainCopy copy;       // span -1: failed
    std::string cipher;   // as negotiated, seen by the sending side
    std::string version;
    std::string error;    // why it failed
};

// `source` copied to `dest` over loopback inside TLS: one read and one
// SSL_write per chunk, the receiver one write per chunk.
inline TlsCopy tlsCopy(const QString& source, const QString& dest, qint64 size, qint64 chunk)
{
    TlsCopy out;
    tls::Identity serverId, clientId;
    if (!tls::makeIdentity(serverId) || !tls::makeIdentity(clientId)) {
        out.error = "certificate: " + tls::lastError();
        return out;
    }
    const tls::Ctx serverCtx = tls::makeContext(true, serverId);
    const tls::Ctx clientCtx = tls::makeContext(false, clientId);
    if (!serverCtx || !clientCtx) {
        out.error = "context: " + tls::lastError();
        return out;
    }
    const int ls = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int result[2];
    if (::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(ls, 1) != 0
        || ::getsockname(ls, reinterpret_cast<sockaddr*>(&a), &len) != 0 || ::pipe(result) != 0) {
        ::close(ls);
        out.error = "loopback listener";
        return out;
    }
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        const int c = ::accept(ls, nullptr, nullptr);
        const int fd = ::open(QFile::encodeName(dest).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const tls::Ssl ssl(SSL_new(serverCtx.get()));
        std::vector<char> buf(static_cast<size_t>(chunk));
        const double cpu0 = processCpu();
        double t0 = 0, figures[2] = {-1, 0};  // span, CPU
        qint64 pos = 0;
        bool up = c >= 0 && fd >= 0 && ssl && SSL_set_fd(ssl.get(), c) == 1 && SSL_accept(ssl.get()) == 1;
        while (up && pos < size) {
            const qint64 n = std::min(chunk, size - pos);
            qint64 got = 0;
            size_t r = 0;
            while (got < n && SSL_read_ex(ssl.get(), buf.data() + got, size_t(n - got), &r) == 1) {
                if (t0 == 0)
                    t0 = now();
                got += qint64(r);
            }
            up = got == n && ::write(fd, buf.data(), size_t(n)) == n;
            pos += up ? n : 0;
        }
        if (pos == size)
            figures[0] = now() - t0;
        figures[1] = processCpu() - cpu0;
        (void)!::write(result[1], figures, sizeof figures);
        ::_exit(0);
    }
    ::close(result[1]);
    // A receiver that dies mid-copy is a failed copy, not a dead benchmark.
    const tls::IgnorePipe quiet;
    const double cpu0 = processCpu();
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    const int fd = ::open(QFile::encodeName(source).constData(), O_RDONLY);
    const tls::Ssl ssl(SSL_new(clientCtx.get()));
    bool sent = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && fd >= 0 && ssl
        && SSL_set_fd(ssl.get(), s) == 1 && SSL_connect(ssl.get()) == 1;
    if (sent) {
        out.cipher = SSL_CIPHER_get_name(SSL_get_current_cipher(ssl.get()));
        out.version = SSL_get_version(ssl.get());
    } else {
        out.error = "handshake: " + tls::lastError();
    }
    std::vector<char> buf(static_cast<size_t>(chunk));
    for (qint64 pos = 0; sent && pos < size;) {
        const qint64 n = std::min(chunk, size - pos);
        size_t w = 0;
        // A blocking socket without partial writes: the whole chunk or a failure.
        sent = ::pread(fd, buf.data(), size_t(n), pos) == n && SSL_write_ex(ssl.get(), buf.data(), size_t(n), &w) == 1
            && qint64(w) == n;
        pos += n;
    }
    if (!sent && out.error.empty())
        out.error = "send: " + tls::lastError();
    const double sendCpu = processCpu() - cpu0;
    double figures[2] = {-1, 0};
    if (!sent)  // the receiver may wait for bytes that never come
        ::kill(child, SIGKILL);
    else if (::read(result[0], figures, sizeof figures) != ssize_t(sizeof figures))
        figures[0] = -1;
    ::close(result[0]);
    ::close(s);
    ::close(fd);
    ::close(ls);
    ::waitpid(child, nullptr, 0);
    QFile::remove(dest);
    out.copy = {sent ? figures[0] : -1, sendCpu + figures[1], figures[1]};
    return out;
}

} // namespace bench

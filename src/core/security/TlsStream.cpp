#include "core/security/TlsStream.h"

#include "core/security/Fingerprint.h"

#include <openssl/err.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>

namespace corvid {
namespace {

using Clock = std::chrono::steady_clock;

QString errorText(unsigned long e)
{
    char buf[256] = {};
    ERR_error_string_n(e, buf, sizeof buf);
    return QString::fromLatin1(buf);
}

// Waits for `events` until the deadline; 0 on timeout, < 0 on failure.
int waitFor(int fd, short events, Clock::time_point end)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return 0;
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, int(left));
        if (r < 0 && errno == EINTR)
            continue;
        return r;
    }
}

// OpenSSL's socket BIO writes with write(), which raises SIGPIPE when the
// peer has gone; ours never does. The rest is the socket BIO's own.
int sendNoSignal(BIO* b, const char* data, int size)
{
    int fd = -1;
    BIO_get_fd(b, &fd);
    BIO_clear_retry_flags(b);
    const ssize_t n = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        BIO_set_retry_write(b);
    return int(n);
}

const BIO_METHOD* socketMethod()
{
    static const BIO_METHOD* const method = [] {
        const BIO_METHOD* plain = BIO_s_socket();
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "corvid socket");
        if (!m)
            return plain;
        BIO_meth_set_write(m, sendNoSignal);
        BIO_meth_set_read(m, BIO_meth_get_read(plain));
        BIO_meth_set_puts(m, BIO_meth_get_puts(plain));
        BIO_meth_set_ctrl(m, BIO_meth_get_ctrl(plain));
        BIO_meth_set_create(m, BIO_meth_get_create(plain));
        BIO_meth_set_destroy(m, BIO_meth_get_destroy(plain));
        return static_cast<const BIO_METHOD*>(m);
    }();
    return method;
}

} // namespace

TlsStream::TlsStream(SslPtr ssl, QByteArray peerFingerprint)
    : ssl_(std::move(ssl))
    , peerFingerprint_(std::move(peerFingerprint))
{
}

TlsStream::Result TlsStream::Handshake(int fd, const TlsContext& ctx, TlsRole role, int timeoutMs,
                                       const std::atomic<bool>& shut)
{
    Result out;
    const int flags = ::fcntl(fd, F_GETFL);
    SslPtr ssl(SSL_new(ctx.get()));
    BIO* bio = nullptr;
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 || !ssl || !(bio = BIO_new(socketMethod()))) {
        out.failure = Failure::Closed;
        ERR_clear_error();
        return out;
    }
    BIO_set_fd(bio, fd, BIO_NOCLOSE);
    SSL_set_bio(ssl.get(), bio, bio);  // the SSL owns it from here
    if (role == TlsRole::Server)
        SSL_set_accept_state(ssl.get());
    else
        SSL_set_connect_state(ssl.get());
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        ERR_clear_error();
        const int r = SSL_do_handshake(ssl.get());
        if (r == 1)
            break;
        const int err = SSL_get_error(ssl.get(), r);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            const int w = waitFor(fd, err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, end);
            if (shut) {
                out.failure = Failure::Closed;
                return out;
            }
            if (w == 0) {
                out.failure = Failure::Timeout;
                return out;
            }
            if (w > 0)
                continue;
        }
        const unsigned long e = ERR_peek_error();
        out.detail = e ? errorText(e) : QString();
        out.problem = TlsContext::ProblemOf(ssl.get());
        const int reason = ERR_GET_REASON(e);
        if (out.problem != CertProblem::None)
            out.failure = Failure::BadCertificate;
        else if (reason == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE)
            out.failure = Failure::NoCertificate;
        else if (reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_PACKET_LENGTH_TOO_LONG
                 || reason == SSL_R_RECORD_LENGTH_MISMATCH || reason == SSL_R_UNEXPECTED_MESSAGE
                 || reason == SSL_R_HTTP_REQUEST || reason == SSL_R_UNSUPPORTED_PROTOCOL
                 || reason == SSL_R_BAD_PACKET_LENGTH || reason == SSL_R_UNEXPECTED_RECORD)
            out.failure = Failure::NotTls;
        else if (ERR_GET_LIB(e) == ERR_LIB_SSL && reason >= SSL_AD_REASON_OFFSET)
            out.failure = Failure::Refused;  // an alert from the peer
        else
            out.failure = shut || err == SSL_ERROR_SYSCALL || err == SSL_ERROR_ZERO_RETURN ? Failure::Closed
                                                                                         : Failure::NotTls;
        ERR_clear_error();
        return out;
    }
    X509* peer = SSL_get0_peer_certificate(ssl.get());
    // The callback has judged it already; a second look costs nothing and
    // holds however the library was set up.
    if (const CertProblem p = TlsContext::Check(peer); p != CertProblem::None) {
        out.failure = p == CertProblem::Missing ? Failure::NoCertificate : Failure::BadCertificate;
        out.problem = p;
        return out;
    }
    out.stream = std::make_unique<TlsStream>(std::move(ssl), Fingerprint::OfCertificate(peer));
    return out;
}

TlsStream::Io TlsStream::outcome(bool ok)
{
    if (ok)
        return Io::Ok;
    const int err = SSL_get_error(ssl_.get(), 0);
    ERR_clear_error();
    if (err == SSL_ERROR_WANT_READ)
        return Io::WantRead;
    if (err == SSL_ERROR_WANT_WRITE)
        return Io::WantWrite;
    return Io::Closed;
}

TlsStream::Io TlsStream::read(char* data, std::size_t size, std::size_t& done)
{
    std::lock_guard guard(mutex_);
    ERR_clear_error();
    done = 0;
    return outcome(SSL_read_ex(ssl_.get(), data, size, &done) == 1);
}

TlsStream::Io TlsStream::write(const char* data, std::size_t size, std::size_t& done)
{
    std::lock_guard guard(mutex_);
    ERR_clear_error();
    done = 0;
    return outcome(SSL_write_ex(ssl_.get(), data, size, &done) == 1);
}

QByteArray TlsStream::exportKey(const char* label, int length) const
{
    std::lock_guard guard(mutex_);
    QByteArray out(length, '\0');
    if (SSL_export_keying_material(ssl_.get(), reinterpret_cast<unsigned char*>(out.data()), size_t(length), label,
                                   std::strlen(label), nullptr, 0, 0)
        != 1) {
        ERR_clear_error();
        return {};
    }
    return out;
}

QString TlsStream::cipherName() const
{
    std::lock_guard guard(mutex_);
    return QString::fromLatin1(SSL_get_cipher_name(ssl_.get()));
}

} // namespace corvid

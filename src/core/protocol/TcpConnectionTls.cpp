// TcpConnection's TLS half (the switch, encrypted reads and writes) and the direct take.
#include "core/protocol/TcpConnection.h"

#include "core/protocol/SocketDeadline.h"

#include <sys/socket.h>

namespace corvid {
namespace {
constexpr qsizetype kTlsReadChunk = 64 * 1024;
// One SSL_write at most this much, so that progress is told often.
constexpr qint64 kTlsWritePiece = 256 * 1024;
} // namespace

TlsStream::Result TcpConnection::startTls(const TlsContext& ctx, TlsRole role, int timeoutMs)
{
    TlsStream::Result r;
    if (fd_ < 0 || shut_ || eof_) {
        r.failure = TlsStream::Failure::Closed;
    } else if (bufferedBytes() > 0) {
        r.failure = TlsStream::Failure::Injected;
    } else {
        r = TlsStream::Handshake(fd_, ctx, role, timeoutMs, shut_);
        if (r.stream) {
            tls_ = std::move(r.stream);
            return r;
        }
    }
    shutdown();
    return r;
}

ReadStatus TcpConnection::peekFirstByte(char& byte, int timeoutMs)
{
    if (bufferedBytes() > 0) {
        byte = in_[inPos_];
        return ReadStatus::Ok;
    }
    const int fd = fd_;
    if (fd < 0 || shut_ || eof_)
        return ReadStatus::Closed;
    const SocketDeadline deadline(timeoutMs);
    for (;;) {
        const int r = deadline.poll(fd, POLLIN);
        if (r == 0)
            return ReadStatus::Timeout;
        if (r < 0 || shut_)
            return ReadStatus::Closed;
        const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n == 1)
            return ReadStatus::Ok;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        eof_ = true;
        open_ = false;
        return ReadStatus::Closed;
    }
}

qint64 TcpConnection::takeReady(char* data, qint64 size)
{
    const int fd = fd_;
    if (bufferedBytes() > 0 || fd < 0 || shut_ || eof_ || size <= 0)
        return 0;
    if (tls_) {
        std::size_t got = 0;
        return tls_->read(data, std::size_t(size), got) == TlsStream::Io::Ok ? qint64(got) : 0;
    }
    const ssize_t r = ::recv(fd, data, size_t(size), MSG_DONTWAIT);
    return r > 0 ? qint64(r) : 0;
}

ReadStatus TcpConnection::fillTls(int timeoutMs)
{
    const int fd = fd_;
    if (fd < 0)
        return ReadStatus::Closed;
    if (inPos_ > 0) {
        in_.remove(0, inPos_);
        inPos_ = 0;
    }
    const SocketDeadline deadline(timeoutMs);
    for (;;) {
        if (shut_)
            return ReadStatus::Closed;
        const qsizetype held = in_.size();
        in_.resize(held + kTlsReadChunk);
        std::size_t got = 0;
        const TlsStream::Io io = tls_->read(in_.data() + held, std::size_t(kTlsReadChunk), got);
        in_.resize(held + qsizetype(got));
        if (io == TlsStream::Io::Ok)
            return ReadStatus::Ok;
        if (io == TlsStream::Io::Closed)
            break;
        const int r = deadline.poll(fd, io == TlsStream::Io::WantRead ? POLLIN : POLLOUT);
        if (r == 0)
            return ReadStatus::Timeout;
        if (r < 0)
            break;
    }
    eof_ = true;
    open_ = false;
    return ReadStatus::Closed;
}

bool TcpConnection::writeTls(const char* data, qint64 size, int stallMs, const std::function<void(qint64)>& progress)
{
    if (stallMs == 0)
        stallMs = 1;
    qint64 accepted = 0;
    SocketDeadline idle(stallMs);  // restarted whenever the peer takes bytes
    while (accepted < size) {
        if (shut_)
            break;
        std::size_t put = 0;
        const TlsStream::Io io =
            tls_->write(data + accepted, std::size_t(qMin(size - accepted, kTlsWritePiece)), put);
        if (io == TlsStream::Io::Ok) {
            accepted += qint64(put);
            idle = SocketDeadline(stallMs);
            if (progress)
                progress(accepted);
            continue;
        }
        if (io == TlsStream::Io::Closed)
            break;
        const int r = idle.poll(fd_, io == TlsStream::Io::WantWrite ? POLLOUT : POLLIN);
        if (r > 0 && !shut_)
            continue;
        if (r == 0)
            shutdown();  // the peer stopped reading
        break;
    }
    if (accepted == size)
        return true;
    open_ = false;
    return false;
}

} // namespace corvid

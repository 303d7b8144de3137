#include "core/protocol/TcpConnection.h"

#include "core/protocol/SocketDeadline.h"
#include "core/protocol/TcpConnector.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

namespace corvid {
namespace {

// recv fills the input buffer in large reads even when callers take small
// pieces, so a body or a file costs few system calls.
constexpr qsizetype kRecvChunk = 64 * 1024;

QString addressText(const sockaddr_storage& ss)
{
    char buf[INET6_ADDRSTRLEN] = {};
    if (ss.ss_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&ss);
        inet_ntop(AF_INET, &a->sin_addr, buf, sizeof buf);
    } else if (ss.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&ss);
        // A dual-stack listener sees IPv4 peers as ::ffff:a.b.c.d; show them
        // the way users type them.
        if (IN6_IS_ADDR_V4MAPPED(&a->sin6_addr))
            inet_ntop(AF_INET, &a->sin6_addr.s6_addr[12], buf, sizeof buf);
        else
            inet_ntop(AF_INET6, &a->sin6_addr, buf, sizeof buf);
    }
    return QString::fromLatin1(buf);
}

quint16 portOf(const sockaddr_storage& ss)
{
    if (ss.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&ss)->sin_port);
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_port);
    return 0;
}

} // namespace

TcpConnection::TcpConnection(int fd)
{
    adopt(fd);
}

TcpConnection::~TcpConnection()
{
    close();
}

void TcpConnection::takeFrom(TcpConnection& other) noexcept
{
    fd_ = std::exchange(other.fd_, -1);
    open_ = other.open_.exchange(false);
    shut_ = other.shut_.exchange(false);
    eof_ = std::exchange(other.eof_, false);
    in_ = std::exchange(other.in_, QByteArray());
    inPos_ = std::exchange(other.inPos_, 0);
    scanned_ = std::exchange(other.scanned_, 0);
    writeStallMs_ = other.writeStallMs_.load();
    sendTimeoutMs_ = std::exchange(other.sendTimeoutMs_, 0);
    resolver_ = std::move(other.resolver_);
    tls_ = std::move(other.tls_);
}

TcpConnection::TcpConnection(TcpConnection&& other) noexcept
{
    std::lock_guard guard(other.fdMutex_);
    takeFrom(other);
}

TcpConnection& TcpConnection::operator=(TcpConnection&& other) noexcept
{
    if (this == &other)
        return *this;
    close();
    std::scoped_lock guard(fdMutex_, other.fdMutex_);
    takeFrom(other);
    return *this;
}

void TcpConnection::adopt(int fd)
{
    if (fd >= 0) {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    {
        std::lock_guard writeGuard(writeMutex_);
        std::lock_guard guard(fdMutex_);
        fd_ = fd;
        sendTimeoutMs_ = 0;
    }
    eof_ = false;
    in_.clear();
    inPos_ = 0;
    scanned_ = 0;
    shut_ = false;
    open_ = fd >= 0;
}

void TcpConnection::releaseFd()
{
    // A writer blocked in send() has been woken by shutdown(); wait for it
    // to leave before the descriptor goes away.
    std::lock_guard writeGuard(writeMutex_);
    std::lock_guard guard(fdMutex_);
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    tls_.reset();  // under both locks: no writer is inside it
}

bool TcpConnection::connectTo(const QString& host, quint16 port, int timeoutMs, QString* error,
                              const std::atomic<bool>* cancel)
{
    close();
    const int s = TcpConnector::open(host, port, timeoutMs, resolver_, error, cancel);
    if (s < 0)
        return false;
    adopt(s);
    return true;
}

bool TcpConnection::isOpen() const
{
    return open_.load();
}

ReadStatus TcpConnection::fill(int timeoutMs)
{
    if (eof_)
        return ReadStatus::Closed;
    if (tls_)
        return fillTls(timeoutMs);
    const int fd = fd_;
    if (fd < 0)
        return ReadStatus::Closed;
    const int r = SocketDeadline(timeoutMs).poll(fd, POLLIN);
    if (r == 0)
        return ReadStatus::Timeout;
    if (shut_)
        return ReadStatus::Closed;
    if (r < 0) {
        eof_ = true;
        open_ = false;
        return ReadStatus::Closed;
    }
    // Drop the bytes already taken before appending new ones.
    if (inPos_ > 0) {
        in_.remove(0, inPos_);
        inPos_ = 0;
    }
    const qsizetype held = in_.size();
    in_.resize(held + kRecvChunk);
    const ssize_t n = ::recv(fd, in_.data() + held, size_t(kRecvChunk), MSG_DONTWAIT);
    const int err = errno;
    in_.resize(held + (n > 0 ? qsizetype(n) : 0));
    if (n > 0)
        return ReadStatus::Ok;
    if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR))
        return ReadStatus::Ok;  // nothing after all; the caller waits again
    eof_ = true;
    open_ = false;
    return ReadStatus::Closed;
}

ReadStatus TcpConnection::readLine(QByteArray& line, int timeoutMs, int maxLen)
{
    line.clear();
    const SocketDeadline deadline(timeoutMs);
    for (;;) {
        if (shut_)
            return ReadStatus::Closed;
        const char* base = in_.constData() + inPos_;
        const qsizetype held = in_.size() - inPos_;
        // Only the bytes that arrived since the last look are searched.
        const void* lf = std::memchr(base + scanned_, '\n', size_t(held - scanned_));
        if (lf) {
            const qsizetype len = static_cast<const char*>(lf) - base;
            if (len > maxLen)
                return ReadStatus::TooLong;
            const qsizetype take = (len > 0 && base[len - 1] == '\r') ? len - 1 : len;
            line = QByteArray(base, take);
            inPos_ += len + 1;
            scanned_ = 0;
            return ReadStatus::Ok;
        }
        scanned_ = held;
        if (held > maxLen)
            return ReadStatus::TooLong;
        if (const ReadStatus s = fill(deadline.remaining()); s != ReadStatus::Ok)
            return s;
    }
}

ReadStatus TcpConnection::readSome(QByteArray& out, qint64 maxBytes, int timeoutMs)
{
    const SocketDeadline deadline(timeoutMs);
    for (;;) {
        if (shut_)
            return ReadStatus::Closed;
        const qsizetype held = in_.size() - inPos_;
        if (held > 0 || maxBytes <= 0) {
            const qsizetype take = qsizetype(qMin<qint64>(held, qMax<qint64>(maxBytes, 0)));
            out.append(in_.constData() + inPos_, take);
            inPos_ += take;
            scanned_ = qMax<qsizetype>(scanned_ - take, 0);
            return ReadStatus::Ok;
        }
        if (const ReadStatus s = fill(deadline.remaining()); s != ReadStatus::Ok)
            return s;
    }
}

qint64 TcpConnection::bufferedBytes() const
{
    return in_.size() - inPos_;
}

bool TcpConnection::writeAll(const char* data, qint64 size)
{
    return writeAll(data, size, writeStallMs_, {});
}

bool TcpConnection::writeAll(const char* data, qint64 size, int stallMs,
                             const std::function<void(qint64)>& progress)
{
    std::lock_guard guard(writeMutex_);
    const int fd = fd_;
    if (fd < 0 || shut_)
        return false;
    if (tls_)
        return writeTls(data, size, stallMs, progress);
    // 0 would read as "no limit" to the socket.
    if (stallMs == 0)
        stallMs = 1;
    // A blocking send() waits at most this long for room; it then returns
    // what it took, or EAGAIN when it took nothing. Set only when it changes:
    // block writes and file data alternate on one connection.
    const int sendTimeout = stallMs > 0 ? stallMs : 0;
    if (sendTimeout != sendTimeoutMs_) {
        timeval tv{};
        tv.tv_sec = sendTimeout / 1000;
        tv.tv_usec = (sendTimeout % 1000) * 1000;
        if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) == 0)
            sendTimeoutMs_ = sendTimeout;
    }
    qint64 accepted = 0;
    SocketDeadline idle(stallMs);  // restarted whenever the peer takes bytes
    while (accepted < size) {
        const ssize_t n = ::send(fd, data + accepted, size_t(size - accepted), MSG_NOSIGNAL);
        if (n > 0) {
            accepted += n;
            idle = SocketDeadline(stallMs);
            if (progress)
                progress(accepted);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int r = idle.poll(fd, POLLOUT);
            if (r > 0 && !shut_)
                continue;
            if (r == 0)
                shutdown();  // the peer stopped reading: nothing after this chunk could follow
        }
        open_ = false;
        return false;
    }
    return true;
}

void TcpConnection::shutdown()
{
    // Flags first, so that a reader woken by ::shutdown sees them.
    shut_ = true;
    open_ = false;
    std::lock_guard guard(fdMutex_);
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_RDWR);
}

void TcpConnection::setResolver(std::shared_ptr<IHostResolver> resolver)
{
    resolver_ = std::move(resolver);
}

void TcpConnection::abort()
{
    shut_ = true;
    open_ = false;
    {
        std::lock_guard guard(fdMutex_);
        if (fd_ >= 0) {
            const linger reset{1, 0};
            ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
    }
    close();
}

void TcpConnection::close()
{
    shutdown();
    releaseFd();
    in_.clear();
    inPos_ = 0;
    scanned_ = 0;
    eof_ = true;
}

namespace {
// The socket's own or its peer's address; false when there is none.
bool socketAddress(int fd, bool peer, sockaddr_storage& ss)
{
    socklen_t len = sizeof ss;
    auto* sa = reinterpret_cast<sockaddr*>(&ss);
    return fd >= 0 && (peer ? ::getpeername(fd, sa, &len) : ::getsockname(fd, sa, &len)) == 0;
}
} // namespace

QString TcpConnection::peerAddress() const
{
    sockaddr_storage ss{};
    return socketAddress(fd_, true, ss) ? addressText(ss) : QString();
}

quint16 TcpConnection::peerPort() const
{
    sockaddr_storage ss{};
    return socketAddress(fd_, true, ss) ? portOf(ss) : 0;
}

quint16 TcpConnection::localPort() const
{
    sockaddr_storage ss{};
    return socketAddress(fd_, false, ss) ? portOf(ss) : 0;
}

} // namespace corvid

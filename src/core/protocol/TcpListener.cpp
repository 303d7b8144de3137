#include "core/protocol/TcpListener.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

namespace corvid {
namespace {

QString errnoText(int e)
{
    return QString::fromStdString(std::error_code(e, std::generic_category()).message());
}

// Opens, binds and listens; returns the socket or -1 with errno set.
int openListening(int family, quint16 port)
{
    const int s = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0)
        return -1;
    const int one = 1;
    const int zero = 0;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int r;
    if (family == AF_INET6) {
        // One socket for both families where the host allows it.
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_any;
        a.sin6_port = htons(port);
        r = ::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(port);
        r = ::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    if (r == 0)
        r = ::listen(s, SOMAXCONN);
    if (r < 0) {
        const int err = errno;
        ::close(s);
        errno = err;
        return -1;
    }
    return s;
}

} // namespace

TcpListener::~TcpListener()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool TcpListener::listen(quint16 port, QString* error)
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    closing_ = false;
    int s = openListening(AF_INET6, port);
    if (s < 0 && errno != EADDRINUSE && errno != EACCES)
        s = openListening(AF_INET, port);
    if (s < 0) {
        if (error)
            *error = errnoText(errno);
        return false;
    }
    fd_ = s;
    return true;
}

quint16 TcpListener::port() const
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len) < 0)
        return 0;
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&ss)->sin_port);
}

std::optional<TcpConnection> TcpListener::accept(int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    while (fd_ >= 0 && !closing_) {
        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
            wait = left > 0 ? int(left) : 0;
        }
        pollfd p{fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, wait);
        if (closing_)
            break;
        if (r == 0)
            return std::nullopt;  // time is up; still listening
        if (r < 0) {
            if (errno == EINTR)
                continue;
            close();
            break;
        }
        const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0)
            return std::optional<TcpConnection>(std::in_place, c);
        switch (errno) {
        case EAGAIN:
#if EAGAIN != EWOULDBLOCK
        case EWOULDBLOCK:
#endif
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
            continue;  // that one peer is gone; keep listening
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            // Out of descriptors or memory: back off instead of spinning.
            ::poll(nullptr, 0, 100);
            continue;
        default:
            close();  // a listener that fails like this is not listening any more
            return std::nullopt;
        }
    }
    return std::nullopt;
}

void TcpListener::release()
{
    close();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void TcpListener::close()
{
    closing_ = true;
    // Wakes accept(); the descriptor itself is released by the destructor,
    // so a thread still inside accept() never sees it reused.
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_RDWR);
}

} // namespace corvid

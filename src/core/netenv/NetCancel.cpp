#include "core/netenv/NetCancel.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>

namespace corvid {
namespace {
constexpr int kSliceMs = 50;  // how soon a cancel is noticed during a connect
}

void NetCancel::cancel()
{
    cancelled_ = true;
    std::lock_guard lock(mutex_);
    if (watched_)
        watched_->shutdown();
}

void NetCancel::unwatch(TcpConnection& c)
{
    std::lock_guard lock(mutex_);
    if (watched_ == &c)
        watched_ = nullptr;
}

bool NetCancel::connect(TcpConnection& out, const QString& host, quint16 port, int timeoutMs)
{
    unwatch(out);
    out.close();
    if (cancelled_)
        return false;
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(qMax(0, timeoutMs));

    const QByteArray name = host.trimmed().toUtf8();
    if (name.isEmpty())
        return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.constData(), QByteArray::number(port).constData(), &hints, &found) != 0 || !found)
        return false;
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);

    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0)
        return false;
    int err = 0;
    if (::connect(s, list->ai_addr, list->ai_addrlen) < 0) {
        err = errno;
        if (err == EINPROGRESS || err == EINTR) {
            err = ETIMEDOUT;
            for (;;) {
                if (cancelled_)
                    break;
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
                if (left <= 0)
                    break;
                pollfd p{s, POLLOUT, 0};
                const int r = ::poll(&p, 1, int(qMin<qint64>(left, kSliceMs)));
                if (r < 0 && errno == EINTR)
                    continue;
                if (r < 0) {
                    err = errno;
                    break;
                }
                if (r > 0) {
                    socklen_t len = sizeof err;
                    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
                        err = errno;
                    break;
                }
            }
        }
    }
    if (err != 0 || cancelled_) {
        ::close(s);
        return false;
    }
    const int flags = ::fcntl(s, F_GETFL);
    if (flags >= 0)
        ::fcntl(s, F_SETFL, flags & ~O_NONBLOCK);
    out = TcpConnection(s);
    std::lock_guard lock(mutex_);
    watched_ = &out;
    // A cancel between the check above and the watch must still end it.
    if (cancelled_)
        out.shutdown();
    return true;
}

} // namespace corvid

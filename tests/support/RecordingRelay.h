#pragma once
// A TCP relay on 127.0.0.1 for tests that must see what travels on the
// wire: it listens on a free port, connects each accepted connection to the
// target port on 127.0.0.1 and forwards both ways, keeping every byte of
// each direction per connection. Plain blocking sockets, so that it passes
// on exactly what it got, a half close included, whatever the program does.
#include "core/base/ThreadOwner.h"
#include "core/base/UniqueFd.h"

#include <QByteArray>
#include <QtGlobal>

#include <arpa/inet.h>
#include <cerrno>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <vector>

namespace corvid::test {

class RecordingRelay {
public:
    // What went each way on one relayed connection.
    struct Capture {
        QByteArray up;    // from the connecting side to the target
        QByteArray down;  // from the target back
    };

    explicit RecordingRelay(quint16 targetPort) : target_(targetPort)
    {
        listen_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a = loopback(0);
        socklen_t len = sizeof a;
        if (!listen_.valid() || ::bind(listen_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0
            || ::listen(listen_.get(), 16) != 0
            || ::getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
        // shutdown() wakes the blocked accept().
        threads_.start([this] { acceptLoop(); }, [this] { ::shutdown(listen_.get(), SHUT_RDWR); });
    }
    ~RecordingRelay() { threads_.stopAll(); }
    RecordingRelay(const RecordingRelay&) = delete;
    RecordingRelay& operator=(const RecordingRelay&) = delete;

    // 0 when it could not listen.
    quint16 port() const { return port_; }
    // The connections so far, in the order they were accepted.
    std::vector<Capture> captures() const
    {
        std::lock_guard lock(mutex_);
        return captures_;
    }

private:
    struct Link {
        UniqueFd outer;  // accepted
        UniqueFd inner;  // to the target
        size_t index = 0;
        void shutBoth() const
        {
            ::shutdown(outer.get(), SHUT_RDWR);
            ::shutdown(inner.get(), SHUT_RDWR);
        }
    };

    static sockaddr_in loopback(quint16 port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }

    void acceptLoop()
    {
        for (;;) {
            auto link = std::make_shared<Link>();
            link->outer.reset(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!link->outer.valid()) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                return;  // shut down
            }
            link->inner.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            const sockaddr_in to = loopback(target_);
            if (!link->inner.valid() || ::connect(link->inner.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
                continue;  // the accepted side is closed with the link
            {
                std::lock_guard lock(mutex_);
                link->index = captures_.size();
                captures_.emplace_back();
            }
            for (const bool up : {true, false})
                threads_.start([this, link, up] { pump(*link, up); }, [link] { link->shutBoth(); });
        }
    }

    void pump(const Link& link, bool up)
    {
        const int from = up ? link.outer.get() : link.inner.get();
        const int to = up ? link.inner.get() : link.outer.get();
        char buf[64 * 1024];
        for (;;) {
            const ssize_t n = ::recv(from, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            {
                // Kept before it is passed on: once the far side has it, so has the capture.
                std::lock_guard lock(mutex_);
                Capture& c = captures_[link.index];
                (up ? c.up : c.down).append(buf, n);
            }
            for (ssize_t sent = 0; sent < n;) {
                const ssize_t k = ::send(to, buf + sent, size_t(n - sent), MSG_NOSIGNAL);
                if (k < 0 && errno == EINTR)
                    continue;
                if (k <= 0) {
                    link.shutBoth();
                    return;
                }
                sent += k;
            }
        }
        ::shutdown(to, SHUT_WR);  // the end of this direction, passed on
    }

    const quint16 target_;
    quint16 port_ = 0;
    UniqueFd listen_;
    mutable std::mutex mutex_;
    std::vector<Capture> captures_;  // under mutex_
    ThreadOwner threads_;            // last: joined before the rest goes
};

} // namespace corvid::test

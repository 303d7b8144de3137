#pragma once
#include <poll.h>

#include <cerrno>
#include <chrono>

namespace corvid {

// A time limit turned into a point in time, so that retries after EINTR or
// an empty wake-up do not extend the wait. Shared by connecting, reading and
// writing on one socket.
class SocketDeadline {
public:
    using Clock = std::chrono::steady_clock;

    // timeoutMs < 0: no limit.
    explicit SocketDeadline(int timeoutMs)
        : unlimited_(timeoutMs < 0)
        , end_(Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs))
    {
    }
    // Milliseconds left for poll(): -1 without a limit, never below 0.
    int remaining() const
    {
        if (unlimited_)
            return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end_ - Clock::now()).count();
        return left > 0 ? int(left) : 0;
    }
    // poll() on one descriptor until the limit, restarted after signals
    // without stretching it. Gives poll's result.
    int poll(int fd, short events) const
    {
        for (;;) {
            pollfd p{fd, events, 0};
            const int r = ::poll(&p, 1, remaining());
            if (r < 0 && errno == EINTR)
                continue;
            return r;
        }
    }

private:
    bool unlimited_;
    Clock::time_point end_;
};

} // namespace corvid

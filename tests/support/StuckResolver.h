#pragma once
// A name service that does not answer until it is let go; then every name
// is 127.0.0.1 and this machine is 192.168.7.7. Counts the questions, and
// the lists it gave and got back.
#include "core/protocol/HostResolver.h"

#include <QString>

#include <netdb.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace corvid::test {

class StuckResolver : public IHostResolver {
public:
    int resolve(const char*, const char* service, const addrinfo* hints, addrinfo** list) override
    {
        wait();
        addrinfo numeric = *hints;
        numeric.ai_flags |= AI_NUMERICHOST;
        const int rc = ::getaddrinfo("127.0.0.1", service, &numeric, list);
        std::lock_guard lock(mutex_);
        given_ += rc == 0 ? 1 : 0;
        return rc;
    }
    void release(addrinfo* list) override
    {
        ::freeaddrinfo(list);
        std::lock_guard lock(mutex_);
        ++returned_;
    }
    QString firstIpv4(const QByteArray&) override
    {
        wait();
        return QStringLiteral("192.168.7.7");
    }

    void letGo()
    {
        std::lock_guard lock(mutex_);
        free_ = true;
        changed_.notify_all();
    }
    bool waitAsked(int n)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return asked_ >= n; });
    }
    int asked() const { return read(asked_); }
    int given() const { return read(given_); }
    int returned() const { return read(returned_); }

private:
    void wait()
    {
        std::unique_lock lock(mutex_);
        ++asked_;
        changed_.notify_all();
        changed_.wait(lock, [this] { return free_; });
    }
    int read(const int& n) const
    {
        std::lock_guard lock(mutex_);
        return n;
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool free_ = false;
    int asked_ = 0;
    int given_ = 0;
    int returned_ = 0;
};

} // namespace corvid::test

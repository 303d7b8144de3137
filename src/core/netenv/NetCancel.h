#pragma once
#include "core/protocol/TcpConnection.h"

#include <QString>
#include <atomic>
#include <mutex>

namespace corvid {

// Lets another thread end a blocking network operation early: cancel()
// wakes a connect in progress and shuts down the connection being read, so
// the operation ends in its normal failure. Reset before the next operation.
class NetCancel {
public:
    // Any thread.
    void cancel();
    bool cancelled() const { return cancelled_.load(); }
    // Owner thread, between operations.
    void reset() { cancelled_ = false; }

    // Connects `out` to host:port within timeoutMs; cancel() ends the wait
    // within about 50 ms. On success `out` is watched until it is released with
    // unwatch() (or the next connect).
    bool connect(TcpConnection& out, const QString& host, quint16 port, int timeoutMs);
    void unwatch(TcpConnection& c);

private:
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    TcpConnection* watched_ = nullptr;
};

} // namespace corvid

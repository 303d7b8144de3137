#pragma once
#include "core/base/ThreadOwner.h"
#include "core/protocol/TcpConnection.h"

#include <QByteArray>
#include <atomic>
#include <functional>
#include <memory>

namespace corvid {

// Writes to session connections off the UI thread, one job after another
// on the queue thread of a ThreadOwner.
// A peer that stops reading holds this thread, never the window: a write
// that makes no progress for the stall limit fails and shuts its connection
// down. `done` runs on the writer's thread.
class OutboundWriter {
public:
    static constexpr int kDefaultStallMs = 10000;

    OutboundWriter() = default;
    ~OutboundWriter();
    OutboundWriter(const OutboundWriter&) = delete;
    OutboundWriter& operator=(const OutboundWriter&) = delete;

    void setStallMs(int ms) { stallMs_ = ms; }
    // Queues the bytes; false (and `done` never runs) once stopped.
    bool send(std::shared_ptr<TcpConnection> c, QByteArray wire, std::function<void(bool ok)> done);
    // The same with bytes that are costly to make: `prepare` makes them on
    // the writer's thread; when it returns false nothing is written and
    // `done(false)` follows.
    bool send(std::shared_ptr<TcpConnection> c, std::function<bool(QByteArray& wire)> prepare,
              std::function<void(bool ok)> done);
    // Ends the thread after the job in hand; callers shut the connections
    // down first so that a blocked write returns at once. Jobs not started
    // are dropped. Not from `done`.
    void stop();

private:
    struct Job {
        std::shared_ptr<TcpConnection> connection;
        QByteArray wire;
        std::function<bool(QByteArray&)> prepare;
        std::function<void(bool)> done;
    };
    bool enqueue(Job job);
    void write(Job& job) const;

    std::atomic<int> stallMs_{kDefaultStallMs};
    ThreadOwner threads_;
};

} // namespace corvid

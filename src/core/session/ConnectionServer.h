#pragma once
#include "core/base/Guarded.h"
#include "core/base/ThreadOwner.h"
#include "core/protocol/TcpConnection.h"
#include "core/protocol/TcpListener.h"

#include <QString>
#include <atomic>
#include <chrono>
#include <list>
#include <memory>

namespace corvid {

// What the listening side lets peers hold. The defaults are far above what
// two peers use: a session and a handful of transfers.
struct ConnectionLimits {
    int total = 64;           // open connections at once
    int perAddress = 16;      // of those, from one peer address
    int keptForPartner = 16;  // places of the total only the partner's address may take
    int idleMs = 10000;       // until the first block a handler serves (< 0: no limit)
};

// One accepted connection, as its thread and the caps see it.
struct AcceptedConnection {
    std::shared_ptr<TcpConnection> connection;
    QString address;                  // the peer's address, as the caps count it
    std::chrono::steady_clock::time_point acceptedAt;
    // Set by the handler once the peer has sent a block it serves; until
    // then the connection is closed when the idle limit runs out.
    std::atomic<bool> greeted{false};
    // Its thread only: the first byte has been looked at (TLS or a block).
    bool opened = false;
};

// The server role's sockets: one accept thread, one thread per accepted
// connection, all owned by one ThreadOwner per listening period. The
// handler runs on each connection's thread: ServerConnect once,
// ServerExecute again and again while the connection is open,
// ServerDisconnect once.
//
// The port may be reachable by anyone, so what a stranger can hold is
// bounded: connections over a cap are closed at once, before any thread is
// made for them, and a connection that has not said anything the handler
// serves within the idle limit is closed.
class ConnectionServer {
public:
    struct Handler {
        virtual ~Handler() = default;
        virtual void ServerConnect(AcceptedConnection& c) = 0;
        virtual void ServerExecute(AcceptedConnection& c) = 0;
        virtual void ServerDisconnect(AcceptedConnection& c) = 0;
    };

    using Limits = ConnectionLimits;

    explicit ConnectionServer(Handler& handler, Limits limits = {});
    ~ConnectionServer();
    ConnectionServer(const ConnectionServer&) = delete;
    ConnectionServer& operator=(const ConnectionServer&) = delete;

    bool start(quint16 port, QString* error = nullptr);
    // Stops accepting, wakes every connection and joins every thread.
    // Must not be called from a connection thread.
    void stop();
    bool isListening() const { return listening_; }
    quint16 port() const;

    // Any thread; applies to connections accepted from then on (the idle
    // limit also to those waiting for their first block).
    void setLimits(const Limits& limits);
    Limits limits() const;
    // The session partner's address (empty: none). Its connections may take
    // the places kept for it, so strangers from other addresses cannot
    // crowd it out.
    void setPartnerAddress(const QString& address);
    // Connections closed at once for being over a cap, since start.
    quint64 refusedCount() const { return refused_; }

private:
    using Accepted = std::shared_ptr<AcceptedConnection>;

    // What the caps are counted from, under one lock.
    struct Shared {
        Limits limits;
        QString partnerAddress;
        std::list<Accepted> connections;  // open ones; each leaves when its thread is done
    };

    void acceptLoop(ThreadOwner& threads);
    static bool admits(const Shared& s, const QString& address);
    // Shuts connections whose idle limit has run out; gives the wait until
    // the next one does (-1: none waits).
    int closeIdle();
    void serve(const Accepted& c);
    void forget(const Accepted& c);  // the connection no longer counts

    Handler& handler_;
    TcpListener listener_;
    // Made by start(), stopped and dropped by stop(): a stopped owner takes
    // no new threads. Touched by start() and stop() only.
    std::unique_ptr<ThreadOwner> threads_;
    std::atomic<bool> listening_{false};
    std::atomic<quint64> refused_{0};
    Guarded<Shared> shared_;
};

} // namespace corvid

#pragma once
#include "core/protocol/TcpConnection.h"
#include "core/protocol/TcpListener.h"

#include <QString>
#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace corvid {

// One accepted connection and the thread that serves it.
struct AcceptedConnection {
    std::shared_ptr<TcpConnection> connection;
    std::thread::id threadId;
    std::atomic<int> tid{0};          // kernel thread id, for priorities
    std::atomic<bool> finished{false};
    std::thread thread;
};

// The server role's sockets: one accept thread, one thread per accepted
// connection. The handler runs on each connection's thread: onConnect once,
// onExecute again and again while the connection is open, onDisconnect once.
class ConnectionServer {
public:
    struct Handler {
        virtual ~Handler() = default;
        virtual void onConnect(AcceptedConnection& c) = 0;
        virtual void onExecute(AcceptedConnection& c) = 0;
        virtual void onDisconnect(AcceptedConnection& c) = 0;
    };

    explicit ConnectionServer(Handler& handler);
    ~ConnectionServer();
    ConnectionServer(const ConnectionServer&) = delete;
    ConnectionServer& operator=(const ConnectionServer&) = delete;

    bool start(quint16 port, QString* error = nullptr);
    // Stops accepting, wakes every connection and joins every thread.
    // Must not be called from a connection thread.
    void stop();
    bool isListening() const { return listening_; }
    quint16 port() const;

    // Visits the connections still open (under the server's lock).
    void forEachConnection(const std::function<void(AcceptedConnection&)>& fn);

private:
    void acceptLoop();
    void serve(AcceptedConnection* c);
    void reapFinished();  // joins threads whose connection has ended

    Handler& handler_;
    TcpListener listener_;
    std::thread acceptThread_;
    std::atomic<bool> listening_{false};
    std::mutex mutex_;
    std::list<std::unique_ptr<AcceptedConnection>> connections_;
};

} // namespace corvid

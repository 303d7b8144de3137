#include "core/session/ConnectionServer.h"

#include <unistd.h>
#include <sys/syscall.h>

namespace corvid {

ConnectionServer::ConnectionServer(Handler& handler)
    : handler_(handler)
{
}

ConnectionServer::~ConnectionServer()
{
    stop();
}

bool ConnectionServer::start(quint16 port, QString* error)
{
    if (listening_)
        return true;
    if (!listener_.listen(port, error))
        return false;
    listening_ = true;
    acceptThread_ = std::thread([this] { acceptLoop(); });
    return true;
}

quint16 ConnectionServer::port() const
{
    return listener_.port();
}

void ConnectionServer::stop()
{
    listening_ = false;
    listener_.close();
    if (acceptThread_.joinable())
        acceptThread_.join();
    listener_.release();  // the port is free again once we stop
    // Wake every reader, then join outside the lock: the handlers may want it.
    std::list<std::unique_ptr<AcceptedConnection>> all;
    {
        std::lock_guard lock(mutex_);
        for (auto& c : connections_)
            c->connection->shutdown();
        all.swap(connections_);
    }
    for (auto& c : all)
        if (c->thread.joinable())
            c->thread.join();
}

void ConnectionServer::forEachConnection(const std::function<void(AcceptedConnection&)>& fn)
{
    reapFinished();
    std::lock_guard lock(mutex_);
    for (auto& c : connections_)
        if (!c->finished)
            fn(*c);
}

void ConnectionServer::acceptLoop()
{
    while (listening_) {
        std::optional<TcpConnection> conn = listener_.accept();
        if (!conn)
            break;
        reapFinished();
        auto rec = std::make_unique<AcceptedConnection>();
        rec->connection = std::make_shared<TcpConnection>(std::move(*conn));
        AcceptedConnection* raw = rec.get();
        std::lock_guard lock(mutex_);
        if (!listening_) {
            raw->connection->shutdown();
            break;
        }
        connections_.push_back(std::move(rec));
        raw->thread = std::thread([this, raw] { serve(raw); });
    }
}

void ConnectionServer::serve(AcceptedConnection* c)
{
    {
        std::lock_guard lock(mutex_);
        c->threadId = std::this_thread::get_id();
    }
    c->tid = int(::syscall(SYS_gettid));
    handler_.onConnect(*c);
    while (c->connection->isOpen())
        handler_.onExecute(*c);
    c->connection->shutdown();
    handler_.onDisconnect(*c);
    c->finished = true;
}

void ConnectionServer::reapFinished()
{
    std::list<std::unique_ptr<AcceptedConnection>> done;
    {
        std::lock_guard lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->finished) {
                done.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : done)
        c->thread.join();
}

} // namespace corvid

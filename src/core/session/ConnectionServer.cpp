#include "core/session/ConnectionServer.h"

#include <unistd.h>
#include <sys/syscall.h>

#include <algorithm>
#include <system_error>

namespace corvid {

using Clock = std::chrono::steady_clock;

ConnectionServer::ConnectionServer(Handler& handler, Limits limits)
    : handler_(handler)
    , limits_(limits)
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
    refused_ = 0;
    acceptThread_ = std::thread([this] { acceptLoop(); });
    return true;
}

quint16 ConnectionServer::port() const
{
    return listener_.port();
}

void ConnectionServer::setLimits(const Limits& limits)
{
    {
        std::lock_guard lock(mutex_);
        limits_ = limits;
    }
    // The accept thread waits for the next idle deadline; a shorter limit
    // is seen at its next wake-up (at the latest the old deadline).
}

ConnectionServer::Limits ConnectionServer::limits() const
{
    std::lock_guard lock(mutex_);
    return limits_;
}

void ConnectionServer::setPartnerAddress(const QString& address)
{
    std::lock_guard lock(mutex_);
    partnerAddress_ = address;
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

bool ConnectionServer::admits(const QString& address)
{
    int open = 0;
    int fromAddress = 0;
    for (const auto& c : connections_) {
        if (c->finished)
            continue;
        ++open;
        if (c->address == address)
            ++fromAddress;
    }
    const bool partner = !partnerAddress_.isEmpty() && address == partnerAddress_;
    const int room = partner ? limits_.total : limits_.total - limits_.keptForPartner;
    return open < room && fromAddress < limits_.perAddress;
}

int ConnectionServer::closeIdle()
{
    std::lock_guard lock(mutex_);
    if (limits_.idleMs < 0)
        return -1;
    const auto now = Clock::now();
    const auto limit = std::chrono::milliseconds(limits_.idleMs);
    Clock::duration next = Clock::duration::max();
    for (auto& c : connections_) {
        if (c->greeted || c->finished || !c->connection->isOpen())
            continue;
        const auto left = c->acceptedAt + limit - now;
        if (left <= Clock::duration::zero())
            c->connection->shutdown();  // its thread wakes and ends
        else
            next = std::min(next, left);
    }
    if (next == Clock::duration::max())
        return -1;
    return int(std::chrono::ceil<std::chrono::milliseconds>(next).count());
}

void ConnectionServer::acceptLoop()
{
    while (listening_) {
        std::optional<TcpConnection> conn = listener_.accept(closeIdle());
        if (!conn) {
            if (!listener_.isListening())
                break;
            continue;  // an idle limit ran out
        }
        reapFinished();
        auto rec = std::make_unique<AcceptedConnection>();
        rec->address = conn->peerAddress();
        rec->acceptedAt = Clock::now();
        std::lock_guard lock(mutex_);
        if (!listening_) {
            conn->shutdown();
            break;
        }
        if (!admits(rec->address)) {
            // No thread and nothing read: a reset, so nothing lingers here.
            ++refused_;
            conn->abort();
            continue;
        }
        rec->connection = std::make_shared<TcpConnection>(std::move(*conn));
        AcceptedConnection* raw = rec.get();
        try {
            raw->thread = std::thread([this, raw] { serve(raw); });
        } catch (const std::system_error&) {
            ++refused_;  // out of threads: this one is turned away like any over a cap
            raw->connection->abort();
            continue;
        }
        connections_.push_back(std::move(rec));
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

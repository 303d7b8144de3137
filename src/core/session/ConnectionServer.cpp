#include "core/session/ConnectionServer.h"

#include <algorithm>
#include <system_error>

namespace corvid {

using Clock = std::chrono::steady_clock;

ConnectionServer::ConnectionServer(Handler& handler, Limits limits)
    : handler_(handler)
    , shared_(Shared{ limits, {}, {} })
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
    threads_ = std::make_unique<ThreadOwner>();
    ThreadOwner& threads = *threads_;
    threads.start([this, &threads] { acceptLoop(threads); }, [this] { listener_.close(); });
    return true;
}

quint16 ConnectionServer::port() const
{
    return listener_.port();
}

void ConnectionServer::setLimits(const Limits& limits)
{
    shared_.with([&](Shared& s) { s.limits = limits; });
    // The accept thread waits for the next idle deadline; a shorter limit
    // is seen at its next wake-up (at the latest the old deadline).
}

ConnectionServer::Limits ConnectionServer::limits() const
{
    return shared_.with([](const Shared& s) { return s.limits; });
}

void ConnectionServer::setPartnerAddress(const QString& address)
{
    shared_.with([&](Shared& s) { s.partnerAddress = address; });
}

void ConnectionServer::stop()
{
    listening_ = false;
    // Closes the listener, shuts every connection down and joins every
    // thread; each connection has left the list by then.
    if (threads_) {
        threads_->stopAll();
        threads_.reset();
    }
    listener_.release();  // the port is free again once we stop
}

bool ConnectionServer::admits(const Shared& s, const QString& address)
{
    int open = 0;
    int fromAddress = 0;
    for (const auto& c : s.connections) {
        ++open;
        if (c->address == address)
            ++fromAddress;
    }
    const bool partner = !s.partnerAddress.isEmpty() && address == s.partnerAddress;
    const int room = partner ? s.limits.total : s.limits.total - s.limits.keptForPartner;
    return open < room && fromAddress < s.limits.perAddress;
}

int ConnectionServer::closeIdle()
{
    return shared_.with([](Shared& s) {
        if (s.limits.idleMs < 0)
            return -1;
        const auto now = Clock::now();
        const auto limit = std::chrono::milliseconds(s.limits.idleMs);
        Clock::duration next = Clock::duration::max();
        for (auto& c : s.connections) {
            if (c->greeted || !c->connection->isOpen())
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
    });
}

void ConnectionServer::acceptLoop(ThreadOwner& threads)
{
    while (listening_) {
        std::optional<TcpConnection> conn = listener_.accept(closeIdle());
        if (!conn) {
            if (!listener_.isListening())
                break;
            continue;  // an idle limit ran out
        }
        auto rec = std::make_shared<AcceptedConnection>();
        rec->address = conn->peerAddress();
        rec->acceptedAt = Clock::now();
        enum class Admission { Stopping, Refused, Counted };
        const Admission admission = shared_.with([&](Shared& s) {
            if (!listening_) {
                conn->shutdown();
                return Admission::Stopping;
            }
            if (!admits(s, rec->address)) {
                // No thread and nothing read: a reset, so nothing lingers here.
                ++refused_;
                conn->abort();
                return Admission::Refused;
            }
            rec->connection = std::make_shared<TcpConnection>(std::move(*conn));
            // Counted from now on, before its thread may already be done.
            s.connections.push_back(rec);
            return Admission::Counted;
        });
        if (admission == Admission::Stopping)
            break;
        if (admission == Admission::Refused)
            continue;
        bool started = false;
        try {
            started = threads.start([this, rec] { serve(rec); }, [rec] { rec->connection->shutdown(); });
        } catch (const std::system_error&) {
            ++refused_;  // out of threads: this one is turned away like any over a cap
            forget(rec);
            rec->connection->abort();
            continue;
        }
        if (!started) {  // stopping
            forget(rec);
            rec->connection->shutdown();
            break;
        }
    }
}

void ConnectionServer::serve(const Accepted& c)
{
    handler_.ServerConnect(*c);
    while (c->connection->isOpen())
        handler_.ServerExecute(*c);
    c->connection->shutdown();
    handler_.ServerDisconnect(*c);
    forget(c);
}

void ConnectionServer::forget(const Accepted& c)
{
    shared_.with([&](Shared& s) { s.connections.remove(c); });
}

} // namespace corvid

#include "core/netenv/NetCancel.h"

namespace corvid {

void NetCancel::cancel()
{
    cancelled_ = true;
    std::lock_guard lock(mutex_);
    if (watched_)
        watched_->shutdown();
}

void NetCancel::unwatch(TcpConnection& c)
{
    std::lock_guard lock(mutex_);
    if (watched_ == &c)
        watched_ = nullptr;
}

bool NetCancel::connect(TcpConnection& out, const QString& host, quint16 port, int timeoutMs)
{
    unwatch(out);
    out.close();
    if (cancelled_ || host.trimmed().isEmpty())
        return false;
    // The connection's own connect with a time limit, cut short by cancel().
    if (!out.connectTo(host, port, timeoutMs, nullptr, &cancelled_) || cancelled_) {
        out.close();
        return false;
    }
    std::lock_guard lock(mutex_);
    watched_ = &out;
    // A cancel between the check above and the watch must still end it.
    if (cancelled_)
        out.shutdown();
    return true;
}

} // namespace corvid

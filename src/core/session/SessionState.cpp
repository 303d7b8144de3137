#include "core/session/SessionState.h"

namespace corvid {

void SessionState::setUserName(const QString& name)
{
    std::lock_guard lock(mutex_);
    userName_ = name;
}

QString SessionState::userName() const
{
    std::lock_guard lock(mutex_);
    return userName_;
}

QString SessionState::peerName() const
{
    std::lock_guard lock(mutex_);
    return peerName_;
}

void SessionState::setPeerName(const QString& name)
{
    std::lock_guard lock(mutex_);
    peerName_ = name;
}

bool SessionState::clearPeerName()
{
    std::lock_guard lock(mutex_);
    const bool had = !peerName_.isEmpty();
    peerName_.clear();
    return had;
}

std::shared_ptr<TcpConnection> SessionState::serverSession() const
{
    std::lock_guard lock(mutex_);
    return serverSession_;
}

bool SessionState::hasServerSession() const
{
    std::lock_guard lock(mutex_);
    return serverSession_ != nullptr;
}

QString SessionState::partnerAddress() const
{
    std::lock_guard lock(mutex_);
    return partnerAddress_;
}

QString SessionState::beginServerSession(std::shared_ptr<TcpConnection> c, const QString& address,
                                         const QString& offered)
{
    std::lock_guard lock(mutex_);
    serverSession_ = std::move(c);
    partnerAddress_ = address;
    if (peerName_.isEmpty())
        peerName_ = offered;
    return peerName_;
}

bool SessionState::endServerSession(const std::shared_ptr<TcpConnection>& c)
{
    std::lock_guard lock(mutex_);
    if (!serverSession_ || serverSession_ != c)
        return false;
    serverSession_.reset();
    partnerAddress_.clear();
    peerName_.clear();
    return true;
}

} // namespace corvid

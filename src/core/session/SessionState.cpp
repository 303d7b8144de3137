#include "core/session/SessionState.h"

#include "core/security/PeerPins.h"

namespace corvid {

SessionState::SessionState()
    : pins_(std::make_shared<PeerPins>())
{
}

SessionState::~SessionState() = default;

QByteArray SessionState::serverPartnerKey() const
{
    return peer_.with([](const Peer& p) { return p.key; });
}

void SessionState::setUserName(const QString& name)
{
    userName_.set(name);
}

QString SessionState::userName() const
{
    return userName_.get();
}

QString SessionState::peerName() const
{
    return peer_.with([](const Peer& p) { return p.name; });
}

void SessionState::setPeerName(const QString& name)
{
    peer_.with([&](Peer& p) { p.name = name; });
}

bool SessionState::clearPeerName()
{
    return peer_.with([](Peer& p) {
        const bool had = !p.name.isEmpty();
        p.name.clear();
        return had;
    });
}

std::shared_ptr<TcpConnection> SessionState::serverSession() const
{
    return peer_.with([](const Peer& p) { return p.serverSession; });
}

bool SessionState::hasServerSession() const
{
    return peer_.with([](const Peer& p) { return p.serverSession != nullptr; });
}

QString SessionState::partnerAddress() const
{
    return peer_.with([](const Peer& p) { return p.address; });
}

QString SessionState::beginServerSession(std::shared_ptr<TcpConnection> c, const QString& address,
                                         const QString& offered, const QByteArray& key)
{
    return peer_.with([&](Peer& p) {
        p.serverSession = std::move(c);
        p.address = address;
        p.key = key;
        if (p.name.isEmpty())
            p.name = offered;
        return p.name;
    });
}

bool SessionState::endServerSession(const std::shared_ptr<TcpConnection>& c)
{
    return peer_.with([&](Peer& p) {
        if (!p.serverSession || p.serverSession != c)
            return false;
        p.serverSession.reset();
        p.address.clear();
        p.key.clear();
        p.name.clear();
        return true;
    });
}

} // namespace corvid

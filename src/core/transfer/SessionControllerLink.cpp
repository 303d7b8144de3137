#include "core/transfer/SessionControllerLink.h"

#include "core/session/SessionController.h"

namespace corvid {

bool SessionControllerLink::connected() const
{
    return session_.hasSessionConnection();
}

bool SessionControllerLink::serverRole() const
{
    return session_.serverMode();
}

bool SessionControllerLink::clientPeer(QString& host, quint16& port) const
{
    return session_.clientPeer(host, port);
}

QString SessionControllerLink::partnerAddress() const
{
    return session_.partnerAddress();
}

int SessionControllerLink::protocolNumber() const
{
    return session_.protocolNumber();
}

QByteArray SessionControllerLink::partnerKey() const
{
    return session_.partnerKey();
}

std::shared_ptr<const TlsContext> SessionControllerLink::tlsContext() const
{
    return session_.tlsContext();
}

bool SessionControllerLink::sendOnSession(QByteArray wire, std::function<void(bool ok)> done)
{
    return session_.SendOnSession(std::move(wire), std::move(done));
}

} // namespace corvid

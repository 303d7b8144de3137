#pragma once
#include "core/transfer/ISessionLink.h"

namespace corvid {

class SessionController;

// The transfer side's view of the session controller.
class SessionControllerLink : public ISessionLink {
public:
    explicit SessionControllerLink(SessionController& session) : session_(session) {}

    bool connected() const override;
    bool serverRole() const override;
    bool clientPeer(QString& host, quint16& port) const override;
    QString partnerAddress() const override;
    int protocolNumber() const override;
    QByteArray partnerKey() const override;
    std::shared_ptr<const TlsContext> tlsContext() const override;
    bool sendOnSession(QByteArray wire, std::function<void(bool ok)> done) override;

private:
    SessionController& session_;
};

} // namespace corvid

#pragma once
// Small stand-ins for what the transfer side works with: the session, the
// transfer window and an observer that keeps the result codes. Each
// answers from its fields; the UI-thread ones are touched on that thread.
#include "core/transfer/ISessionLink.h"
#include "core/transfer/ITransferEventObserver.h"
#include "core/transfer/ITransferWindow.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <functional>

namespace corvid::test {

struct FakeSessionLink : ISessionLink {
    bool isConnected = false;
    bool server = false;
    QString host;       // clientPeer: none while port is 0
    quint16 port = 0;
    QList<QByteArray> sent;  // every write handed over
    bool takes = true;       // what sendOnSession answers
    std::function<void(bool)> lastDone;

    bool connected() const override { return isConnected; }
    bool serverRole() const override { return server; }
    bool clientPeer(QString& h, quint16& p) const override
    {
        if (port == 0)
            return false;
        h = host;
        p = port;
        return true;
    }
    QString partnerAddress() const override { return {}; }
    int protocol = 1;  // an original peer unless a test says otherwise
    int protocolNumber() const override { return protocol; }
    QByteArray key;  // an encrypted session's partner key (empty: plaintext)
    std::shared_ptr<const TlsContext> tls;
    QByteArray partnerKey() const override { return key; }
    std::shared_ptr<const TlsContext> tlsContext() const override { return tls; }
    bool sendOnSession(QByteArray wire, std::function<void(bool ok)> done) override
    {
        sent << wire;
        lastDone = std::move(done);
        return takes;
    }
};

struct FakeTransferWindow : ITransferWindow {
    bool priority = false;
    std::function<void()> onPressReceive;
    int sendListPresses = 0;
    int arrivals = 0;

    bool priorityPressed() const override { return priority; }
    void pressReceive() override
    {
        if (onPressReceive)
            onPressReceive();
    }
    void pressSendList() override { ++sendListPresses; }
    void listArrived() override { ++arrivals; }
};

struct EventRecorder : ITransferEventObserver {
    QList<QPair<int, QString>> events;

    void transferEvent(int code, const QString& name) override { events.append({code, name}); }
};

} // namespace corvid::test

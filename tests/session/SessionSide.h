#pragma once
#include "FakeLog.h"

#include "core/session/SessionController.h"
#include "core/session/UiHandOver.h"

#include <QSignalSpy>

namespace corvid::test {

// One program instance's session: its log, its hand-over and its controller.
struct Side {
    FakeLog log;
    UiHandOver ui;
    SessionController ctl{log, ui};
    explicit Side(const QString& name) { ctl.setUserName(name); }

    // Connects and waits for the outcome, as the window does.
    SessionController::ConnectOutcome connect(const QString& host, const QString& port, int waitMs = 10000)
    {
        QSignalSpy done(&ctl, &SessionController::connectFinished);
        const auto started = ctl.connectToPeer(host, port);
        if (started != SessionController::ConnectOutcome::Pending)
            return started;
        if (done.isEmpty() && !done.wait(waitMs))
            return SessionController::ConnectOutcome::Busy;
        return done.first().at(0).value<SessionController::ConnectOutcome>();
    }
};

// A listening side on an ephemeral port.
struct ServerSide : Side {
    explicit ServerSide(const QString& name = QStringLiteral("Aki")) : Side(name)
    {
        ctl.startServer(0);
        ctl.setServerMode(true);
    }
    QString port() const { return QString::number(ctl.listeningPort()); }
};

} // namespace corvid::test

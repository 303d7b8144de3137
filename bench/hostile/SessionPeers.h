#pragma once
// The program's sides (a session controller with its log and hand-over) for
// the session benchmark, and the hostile peers of the unit suite to face
// them.
#include "UiProbe.h"

#include "core/session/SessionController.h"
#include "core/session/UiHandOver.h"
#include "session/FakeLog.h"
#include "session/HostilePeers.h"

namespace bench {

using corvid::test::RawClient;
using corvid::test::RawServer;
using corvid::test::SilentPort;
using corvid::test::trickle;
using corvid::test::Typist;

// One program instance's session. Its log copies a line once as it comes
// and its questions search in place, so that polling it costs the UI thread
// nothing measurable even with megabyte lines: what is measured is the
// program.
struct Side {
    corvid::test::FakeLog log;
    corvid::UiHandOver ui;
    corvid::SessionController ctl{log, ui};
    explicit Side(const QString& name = QStringLiteral("Ben")) { ctl.setUserName(name); }
    // Connects and waits for the outcome; true when connected.
    bool connect(const QString& port)
    {
        if (ctl.connectToPeer(QStringLiteral("127.0.0.1"), port) != corvid::SessionController::ConnectOutcome::Pending)
            return false;
        return waitUntil([&] { return !ctl.isConnecting(); }, 10000) && ctl.isClientConnected();
    }
};

struct ServerSide : Side {
    explicit ServerSide(const QString& name = QStringLiteral("Aki")) : Side(name)
    {
        ctl.startServer(0);
        ctl.setServerMode(true);
    }
};

} // namespace bench

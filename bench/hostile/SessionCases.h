#pragma once
// Hostile peers against the session: how late the UI thread runs while
// they do their worst, and how long closing takes in the middle of it. The
// yardsticks are 100 ms of UI lateness (a pause a user does not notice) and
// 1 s to close; each case also checks that the session behaved as the unit
// suite says, so a figure of a broken run is not taken for a good one.
#include "SessionPeers.h"

#include <QElapsedTimer>

#include <cstdio>
#include <memory>

namespace bench {

constexpr double kLatenessYardstickMs = 100;
constexpr double kCloseYardstickMs = 1000;
constexpr int kSessionWaitMs = 30000;  // a slow settle is not what is measured here

inline bool behaved(bool ok, const char* what)
{
    if (!ok)
        std::printf("  %-62s did not happen: the figure above is not valid\n", what);
    return ok;
}

// Both roles at once face a partner that trickles a 100,000-byte message.
inline bool trickledMessageBody(int watchMs)
{
    RawServer server(trickle);
    Side client;
    ServerSide listening;
    if (!behaved(client.connect(server.port()), "client connects"))
        return false;
    RawClient partner(listening.ctl.listeningPort(), trickle);
    if (!behaved(waitUntil([&] { return listening.ctl.hasServerSession(); }, kSessionWaitMs), "server session"))
        return false;
    LatenessProbe probe;
    probe.start();
    spin(watchMs);
    bool ok = client.ctl.isClientConnected() && listening.ctl.hasServerSession()
              && client.ctl.SendChatMessage(QStringLiteral("still here"));
    ok = ok && waitUntil([&] { return client.log.kindOf(QStringLiteral("still here\r\n")) == corvid::LineOwn; },
                         kSessionWaitMs);
    char what[96];
    std::snprintf(what, sizeof what, "trickled message, both roles, %d s: worst lateness", watchMs / 1000);
    const bool met = report(what, double(probe.stop()), kLatenessYardstickMs, "ms");
    return behaved(ok, "session goes on and still talks") && met;
}

// A partner that never reads while the user sends 1 MB messages, one Enter
// every 20 ms: the send fails at the stall limit and the session closes.
inline bool peerThatNeverReads(bool serverRole)
{
    const QString big(1000 * 1000, QLatin1Char('x'));
    std::unique_ptr<RawServer> server;
    std::unique_ptr<RawClient> partner;
    ServerSide listening;
    Side client;
    Side& me = serverRole ? static_cast<Side&>(listening) : client;
    me.ctl.setSendStallMs(1000);
    if (serverRole) {
        partner = std::make_unique<RawClient>(listening.ctl.listeningPort(), nullptr);
        if (!behaved(waitUntil([&] { return listening.ctl.hasServerSession(); }, kSessionWaitMs), "server session"))
            return false;
    } else {
        server = std::make_unique<RawServer>(nullptr);
        if (!behaved(client.connect(server->port()), "client connects"))
            return false;
    }
    LatenessProbe probe;
    probe.start();
    QElapsedTimer clock;
    clock.start();
    Typist typing(me.ctl, big);
    const bool ok =
        waitUntil([&] { return me.log.anyStartsWith(QStringLiteral("メッセージ送信失敗：xxx")); }, kSessionWaitMs)
        && waitUntil([&] { return me.log.contains(QStringLiteral("切断")); }, kSessionWaitMs)
        && waitUntil([&] { return !me.ctl.hasSessionConnection() && !me.ctl.chatInFlight(); }, kSessionWaitMs);
    typing.stop();
    const qint64 worst = probe.stop();
    char what[96];
    std::snprintf(what, sizeof what, "never reads, %s role (%d MB sent, %.1f s): worst lateness",
                  serverRole ? "server" : "client", typing.sent(), double(clock.elapsed()) / 1000);
    const bool met = report(what, double(worst), kLatenessYardstickMs, "ms");
    return behaved(ok && typing.sent() > 3, "send fails and the session closes") && met;
}

// A handshake that is never answered, and a connect that is never accepted.
inline bool unansweredConnects()
{
    RawServer mute(nullptr, false);
    SilentPort silent;
    const struct {
        const char* name;
        QString port;
        QString line;
    } cases[] = {
        {"handshake never answered", mute.port(), QStringLiteral("接続失敗")},
        {"connect never answered", QString::number(silent.port), QStringLiteral("サーバが見つかりません")},
    };
    bool ok = true;
    for (const auto& c : cases) {
        Side b;
        LatenessProbe probe;
        probe.start();
        QElapsedTimer clock;
        clock.start();
        const bool pending =
            b.ctl.connectToPeer(QStringLiteral("127.0.0.1"), c.port) == corvid::SessionController::ConnectOutcome::Pending;
        const bool told = pending && waitUntil([&] { return b.log.contains(c.line); }, kSessionWaitMs);
        const qint64 worst = probe.stop();
        char what[96];
        std::snprintf(what, sizeof what, "%s (told after %.1f s): worst lateness", c.name,
                      double(clock.elapsed()) / 1000);
        ok &= report(what, double(worst), kLatenessYardstickMs, "ms");
        ok &= behaved(told, "the failure line");
    }
    return ok;
}

// Closing a side in the middle of each case: every thread wakes at the
// shutdown, none runs into its time limit.
inline bool closingDuringEachCase()
{
    RawServer mute(nullptr, false);
    SilentPort silent;
    RawServer trickler(trickle);
    RawServer deaf(nullptr);
    const std::pair<const char*, QString> targets[] = {
        {"close: handshake never answered", mute.port()},
        {"close: connect never answered", QString::number(silent.port)},
        {"close: trickled message", trickler.port()},
        {"close: never reads, 8 MB queued", deaf.port()},
    };
    bool ok = true;
    QElapsedTimer t;
    for (const auto& [name, port] : targets) {
        auto b = std::make_unique<Side>();
        b->ctl.connectToPeer(QStringLiteral("127.0.0.1"), port);
        spin(300);  // well inside each peer's stall
        if (b->ctl.isClientConnected())
            for (int i = 0; i < 8; ++i)
                b->ctl.SendChatMessage(QString(1000 * 1000, QLatin1Char('y')));
        t.start();
        b.reset();
        ok &= report(name, double(t.elapsed()), kCloseYardstickMs, "ms");
    }
    auto a = std::make_unique<ServerSide>();
    RawClient partner(a->ctl.listeningPort(), trickle);
    ok &= behaved(waitUntil([&] { return a->ctl.hasServerSession(); }, kSessionWaitMs), "server session");
    t.start();
    a.reset();
    ok &= report("close: listening side, trickling partner", double(t.elapsed()), kCloseYardstickMs, "ms");
    return ok;
}

inline bool hostileSessionPeers()
{
    std::printf("hostile peers on the session (UI thread: 10 ms timer's worst lateness; closing: time to destroy)\n");
    bool ok = trickledMessageBody(15000);
    ok &= peerThatNeverReads(false);
    ok &= peerThatNeverReads(true);
    ok &= unansweredConnects();
    ok &= closingDuringEachCase();
    return ok;
}

} // namespace bench

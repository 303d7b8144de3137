// What a router or update server that never answers costs the program,
// each figure next to its yardstick:
//   1. the main window (offscreen) with a router whose SOAP calls are never
//      answered: the UI thread's worst lateness once the window is built,
//      through the address query, a server start and its port mapping
//      (100 ms);
//   2. closing the window while that address query hangs (500 ms);
//   3. ending the update checker while two checks wait on a server that
//      went silent after its head (1 s).
// The router and the web server are the unit suite's fakes on loopback; run
// inside `unshare -n`. Exits non-zero when a target is missed.
#include "core/netenv/TUPnPData.h"
#include "core/netenv/VersionCheckRunner.h"
#include "core/protocol/TcpListener.h"
#include "core/session/ILogSink.h"
#include "core/session/UiHandOver.h"
#include "core/settings/IniFile.h"
#include "gui/session/ChatLogView.h"
#include "gui/session/TForm1.h"
#include "hostile/UiProbe.h"
#include "netenv/FakeGateway.h"

#include <QApplication>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QToolButton>

#include <cstdio>
#include <memory>

using namespace corvid;
using corvid::test::FakeGateway;
using corvid::test::FakeHttp;

namespace {

// A main window whose router search goes to `ssdpPort`; no update check.
struct Window {
    QTemporaryDir dir;
    std::unique_ptr<TForm1> form;
    explicit Window(quint16 ssdpPort)
    {
        const QString ini = dir.filePath(QStringLiteral("corvid.ini"));
        IniFile f(ini);
        f.writeBool(QStringLiteral("Option"), QStringLiteral("UseUPnP"), true);
        f.writeBool(QStringLiteral("Option"), QStringLiteral("VerCheck"), false);
        f.writeString(QStringLiteral("Option"), QStringLiteral("UserName"), QStringLiteral("Aki"));
        NetEnvConfig c;
        c.ssdp = SsdpTarget{QStringLiteral("127.0.0.1"), ssdpPort};
        form = std::make_unique<TForm1>(ini, c);
        form->show();
    }
    QToolButton* button(const char* name) { return form->findChild<QToolButton*>(QString::fromLatin1(name)); }
    bool logHas(const QString& text)
    {
        return form->findChild<ChatLogView*>(QStringLiteral("WB"))->toPlainText().contains(text);
    }
};

class NullLog : public ILogSink {
public:
    void AddLogLine(const QString&, int) override {}
};

quint16 freePort()
{
    TcpListener l;
    l.listen(0);
    return l.port();
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    bool ok = true;
    constexpr int kWaitMs = 15000;

    // 1. A silent router, from the window's start to its server start.
    {
        FakeGateway gw;
        gw.soapSilent = true;
        Window w(gw.ssdpPort());
        bench::LatenessProbe probe;
        QElapsedTimer clock;
        probe.start();
        clock.start();
        bool done = bench::waitUntil([&] { return w.button("btServer")->isEnabled(); }, kWaitMs);
        w.form->findChild<QLineEdit*>(QStringLiteral("edPort"))->setText(QString::number(freePort()));
        w.button("btServer")->click();
        done = done && bench::waitUntil([&] { return w.logHas(QStringLiteral("サーバ起動")); }, kWaitMs);
        const qint64 worst = probe.stop();
        std::printf("router that never answers a SOAP call (%d unanswered, %.1f s from start to server start)\n",
                    gw.soapCount(), double(clock.elapsed()) / 1000);
        ok &= bench::report("UI thread's worst lateness", double(worst), 100, "ms");
        if (!done || !w.logHas(QStringLiteral("ポートマッピング追加失敗"))) {
            std::printf("  the server start or the mapping's failure line did not come: not a valid run\n");
            ok = false;
        }
    }

    // 2. Closing while the address query hangs.
    {
        FakeGateway gw;
        gw.soapSilent = true;
        auto w = std::make_unique<Window>(gw.ssdpPort());
        const bool asked = bench::waitUntil([&] { return gw.soapCount() == 1; }, kWaitMs);
        QElapsedTimer t;
        t.start();
        const bool closed = w->form->close();
        w.reset();
        std::printf("closing the window while the router's address query hangs (a call's own limit: %d ms)\n",
                    TUPnPData::kSoapFirstLineMs);
        ok &= bench::report("time to close", double(t.elapsed()), 500, "ms");
        if (!asked || !closed) {
            std::printf("  the query was not asked or the close was refused: not a valid run\n");
            ok = false;
        }
    }

    // 3. Ending the update checker while two checks wait on a silent server.
    {
        FakeHttp server([](int fd, const QByteArray&, const FakeHttp& s) {
            corvid::test::sendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n");
            corvid::test::idle(s, 60000);
        });
        UiHandOver ho;
        NullLog log;
        const ReplyLimits limits;
        QElapsedTimer t;
        bool asked = false;
        {
            VersionCheckRunner runner(
                {UpdateHost{QStringLiteral("update.example"), QStringLiteral("127.0.0.1"), server.port()},
                 QStringLiteral("http://maker.example/"), limits},
                log, ho);
            runner.StartVersionCheck();
            runner.StartVersionCheck();
            asked = bench::waitUntil([&] { return server.requestCount() == 2; }, kWaitMs);
            bench::spin(50);  // both are in the body's wait now
            t.start();
        }
        std::printf("ending the update checker while two checks wait on a silent server (their limit: %d ms)\n",
                    limits.overallMs);
        ok &= bench::report("time to end", double(t.elapsed()), 1000, "ms");
        if (!asked) {
            std::printf("  the checks did not reach the server: not a valid run\n");
            ok = false;
        }
    }
    return ok ? 0 : 1;
}

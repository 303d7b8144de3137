#include "core/netenv/NetEnvControl.h"
#include "core/settings/AppSettings.h"
#include "core/settings/IniFile.h"
#include "core/session/UiHandOver.h"
#include "netenv/FakeGateway.h"
#include "session/FakeLog.h"
#include "settings/PrintQt.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace corvid;
using namespace corvid::test;

namespace {

bool waitFor(const std::function<bool()>& done, int ms = 8000)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QTest::qWait(10);
    return done();
}

// A main window's network environment without the window.
struct Env {
    QTemporaryDir dir;
    AppSettings settings;
    UiHandOver ho;
    FakeLog log;
    std::unique_ptr<NetEnvControl> net;
    bool searchOver = false;

    QString ini = dir.filePath(QStringLiteral("corvid.ini"));

    Env(quint16 ssdpPort, const UpdateHost& update = {}, const QString& iniName = {})
    {
        if (!iniName.isEmpty())
            ini = dir.filePath(iniName);
        NetEnvConfig c;
        c.ssdp = SsdpTarget{QStringLiteral("127.0.0.1"), ssdpPort};
        c.update = update;
        c.makerUrl = QStringLiteral("http://maker.example/");
        net = std::make_unique<NetEnvControl>(
            settings, iniPath(), log,
            ho, c);
    }
    ~Env()
    {
        ho.beginShutdown();
        net.reset();
    }
    QString iniPath() const { return ini; }
    void start() { net->FormCreate(QStringLiteral("192.168.0.20"), [this] { searchOver = true; }); }
    void serverStarted(quint16 port)
    {
        net->ServerStarted(port, [this] { log.AddLogLine(QStringLiteral("サーバ起動"), LineSys); });
    }
};

TEST(NetEnvControl, FailedSearchLogsFirstSwitchesUPnPOffAndKeepsOrder)
{
    FakeSsdp silent([](const QByteArray&) { return QByteArray(); });
    FakeHttp web([](int fd, const QByteArray&, const FakeHttp&) {
        sendAll(fd, FakeHttp::reply("200 OK", "Version=0.0.0-other\r\n"));
    });
    Env e(silent.port(), UpdateHost{QStringLiteral("update.example"), QStringLiteral("127.0.0.1"), web.port()});
    e.start();
    // The update check and a server start wait behind the search's outcome.
    e.net->StartVersionCheck();
    e.serverStarted(6256);
    e.net->AfterPending([&] { e.log.AddLogLine(QStringLiteral("サーバ停止"), LineSys); });
    EXPECT_EQ(web.connections(), 0);
    ASSERT_TRUE(waitFor([&] { return e.log.contains(QStringLiteral("バージョンチェック終了")); }));
    const QStringList lines = e.log.lines();
    ASSERT_EQ(lines.size(), 5);
    EXPECT_EQ(lines[0], "UPnP検出失敗");
    EXPECT_EQ(lines[1], "サーバ起動");
    EXPECT_EQ(lines[2], "サーバ停止");
    EXPECT_TRUE(lines[3].startsWith("<a href=\"http://maker.example/\">"));
    EXPECT_EQ(lines[4], "バージョンチェック終了");
    EXPECT_FALSE(e.settings.UseUPnP);
    EXPECT_FALSE(e.net->upnpReady());
    EXPECT_EQ(e.net->wanAddress(), "192.168.0.20");
    IniFile ini(e.iniPath());
    EXPECT_FALSE(ini.readBool(QStringLiteral("Option"), QStringLiteral("UseUPnP"), true));
    // Nothing outstanding any more: the next step runs at once.
    bool ran = false;
    e.net->AfterPending([&] { ran = true; });
    EXPECT_TRUE(ran);
}

// Without UPnP the server's start is told at once, even while the LAN
// lookup of the start-up is still out: a peer that connects meanwhile must
// not be logged before it.
TEST(NetEnvControl, WithoutASearchTheServerStartIsToldAtOnce)
{
    Env e(0);
    e.settings.UseUPnP = false;
    QString lan;
    e.net->FormCreate([&](const QString& address) { lan = address + QLatin1Char('.'); }, [] {});
    e.serverStarted(6256);
    // The lookup's answer reaches the UI thread only through the event loop,
    // which has not run yet.
    EXPECT_TRUE(lan.isEmpty());
    EXPECT_EQ(e.log.lines(), QStringList{QStringLiteral("サーバ起動")});
    EXPECT_TRUE(waitFor([&] { return !lan.isEmpty(); }));
    EXPECT_EQ(e.log.lines(), QStringList{QStringLiteral("サーバ起動")});
}

// UseUPnP=0 cannot be stored: the user hears why the next start searches
// again. Refused even for root: the path is a folder, or lies below a file.
TEST(NetEnvControl, FailedSearchWhoseSettingCannotBeWrittenSaysSo)
{
    FakeSsdp silent([](const QByteArray&) { return QByteArray(); });
    for (const char* name : {"folder.ini", "file/corvid.ini"}) {
        Env e(silent.port(), {}, name);
        ASSERT_TRUE(QDir(e.dir.path()).mkdir(QStringLiteral("folder.ini")));
        QFile file(e.dir.filePath(QStringLiteral("file")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.close();
        e.start();
        ASSERT_TRUE(waitFor([&] { return e.searchOver; })) << name;
        EXPECT_EQ(e.log.lines(), (QStringList{"UPnP検出失敗", e.iniPath() + " に書き込めません"})) << name;
        EXPECT_FALSE(e.settings.UseUPnP) << name;
    }
}

TEST(NetEnvControl, ClosingDuringAMappingRequestStillRemovesTheMapping)
{
    FakeGateway gw;
    Env e(gw.ssdpPort());
    e.start();
    ASSERT_TRUE(waitFor([&] { return e.net->wanAddress() == "203.0.113.7"; }));
    gw.soapDelayMs = 400;
    e.serverStarted(6256);
    ASSERT_TRUE(waitFor([&] { return gw.soapCount() == 2; }));
    e.ho.beginShutdown();
    e.net.reset();  // waits for the answer, then removes the mapping
    QList<QByteArray> actions;
    for (const QByteArray& r : gw.soapRequests())
        actions << FakeGateway::action(r);
    EXPECT_EQ(actions, (QList<QByteArray>{"GetExternalIPAddress", "AddPortMapping", "DeletePortMapping"}));
}

} // namespace

#include "gui/TransferInstance.h"
#include "BuildConfig.h"
#include "core/netenv/AddressDiscovery.h"
#include "core/protocol/TcpListener.h"
#include "core/settings/IniFile.h"
#include "gui/about/TForm3.h"
#include "gui/session/ChatLogView.h"
#include "gui/session/TForm1.h"
#include "netenv/FakeGateway.h"
#include "settings/PrintQt.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>

using namespace corvid;
using namespace corvid::test;

namespace {

constexpr int kWaitMs = 8000;
const QString kMaker = QStringLiteral("http://maker.example/");

using TransferInstance::freePort;

bool waitFor(const std::function<bool()>& done, int ms = kWaitMs)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QTest::qWait(10);
    return done();
}

// A main window whose router search and update check go to fakes.
struct Window {
    QTemporaryDir dir;
    std::unique_ptr<TForm1> form;

    Window(quint16 ssdpPort, bool useUPnP, const UpdateHost& update = {}, bool verCheck = false)
    {
        IniFile ini(dir.filePath(QStringLiteral("corvid.ini")));
        ini.writeBool(QStringLiteral("Option"), QStringLiteral("UseUPnP"), useUPnP);
        ini.writeBool(QStringLiteral("Option"), QStringLiteral("VerCheck"), verCheck);
        ini.writeString(QStringLiteral("Option"), QStringLiteral("UserName"), QStringLiteral("Aki"));
        NetEnvConfig c;
        c.ssdp = SsdpTarget{QStringLiteral("127.0.0.1"), ssdpPort};
        c.update = update;
        c.makerUrl = kMaker;
        form = std::make_unique<TForm1>(ini.path(), c);
        form->show();
    }
    QString iniPath() const { return dir.filePath(QStringLiteral("corvid.ini")); }
    QToolButton* button(const char* name) { return form->findChild<QToolButton*>(QString::fromLatin1(name)); }
    QStringList logLines()
    {
        return form->findChild<ChatLogView*>(QStringLiteral("WB"))->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    bool logHas(const QString& text)
    {
        for (const QString& l : logLines())
            if (l.contains(text))
                return true;
        return false;
    }
};

QList<QByteArray> actions(const FakeGateway& gw)
{
    QList<QByteArray> out;
    for (const QByteArray& r : gw.soapRequests())
        out << FakeGateway::action(r);
    return out;
}

TEST(NetEnvWindow, RouterFoundCopiesItsAddressMapsEachStartAndUnmapsAtExit)
{
    FakeGateway gw;
    auto w = std::make_unique<Window>(gw.ssdpPort(), true);
    ASSERT_TRUE(waitFor([&] { return w->form->wanAddress() == "203.0.113.7"; }));
    w->form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w->form.get()));
    QTest::keyClick(w->form.get(), Qt::Key_W, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), "203.0.113.7");
    QTest::keyClick(w->form.get(), Qt::Key_L, Qt::ControlModifier);
    EXPECT_TRUE(waitFor([] { return QApplication::clipboard()->text() == AddressDiscovery::GetLocalAddress(); }));

    QToolButton* server = w->button("btServer");
    ASSERT_TRUE(server->isEnabled());
    w->form->findChild<QLineEdit*>(QStringLiteral("edPort"))->setText(QString::number(freePort()));
    QTest::mouseClick(server, Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return w->logHas(QStringLiteral("サーバ起動")); }));
    QTest::mouseClick(server, Qt::LeftButton);  // stop: nothing removed
    ASSERT_TRUE(waitFor([&] { return w->logHas(QStringLiteral("サーバ停止")); }));
    EXPECT_EQ(actions(gw), (QList<QByteArray>{"GetExternalIPAddress", "AddPortMapping"}));
    QTest::mouseClick(server, Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return w->logLines().count(QStringLiteral("サーバ起動")) == 2; }));
    EXPECT_EQ(actions(gw), (QList<QByteArray>{"GetExternalIPAddress", "AddPortMapping", "DeletePortMapping",
                                             "AddPortMapping"}));
    const QByteArray add = gw.soapRequests()[1];
    EXPECT_TRUE(add.contains("<NewExternalPort>" + QByteArray::number(w->form->listeningPort()) + "</NewExternalPort>"));
    EXPECT_TRUE(add.contains("<NewInternalClient>" + AddressDiscovery::GetLocalAddress().toLatin1()));
    QTest::mouseClick(server, Qt::LeftButton);
    ASSERT_TRUE(w->form->close());
    w.reset();
    EXPECT_EQ(actions(gw).last(), "DeletePortMapping");
    EXPECT_EQ(actions(gw).size(), 5);
}

TEST(NetEnvWindow, FailedSearchIsTheFirstLineAndSwitchesUPnPOff)
{
    FakeSsdp silent([](const QByteArray&) { return QByteArray(); });
    FakeHttp web([](int fd, const QByteArray&, const FakeHttp&) {
        sendAll(fd, FakeHttp::reply("200 OK", "Version=" CORVID_VERSION_STRING "\r\n"));
    });
    Window w(silent.port(), true, UpdateHost{QStringLiteral("update.example"), QStringLiteral("127.0.0.1"), web.port()},
             true);
    // Nothing that logs can be started before the search's outcome is known.
    EXPECT_FALSE(w.button("btServer")->isEnabled());
    EXPECT_FALSE(w.button("btClient")->isEnabled());
    ASSERT_TRUE(waitFor([&] { return w.logHas(QStringLiteral("バージョンチェック終了")); }));
    EXPECT_EQ(w.logLines(), (QStringList{"UPnP検出失敗", "バージョンチェック終了"}));
    EXPECT_TRUE(w.button("btServer")->isEnabled());
    EXPECT_TRUE(w.button("btClient")->isEnabled());
    EXPECT_EQ(silent.datagrams().size(), 2);
    EXPECT_FALSE(w.form->settings().UseUPnP);
    IniFile ini(w.iniPath());
    EXPECT_FALSE(ini.readBool(QStringLiteral("Option"), QStringLiteral("UseUPnP"), true));
    EXPECT_EQ(w.form->wanAddress(), AddressDiscovery::GetLocalAddress());
    // The next start searches nothing.
    Window again(silent.port(), false);
    QTest::qWait(100);
    EXPECT_EQ(silent.datagrams().size(), 2);
}

// The window's longest pause meanwhile is measured by bench_netenv.
TEST(NetEnvWindow, SilentGatewayFailsTheMappingAndTheServerStillStarts)
{
    FakeGateway gw;
    gw.soapSilent = true;
    QElapsedTimer clock;
    Window w(gw.ssdpPort(), true);
    clock.start();
    // The address query hangs; the search's outcome is known already.
    ASSERT_TRUE(waitFor([&] { return w.button("btServer")->isEnabled(); }));
    w.form->findChild<QLineEdit*>(QStringLiteral("edPort"))->setText(QString::number(freePort()));
    QTest::mouseClick(w.button("btServer"), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return w.logHas(QStringLiteral("サーバ起動")); }));
    EXPECT_GT(clock.elapsed(), 1500);  // the two unanswered calls really waited
    EXPECT_EQ(w.logLines(), (QStringList{"ポートマッピング追加失敗", "サーバ起動"}));
    EXPECT_EQ(w.form->wanAddress(), "");
}

// How long the close takes is measured by bench_netenv.
TEST(NetEnvWindow, ClosingWhileTheAddressQueryHangsIsClean)
{
    FakeGateway gw;
    gw.soapSilent = true;
    auto w = std::make_unique<Window>(gw.ssdpPort(), true);
    ASSERT_TRUE(waitFor([&] { return gw.soapCount() == 1; }));
    ASSERT_TRUE(w->form->close());
    w.reset();
}

TEST(NetEnvWindow, AboutBoxShowsVersionAndNameAndItsLinkOpensTheMakersPage)
{
    Window w(1, false);
    QMenu* info = w.button("btInfo")->menu();
    ASSERT_NE(info, nullptr);
    QAction* about = nullptr;
    for (QAction* a : info->actions())
        if (a->text() == QStringLiteral("バージョン情報(&A)..."))
            about = a;
    ASSERT_NE(about, nullptr);
    ASSERT_TRUE(about->isEnabled());
    about->trigger();
    TForm3* box = w.form->aboutBox();
    ASSERT_TRUE(box->isVisible());
    EXPECT_FALSE(box->isModal());
    EXPECT_EQ(box->windowTitle(), "バージョン情報");
    // Fixed, and never smaller than the old box; the key's lines make it taller.
    EXPECT_EQ(box->minimumSize(), box->maximumSize());
    EXPECT_GE(box->width(), 315);
    EXPECT_GT(box->height(), 109);
    EXPECT_EQ(box->findChild<QLabel*>("VersionLabel")->text(), CORVID_VERSION_STRING);
    EXPECT_EQ(box->findChild<QLabel*>("NameLabel")->text(), QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName());
    QLabel* link = box->findChild<QLabel*>("LinkLabel");
    EXPECT_EQ(link->text(), kMaker);
    EXPECT_TRUE(link->font().underline());
    EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
    QList<QUrl> opened;
    box->setOpenExternal([&](const QUrl& u) { opened << u; });
    QTest::mouseClick(link, Qt::LeftButton);
    EXPECT_EQ(opened, QList<QUrl>{QUrl(kMaker)});
    EXPECT_FALSE(box->isVisible());
    about->trigger();
    ASSERT_TRUE(box->isVisible());
    QTest::mouseClick(box->findChild<QPushButton*>("OKButton"), Qt::LeftButton);
    EXPECT_FALSE(box->isVisible());
    EXPECT_EQ(opened.size(), 1);
}

} // namespace

#include "gui/TransferInstance.h"
#include "core/protocol/TcpListener.h"
#include "core/session/ChatLog.h"
#include "core/session/SessionController.h"
#include "core/settings/IniFile.h"
#include "gui/session/ChatLogView.h"
#include "gui/session/TForm1.h"
#include "support/WaitFor.h"

#include <QApplication>
#include <QFile>
#include <QClipboard>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>
#include <memory>

using namespace corvid;

namespace {

constexpr int kWaitMs = 8000;

using TransferInstance::freePort;

// One main window with its own folder and corvid.ini.
struct Instance {
    QTemporaryDir dir;
    std::unique_ptr<TForm1> form;

    explicit Instance(const QString& name, const QStringList& extra = {})
    {
        IniFile ini(dir.filePath(QStringLiteral("corvid.ini")));
        ini.writeBool(QStringLiteral("Option"), QStringLiteral("UseUPnP"), false);
        ini.writeBool(QStringLiteral("Option"), QStringLiteral("VerCheck"), false);
        ini.writeString(QStringLiteral("Option"), QStringLiteral("UserName"), name);
        ini.writeString(QStringLiteral("Option"), QStringLiteral("RecvDir"), dir.path() + QLatin1Char('/'));
        for (int i = 0; i + 2 < extra.size(); i += 3)
            ini.writeString(extra[i], extra[i + 1], extra[i + 2]);
        form = std::make_unique<TForm1>(ini.path());
        form->show();
    }
    template <typename T> T* child(const char* name) { return form->findChild<T*>(QString::fromLatin1(name)); }
    QToolButton* button(const char* name) { return child<QToolButton>(name); }
    QLineEdit* edit(const char* name) { return child<QLineEdit>(name); }
    QString logText() { return child<ChatLogView>("WB")->toPlainText(); }
};

// Answers the next modal message box and remembers its text.
QString answerNextMessageBox(const std::function<void()>& action)
{
    QString text;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            text = box->text();
            box->close();
        }
    });
    poll.start();
    action();
    return text;
}

} // namespace

TEST(MainWindow, ControlsCarryNamesAndHints)
{
    Instance a(QStringLiteral("Aki"));
    for (const char* name : {"btClient", "btServer", "btTrans", "btMenu"}) {
        QToolButton* b = a.button(name);
        ASSERT_NE(b, nullptr) << name;
        EXPECT_FALSE(b->toolTip().isEmpty()) << name;
        EXPECT_EQ(b->accessibleName(), b->toolTip()) << name;
        EXPECT_FALSE(b->icon().isNull()) << name;
    }
    EXPECT_EQ(a.button("btClient")->toolTip(), QStringLiteral("接続"));
    EXPECT_EQ(a.button("btServer")->toolTip(), QStringLiteral("サーバ起動"));
    EXPECT_EQ(a.edit("edIP")->text(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(a.edit("edPort")->text(), QStringLiteral("6256"));
    EXPECT_EQ(a.form->windowTitle(), QStringLiteral("Corvid"));
    EXPECT_EQ(a.form->listeningPort(), 6256);
}

TEST(MainWindow, PortBoxTakesDigitsOnlyAndZeroKeepsThePort)
{
    Instance a(QStringLiteral("Aki"));
    QLineEdit* port = a.edit("edPort");
    port->clear();
    QTest::keyClicks(port, QStringLiteral("7a0b0c1"));
    EXPECT_EQ(port->text(), QStringLiteral("7001"));
    EXPECT_EQ(a.form->listeningPort(), 7001);
    port->setText(QStringLiteral("0"));
    EXPECT_EQ(a.form->listeningPort(), 7001);
    port->clear();
    EXPECT_EQ(a.form->listeningPort(), 7001);
    // Keys that type no character keep working.
    port->setText(QStringLiteral("6256"));
    port->setCursorPosition(0);
    QTest::keyClick(port, Qt::Key_Delete);
    EXPECT_EQ(port->text(), QStringLiteral("256"));
    QTest::keyClick(port, Qt::Key_End);
    QTest::keyClick(port, Qt::Key_Backspace);
    EXPECT_EQ(port->text(), QStringLiteral("25"));
}

TEST(MainWindow, TwoWindowsConnectAThirdIsRefusedAndDisconnectIsSeen)
{
    const QString port = QString::number(freePort());
    Instance a(QStringLiteral("Aki"));
    Instance b(QStringLiteral("Ben"));
    Instance c(QStringLiteral("Cho"));
    a.edit("edPort")->setText(port);
    QTest::mouseClick(a.button("btServer"), Qt::LeftButton);
    ASSERT_TRUE(a.button("btServer")->isChecked());
    EXPECT_FALSE(a.button("btClient")->isEnabled());
    EXPECT_FALSE(a.edit("edIP")->isEnabled());
    EXPECT_FALSE(a.edit("edPort")->isEnabled());
    EXPECT_FALSE(a.button("btMenu")->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(a.logText().contains(QStringLiteral("サーバ起動")), kWaitMs);

    b.edit("edIP")->setText(QStringLiteral("127.0.0.1"));
    b.edit("edPort")->setText(port);
    QTest::mouseClick(b.button("btClient"), Qt::LeftButton);
    EXPECT_TRUE(b.button("btClient")->isChecked());
    EXPECT_FALSE(b.button("btServer")->isEnabled());
    EXPECT_FALSE(b.edit("edIP")->isEnabled());
    EXPECT_FALSE(b.button("btMenu")->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(b.form->windowTitle(), QStringLiteral("Aki"), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(a.form->windowTitle(), QStringLiteral("Ben"), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(a.logText().contains(QStringLiteral("接続成功")), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(b.logText().contains(QStringLiteral("接続成功")), kWaitMs);
    const QList<QAction*> recent = b.button("btMenu")->menu()->actions();
    ASSERT_FALSE(recent.isEmpty());
    EXPECT_EQ(recent.first()->text(), QStringLiteral("127.0.0.1:%1 Aki").arg(port));

    c.edit("edPort")->setText(port);
    QTest::mouseClick(c.button("btClient"), Qt::LeftButton);
    // The attempt runs off the UI thread: the button shows it and takes no
    // second click until it ends.
    EXPECT_TRUE(c.button("btClient")->isChecked());
    EXPECT_FALSE(c.button("btClient")->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!c.button("btClient")->isChecked(), kWaitMs);
    EXPECT_TRUE(c.button("btClient")->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(c.logText().contains(QStringLiteral("接続失敗")), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(a.logText().contains(QStringLiteral("接続失敗")), kWaitMs);
    EXPECT_EQ(a.form->windowTitle(), QStringLiteral("Ben"));

    // Closing is refused while the server has a partner.
    const QString refusal = answerNextMessageBox([&] { EXPECT_FALSE(a.form->close()); });
    EXPECT_EQ(refusal, QStringLiteral("サーバ起動中は終了できません"));
    EXPECT_TRUE(a.form->isVisible());

    QTest::mouseClick(b.button("btClient"), Qt::LeftButton);
    EXPECT_FALSE(b.button("btClient")->isChecked());
    EXPECT_TRUE(b.button("btServer")->isEnabled());
    EXPECT_TRUE(b.edit("edIP")->isEnabled());
    EXPECT_TRUE(b.edit("edPort")->isEnabled());
    EXPECT_TRUE(b.button("btMenu")->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(b.form->windowTitle(), QStringLiteral("Corvid"), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(a.form->windowTitle(), QStringLiteral("Corvid"), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(a.logText().contains(QStringLiteral("切断")), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(b.logText().contains(QStringLiteral("切断")), kWaitMs);

    // Without a partner the window closes.
    EXPECT_TRUE(a.form->close());
}

TEST(MainWindow, ServerStopIsSeenByTheClientAtItsNextPoll)
{
    const QString port = QString::number(freePort());
    Instance a(QStringLiteral("Aki"));
    Instance b(QStringLiteral("Ben"));
    a.edit("edPort")->setText(port);
    QTest::mouseClick(a.button("btServer"), Qt::LeftButton);
    b.edit("edPort")->setText(port);
    QTest::mouseClick(b.button("btClient"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(a.form->windowTitle(), QStringLiteral("Ben"), kWaitMs);

    QTest::mouseClick(a.button("btServer"), Qt::LeftButton);
    EXPECT_FALSE(a.button("btServer")->isChecked());
    EXPECT_TRUE(a.edit("edIP")->isEnabled());
    EXPECT_TRUE(a.button("btClient")->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(a.logText().contains(QStringLiteral("サーバ停止")), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(b.logText().contains(QStringLiteral("切断")), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(!b.button("btClient")->isChecked(), kWaitMs);
    EXPECT_EQ(b.form->windowTitle(), QStringLiteral("Corvid"));
}

TEST(MainWindow, MissingInputShowsTheMessageBox)
{
    Instance b(QStringLiteral("Ben"));
    b.edit("edIP")->clear();
    const QString text = answerNextMessageBox([&] { QTest::mouseClick(b.button("btClient"), Qt::LeftButton); });
    EXPECT_EQ(text, QStringLiteral("ユーザー名、接続先のIP、ポートを入力してください"));
    EXPECT_FALSE(b.button("btClient")->isChecked());
}

TEST(MainWindow, PortInUseLeavesTheServerButtonUp)
{
    TcpListener blocker;
    ASSERT_TRUE(blocker.listen(0));
    Instance a(QStringLiteral("Aki"));
    a.edit("edPort")->setText(QString::number(blocker.port()));
    QTest::mouseClick(a.button("btServer"), Qt::LeftButton);
    EXPECT_FALSE(a.button("btServer")->isChecked());
    EXPECT_TRUE(a.button("btClient")->isEnabled());
}

TEST(MainWindow, RecentPeersAreReadConvertedChosenAndWrittenBack)
{
    QStringList extra{QStringLiteral("Recently"), QStringLiteral("0"), QStringLiteral("192.168.0.5,6300,Taro"),
                      QStringLiteral("Recently"), QStringLiteral("1"), QStringLiteral("10.0.0.2:6256 Jiro")};
    QString iniPath;
    {
        Instance a(QStringLiteral("Aki"), extra);
        iniPath = a.dir.filePath(QStringLiteral("corvid.ini"));
        EXPECT_EQ(a.edit("edIP")->text(), QStringLiteral("192.168.0.5"));
        EXPECT_EQ(a.edit("edPort")->text(), QStringLiteral("6300"));
        EXPECT_EQ(a.form->listeningPort(), 6300);
        const QList<QAction*> items = a.button("btMenu")->menu()->actions();
        ASSERT_EQ(items.size(), 2);
        EXPECT_EQ(items[0]->text(), QStringLiteral("192.168.0.5:6300 Taro"));
        EXPECT_EQ(items[1]->text(), QStringLiteral("10.0.0.2:6256 Jiro"));
        items[1]->trigger();
        EXPECT_EQ(a.edit("edIP")->text(), QStringLiteral("10.0.0.2"));
        ASSERT_TRUE(a.form->close());
        IniFile ini(iniPath);
        EXPECT_EQ(ini.readString(QStringLiteral("Recently"), QStringLiteral("0"), QString()),
                  QStringLiteral("192.168.0.5:6300 Taro"));
        EXPECT_EQ(ini.readInteger(QStringLiteral("MainForm"), QStringLiteral("Width"), -1), a.form->width());
    }
}

namespace {
// A listening and a connected window.
struct ConnectedPair {
    Instance a{QStringLiteral("Aki")};
    Instance b{QStringLiteral("Ben")};
    ConnectedPair()
    {
        const QString port = QString::number(freePort());
        a.edit("edPort")->setText(port);
        QTest::mouseClick(a.button("btServer"), Qt::LeftButton);
        b.edit("edPort")->setText(port);
        QTest::mouseClick(b.button("btClient"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(a.form->windowTitle(), QStringLiteral("Ben"), kWaitMs);
    }
};

void typeAndSend(Instance& side, const QString& text)
{
    auto* input = side.child<QTextEdit>("reInput");
    input->setFocus();
    // Japanese arrives committed by the input method, not as key clicks.
    bool ascii = true;
    for (QChar ch : text)
        ascii = ascii && ch.unicode() < 0x80;
    if (ascii)
        QTest::keyClicks(input, text);
    else
        input->insertPlainText(text);
    QTest::keyClick(input, Qt::Key_Return);
}
} // namespace

TEST(MainWindow, ChatBothWaysThroughTheInputBox)
{
    ConnectedPair p;
    auto* bInput = p.b.child<QTextEdit>("reInput");
    typeAndSend(p.b, QStringLiteral("こんにちは"));
    QTRY_VERIFY_WITH_TIMEOUT(bInput->toPlainText().isEmpty(), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(p.a.logText().contains(QStringLiteral("Ben： こんにちは")), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(p.b.logText().contains(QStringLiteral("Ben： こんにちは")), kWaitMs);

    typeAndSend(p.a, QStringLiteral("a<b"));
    QTRY_VERIFY_WITH_TIMEOUT(p.b.logText().contains(QStringLiteral("Aki： a<b")), kWaitMs);

    // Ctrl+Enter is a line break inside one message; Enter is never inserted.
    bInput->setFocus();
    QTest::keyClicks(bInput, QStringLiteral("one"));
    QTest::keyClick(bInput, Qt::Key_Return, Qt::ControlModifier);
    QTest::keyClicks(bInput, QStringLiteral("two"));
    EXPECT_EQ(bInput->toPlainText(), QStringLiteral("one\ntwo"));
    QTest::keyClick(bInput, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(bInput->toPlainText().isEmpty(), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(p.a.logText().contains(QStringLiteral("Ben： one")), kWaitMs);
    EXPECT_TRUE(p.a.logText().contains(QStringLiteral("two")));
}

TEST(MainWindow, EnterWithoutAPeerKeepsTheText)
{
    Instance b(QStringLiteral("Ben"));
    auto* input = b.child<QTextEdit>("reInput");
    QTest::keyClick(input, Qt::Key_Return);
    EXPECT_TRUE(input->toPlainText().isEmpty());  // Enter in an empty box does nothing
    typeAndSend(b, QStringLiteral("later"));
    EXPECT_EQ(input->toPlainText(), QStringLiteral("later"));
}

TEST(MainWindow, ShortcutsCopyTheWanAndLanAddresses)
{
    Instance a(QStringLiteral("Aki"));
    a.form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(a.form.get()));
    // The short cuts work with the focus anywhere in the window.
    a.child<QTextEdit>("reInput")->setFocus();
    QApplication::clipboard()->setText(QStringLiteral("before"));
    QTest::keyClick(a.form.get(), Qt::Key_L, Qt::ControlModifier);
    // The LAN address is looked up off the UI thread and copied when found.
    ASSERT_TRUE(test::waitFor([] { return QApplication::clipboard()->text() != QStringLiteral("before"); }));
    const QString lan = QApplication::clipboard()->text();
    // Without a router the WAN address is the LAN address found at start.
    ASSERT_TRUE(test::waitFor([&] { return a.form->wanAddress() == lan; }));
    QApplication::clipboard()->setText(QStringLiteral("before"));
    QTest::keyClick(a.form.get(), Qt::Key_W, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), lan);
}

TEST(MainWindow, ClosingWithConnectionsAndQueuedLinesIsClean)
{
    auto p = std::make_unique<ConnectedPair>();
    for (int i = 0; i < 50; ++i)
        p->b.form->chatLog().AddLogLine(QStringLiteral("queued %1").arg(i), LineSys);
    typeAndSend(p->b, QStringLiteral("bye"));
    // The client side closes while the session and the queue are still full.
    EXPECT_TRUE(p->b.form->close());
    p->b.form.reset();
    QTRY_VERIFY_WITH_TIMEOUT(p->a.logText().contains(QStringLiteral("切断")), kWaitMs);
    p.reset();
}

TEST(MainWindow, GeometryWrittenAtCloseIsRestoredAtTheNextStart)
{
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("corvid.ini"));
    {
        IniFile f(ini);
        f.writeBool(QStringLiteral("Option"), QStringLiteral("UseUPnP"), false);
        f.writeInteger(QStringLiteral("Option"), QStringLiteral("InputHeight"), 120);
    }
    {
        TForm1 form(ini);
        form.show();
        // Left and Top are the outer edge of the window, frame included.
        form.move(40, 50);
        form.resize(320, 420);
        ASSERT_TRUE(form.close());
    }
    IniFile f(ini);
    EXPECT_EQ(f.readInteger(QStringLiteral("MainForm"), QStringLiteral("Left"), -1), 40);
    EXPECT_EQ(f.readInteger(QStringLiteral("MainForm"), QStringLiteral("Top"), -1), 50);
    EXPECT_EQ(f.readInteger(QStringLiteral("MainForm"), QStringLiteral("Width"), -1), 320);
    EXPECT_EQ(f.readInteger(QStringLiteral("MainForm"), QStringLiteral("Height"), -1), 420);
    // The transfer window's layout is carried through with its defaults,
    // column by column for both lists.
    EXPECT_EQ(f.readInteger(QStringLiteral("State"), QStringLiteral("LV2Col6"), -1), 148);
    QFile raw(ini);
    ASSERT_TRUE(raw.open(QIODevice::ReadOnly));
    const QByteArray text = raw.readAll();
    EXPECT_LT(text.indexOf("LV1Col0="), text.indexOf("LV2Col0="));
    EXPECT_LT(text.indexOf("LV2Col0="), text.indexOf("LV1Col1="));
    TForm1 again(ini);
    again.show();
    EXPECT_EQ(again.pos(), QPoint(40, 50));
    EXPECT_EQ(again.size(), QSize(320, 420));
    EXPECT_EQ(again.findChild<QTextEdit*>(QStringLiteral("reInput"))->height(), 120);
}

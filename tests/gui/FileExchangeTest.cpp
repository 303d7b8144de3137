// Two program instances exchange files through their windows, in both
// roles: the list goes out with "送信開始", the receiver presses "受信開始",
// and every file that is not refused arrives whole, one right after the
// other.
#include "gui/TransferInstance.h"
#include "support/WaitFor.h"

#include "core/protocol/TcpListener.h"
#include "core/settings/Conversions.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <cstdio>

using namespace corvid;
using TransferInstance::Instance;
using TransferInstance::doneRows;

namespace {

constexpr int kWaitMs = 20000;

using TransferInstance::freePort;

QByteArray sha(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256) : QByteArray();
}

struct Pair {
    Instance a{QStringLiteral("Aki")};  // listens
    Instance b{QStringLiteral("Ben")};  // connects
    Pair()
    {
        const QString port = QString::number(freePort());
        a.form->findChild<QLineEdit*>(QStringLiteral("edPort"))->setText(port);
        QTest::mouseClick(a.form->findChild<QToolButton*>(QStringLiteral("btServer")), Qt::LeftButton);
        b.form->findChild<QLineEdit*>(QStringLiteral("edPort"))->setText(port);
        QTest::mouseClick(b.form->findChild<QToolButton*>(QStringLiteral("btClient")), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(a.form->windowTitle(), QStringLiteral("Ben"), kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(b.form->windowTitle(), QStringLiteral("Aki"), kWaitMs);
    }
};

} // namespace

TEST(FileExchange, BothRolesSendAndReceiveThroughTheirWindows)
{
    for (const bool serverReceives : {true, false}) {
        SCOPED_TRACE(serverReceives ? "server receives (push)" : "client receives (pull)");
        Pair p;
        Instance& sender = serverReceives ? p.b : p.a;
        Instance& receiver = serverReceives ? p.a : p.b;
        // A name with Japanese characters and blanks, a larger file, and
        // many small ones; one row will be refused.
        QStringList names{QStringLiteral("報告 書 1.txt"), QStringLiteral("big.bin"), QStringLiteral("no.txt")};
        for (int i = 0; i < 40; ++i)
            names << QStringLiteral("small%1.dat").arg(i, 2, 10, QLatin1Char('0'));
        QTemporaryDir source;
        for (int i = 0; i < names.size(); ++i) {
            QFile f(source.filePath(names[i]));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            const qint64 size = names[i] == QLatin1String("big.bin") ? 3 * 1024 * 1024 + 17 : 8192 + i;
            QByteArray bytes(size, Qt::Uninitialized);
            for (qint64 k = 0; k < size; ++k)
                bytes[k] = char((k * 31 + i) & 0xFF);
            f.write(bytes);
            f.close();
            sender.win().AddLocalFile(source.filePath(names[i]));
        }
        ASSERT_EQ(sender.send().Count(), names.size());
        // The receiver's window is shown, as a user about to receive has it.
        receiver.showWindow();
        sender.button("btSend")->click();
        QTRY_COMPARE_WITH_TIMEOUT(receiver.recv().Count(), names.size(), kWaitMs);
        const int refused = receiver.recv().FindByName(QStringLiteral("no.txt"));
        receiver.recv().SetState(receiver.recv().Row(refused).Ref(), RowState::Refused);

        QElapsedTimer t;
        t.start();
        receiver.button("btRecv")->click();
        QTRY_COMPARE_WITH_TIMEOUT(doneRows(receiver.recv()), int(names.size()) - 1, kWaitMs);
        std::printf("[ exchange ] %s: %lld files (3 MiB + 41 small) in %lld ms\n",
                    serverReceives ? "push to the listening side" : "pull by the connecting side",
                    static_cast<long long>(names.size() - 1), static_cast<long long>(t.elapsed()));
        for (const QString& name : names) {
            const QString got = receiver.dir.filePath(name);
            if (name == QLatin1String("no.txt"))
                EXPECT_FALSE(QFile::exists(got));
            else
                EXPECT_EQ(sha(got), sha(source.filePath(name))) << name.toStdString();
        }
        EXPECT_EQ(receiver.recv().Row(refused).State(), RowState::Refused);
        // With nothing left, the scheduler lets go of "受信開始".
        QTRY_VERIFY_WITH_TIMEOUT(!receiver.button("btRecv")->isChecked(), kWaitMs);
        EXPECT_TRUE(receiver.logText().contains(QStringLiteral("ファイル受信成功：報告 書 1.txt")));
    }
}

// IPv6 without NAT: the connecting side types "::1". Chat goes both ways, a
// file goes each way (a push to the listening side, a pull by the
// connecting side), and the peer is remembered as "[::1]:port" so that the
// next start offers it again with address and port apart.
TEST(FileExchange, OverIPv6ChatAndAFileEachWayAndThePeerIsRemembered)
{
    Instance a{QStringLiteral("Aki")};
    Instance b{QStringLiteral("Ben")};
    const QString port = QString::number(freePort());
    a.form->findChild<QLineEdit*>(QStringLiteral("edPort"))->setText(port);
    QTest::mouseClick(a.form->findChild<QToolButton*>(QStringLiteral("btServer")), Qt::LeftButton);
    b.form->findChild<QLineEdit*>(QStringLiteral("edIP"))->setText(QStringLiteral("::1"));
    b.form->findChild<QLineEdit*>(QStringLiteral("edPort"))->setText(port);
    QTest::mouseClick(b.form->findChild<QToolButton*>(QStringLiteral("btClient")), Qt::LeftButton);
    ASSERT_TRUE(test::waitFor([&] { return a.form->windowTitle() == QLatin1String("Ben"); }, kWaitMs));
    ASSERT_TRUE(test::waitFor([&] { return b.form->windowTitle() == QLatin1String("Aki"); }, kWaitMs));

    b.form->SendChatMessage(QStringLiteral("v6 from Ben"));
    a.form->SendChatMessage(QStringLiteral("v6 from Aki"));
    EXPECT_TRUE(test::waitFor([&] { return a.logText().contains(QStringLiteral("v6 from Ben")); }, kWaitMs));
    EXPECT_TRUE(test::waitFor([&] { return b.logText().contains(QStringLiteral("v6 from Aki")); }, kWaitMs));

    QTemporaryDir source;
    for (const bool toListener : {true, false}) {
        SCOPED_TRACE(toListener ? "push to the listening side" : "pull by the connecting side");
        Instance& sender = toListener ? b : a;
        Instance& receiver = toListener ? a : b;
        const QString name = toListener ? QStringLiteral("to aki.bin") : QStringLiteral("to ben.bin");
        QFile f(source.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(700 * 1024 + (toListener ? 3 : 5), toListener ? 'a' : 'b'));
        f.close();
        sender.win().AddLocalFile(source.filePath(name));
        receiver.showWindow();
        sender.button("btSend")->click();
        ASSERT_TRUE(test::waitFor([&] { return receiver.recv().FindByName(name) >= 0; }, kWaitMs));
        receiver.button("btRecv")->click();
        ASSERT_TRUE(test::waitFor([&] { return doneRows(receiver.recv()) == 1; }, kWaitMs));
        EXPECT_EQ(sha(receiver.dir.filePath(name)), sha(source.filePath(name)));
        sender.button("btSend")->click();  // up again
    }

    const QString entry = QStringLiteral("[::1]:%1 Aki").arg(port);
    ASSERT_FALSE(b.form->session().recentPeers().entries().isEmpty());
    EXPECT_EQ(b.form->session().recentPeers().entries().first(), entry);
    ASSERT_TRUE(b.form->close());  // written to its corvid.ini
    b.form.reset();
    b.open();
    QMenu* menu = b.form->findChild<QMenu*>(QStringLiteral("RecentMenu"));
    ASSERT_NE(menu, nullptr);
    ASSERT_FALSE(menu->actions().isEmpty());
    EXPECT_EQ(menu->actions().first()->text(), entry);
    menu->actions().first()->trigger();
    EXPECT_EQ(b.form->findChild<QLineEdit*>(QStringLiteral("edIP"))->text(), QStringLiteral("::1"));
    EXPECT_EQ(b.form->findChild<QLineEdit*>(QStringLiteral("edPort"))->text(), port);
}

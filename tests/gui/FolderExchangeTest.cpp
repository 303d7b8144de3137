// Two program instances at protocol 2 exchange a folder tree and a file of
// 3 GiB is listed; against an instance that speaks the original protocol
// neither is offered and the list is today's.
#include "gui/TransferInstance.h"
#include "support/WaitFor.h"

#include "core/session/SessionTexts.h"
#include "core/transfer/TransferTexts.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLineEdit>

using namespace corvid;
using TransferInstance::Instance;
using TransferInstance::doneRows;

namespace {

constexpr int kWaitMs = 20000;

QByteArray sha(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256) : QByteArray();
}

void connectPair(Instance& server, Instance& client)
{
    const QString port = QString::number(TransferInstance::freePort());
    server.form->findChild<QLineEdit*>(QStringLiteral("edPort"))->setText(port);
    QTest::mouseClick(server.form->findChild<QToolButton*>(QStringLiteral("btServer")), Qt::LeftButton);
    client.form->findChild<QLineEdit*>(QStringLiteral("edPort"))->setText(port);
    QTest::mouseClick(client.form->findChild<QToolButton*>(QStringLiteral("btClient")), Qt::LeftButton);
    EXPECT_TRUE(corvid::test::waitFor(
        [&] {
            return server.form->windowTitle() == client.form->session().userName()
                && client.form->windowTitle() == server.form->session().userName();
        },
        kWaitMs));
}

// The tree and a 3 GiB sparse file beside it.
struct Source {
    QTemporaryDir dir;
    QStringList tree{QStringLiteral("旅 行/a.txt"), QStringLiteral("旅 行/2026/b.bin"),
                     QStringLiteral("旅 行/2026/深い 所/c.dat")};
    Source()
    {
        for (int i = 0; i < tree.size(); ++i) {
            const QString path = dir.filePath(tree[i]);
            QDir().mkpath(QFileInfo(path).path());
            QFile f(path);
            if (f.open(QIODevice::WriteOnly))
                f.write(QByteArray(70000 + i * 3333, char('a' + i)));
        }
        QFile big(dir.filePath(QStringLiteral("big.iso")));
        if (big.open(QIODevice::WriteOnly))
            big.resize(qint64(3) << 30);
    }
    void addTo(Instance& sender)
    {
        sender.win().AddLocalFile(dir.filePath(QStringLiteral("旅 行")));
        sender.win().AddLocalFile(dir.filePath(QStringLiteral("big.iso")));
    }
};

} // namespace

TEST(FolderExchange, BothRolesRebuildTheTreeAndListTheBigFile)
{
    for (const bool serverReceives : {true, false}) {
        SCOPED_TRACE(serverReceives ? "server receives (push)" : "client receives (pull)");
        Instance a(QStringLiteral("Aki"));
        Instance b(QStringLiteral("Ben"));
        connectPair(a, b);
        Instance& sender = serverReceives ? b : a;
        Instance& receiver = serverReceives ? a : b;
        EXPECT_EQ(receiver.form->session().protocolNumber(), 2);
        Source src;
        src.addTo(sender);
        ASSERT_EQ(sender.send().Count(), 4);
        receiver.showWindow();
        sender.button("btSend")->click();
        ASSERT_TRUE(corvid::test::waitFor([&] { return receiver.recv().Count() == 4; }, kWaitMs));
        const int big = receiver.recv().FindByName(QStringLiteral("big.iso"));
        ASSERT_GE(big, 0);
        EXPECT_EQ(receiver.recv().Row(big).SizeText(), QStringLiteral("3,221,225,472"));
        receiver.recv().SetState(receiver.recv().Row(big).Ref(), RowState::Refused);  // 3 GiB is the bench's
        receiver.button("btRecv")->click();
        ASSERT_TRUE(corvid::test::waitFor([&] { return doneRows(receiver.recv()) == 3; }, kWaitMs));
        for (const QString& entry : src.tree)
            EXPECT_EQ(sha(receiver.dir.filePath(entry)), sha(src.dir.filePath(entry))) << entry.toStdString();
        EXPECT_TRUE(corvid::test::waitFor(
            [&] { return receiver.logText().contains(QStringLiteral("ファイル受信成功：旅 行/2026/深い 所/c.dat")); },
            kWaitMs))
            << receiver.logText().toStdString();
        EXPECT_FALSE(receiver.logText().contains(SessionTexts::OriginalPeer()));
    }
}

TEST(FolderExchange, AnOriginalPeerIsOfferedNeitherTheTreeNorTheBigFile)
{
    Instance a(QStringLiteral("Aki"));
    Instance old(QStringLiteral("Old"));
    old.form->session().setOwnProtocol(1);
    connectPair(a, old);
    EXPECT_EQ(a.form->session().protocolNumber(), 1);
    Source src;
    src.addTo(a);
    QFile flat(src.dir.filePath(QStringLiteral("flat.txt")));
    ASSERT_TRUE(flat.open(QIODevice::WriteOnly));
    flat.write("today's bytes");
    flat.close();
    a.win().AddLocalFile(flat.fileName());
    old.showWindow();
    a.button("btSend")->click();
    ASSERT_TRUE(corvid::test::waitFor([&] { return old.recv().Count() == 1; }, kWaitMs));
    EXPECT_EQ(old.recv().Row(0).Name(), QStringLiteral("flat.txt"));
    EXPECT_TRUE(corvid::test::waitFor(
        [&] { return a.logText().contains(TransferTexts::LeftOutTooLarge(QStringLiteral("big.iso"))); }, kWaitMs))
        << a.logText().toStdString();
    EXPECT_TRUE(a.logText().contains(TransferTexts::LeftOutInFolder(QStringLiteral("旅 行/a.txt"))));
    EXPECT_TRUE(a.logText().contains(SessionTexts::OriginalPeer()));
    old.button("btRecv")->click();
    ASSERT_TRUE(corvid::test::waitFor([&] { return doneRows(old.recv()) == 1; }, kWaitMs));
    EXPECT_EQ(sha(old.dir.filePath(QStringLiteral("flat.txt"))), sha(flat.fileName()));
}

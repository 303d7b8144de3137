// The transfer window as a user meets it: layout and names, button rules,
// clearing and deleting, the state changes a user causes, sorting and
// dragging, menus, opening files, the list-arrival bar and [State].
#include "gui/TransferInstance.h"
#include "transfer/WorkerPeer.h"

#include "core/protocol/TcpListener.h"
#include "core/transfer/TClientThread.h"
#include "core/session/ChatLog.h"
#include "core/settings/IniFile.h"
#include "core/transfer/TransferCenter.h"
#include "gui/session/ChatLogView.h"
#include "gui/session/TForm1.h"
#include "gui/transfer/QueueView.h"
#include "gui/transfer/TForm2.h"

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QMenu>
#include <QSignalSpy>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <gtest/gtest.h>
#include <memory>

using namespace corvid;

namespace {

constexpr int kWaitMs = 8000;

using TransferInstance::Instance;

const char* const kButtons[][3] = {
    {"ToolBar1", "btRecv", "受信開始"},      {"ToolBar1", "btLV2FinClear", "受信済クリア"},
    {"ToolBar1", "btLV2AllClear", "全てクリア"}, {"ToolBar1", "btInBox", "受信フォルダ"},
    {"ToolBar1", "btRecvList", "リスト受信"},  {"ToolBar1", "btWRecv", "優先受信"},
    {"ToolBar2", "btSend", "送信開始"},      {"ToolBar2", "btLV1FinClear", "送信済クリア"},
    {"ToolBar2", "btLV1AllClear", "全てクリア"}, {"ToolBar2", "btAddFile", "ファイル追加"},
    {"ToolBar2", "btSendList", "リスト送信"},
};

} // namespace

TEST(TransferWindow, LayoutNamesCaptionsColumnsAndMenus)
{
    Instance a;
    TForm2& w = a.win();
    EXPECT_FALSE(w.isVisible());  // created hidden
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Corvid"));
    EXPECT_EQ(w.size(), QSize(660, 385));
    EXPECT_EQ(w.pos(), QPoint(0, 0));
    EXPECT_EQ(w.findChild<QSplitter*>(QStringLiteral("Splitter1"))->handleWidth(), 5);

    for (const auto& b : kButtons) {
        SCOPED_TRACE(b[1]);
        QToolButton* btn = a.button(b[1]);
        ASSERT_NE(btn, nullptr);
        EXPECT_EQ(btn->parent()->objectName(), QString::fromLatin1(b[0]));
        EXPECT_EQ(btn->text(), QString::fromUtf8(b[2]));
        EXPECT_EQ(btn->accessibleName(), QString::fromUtf8(b[2]));
        EXPECT_EQ(btn->size(), QSize(75, 22));
        const QString name = QString::fromLatin1(b[1]);
        EXPECT_EQ(btn->isCheckable(), name == "btRecv" || name == "btWRecv" || name == "btSend");
        EXPECT_FALSE(btn->isChecked());
        EXPECT_EQ(btn->isEnabled(), name == "btInBox" || name == "btWRecv" || name == "btAddFile");
    }

    const QStringList recvCaptions{"ファイル名", "サイズ", "DLサイズ", "状況", "時間", "速度", "受信フォルダ"};
    const QStringList sendCaptions{"ファイル名", "サイズ", "ULサイズ", "状況", "時間", "速度", "送信ファイルのパス"};
    const int widths[7] = {200, 80, 80, 37, 40, 37, 148};
    for (auto [viewName, captions] : {std::pair{"ListView2", recvCaptions}, std::pair{"ListView1", sendCaptions}}) {
        QueueView* v = a.view(viewName);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->parentWidget()->findChild<QToolBar*>()->objectName(),
                  QString::fromLatin1(viewName) == "ListView2" ? "ToolBar1" : "ToolBar2");
        EXPECT_EQ(v->selectionMode(), QAbstractItemView::ExtendedSelection);
        EXPECT_EQ(v->editTriggers(), QAbstractItemView::NoEditTriggers);
        for (int i = 0; i < 7; ++i) {
            EXPECT_EQ(v->headerItem()->text(i), captions[i]);
            EXPECT_EQ(v->header()->sectionSize(i), widths[i]);
            const bool right = i >= 1 && i <= 5;
            EXPECT_EQ(bool(v->headerItem()->textAlignment(i) & Qt::AlignRight), right) << i;
        }
    }
    // The upper pane is the receive queue's.
    auto* splitter = w.findChild<QSplitter*>(QStringLiteral("Splitter1"));
    EXPECT_TRUE(splitter->widget(0)->isAncestorOf(a.view("ListView2")));
    EXPECT_TRUE(splitter->widget(1)->isAncestorOf(a.view("ListView1")));

    struct Entry {
        const char* menu;
        const char* name;
        const char* caption;
        QKeySequence keys;
        int tag;
    };
    const Entry entries[] = {
        {"PopupMenu1", "Open1", "開く(&O)", QKeySequence(Qt::CTRL | Qt::Key_O), 3},
        {"PopupMenu1", "Delete1", "削除(&D)", QKeySequence(Qt::Key_Delete), 1},
        {"PopupMenu1", "N2", "受信許可(&A)", QKeySequence(Qt::CTRL | Qt::Key_A), 0},
        {"PopupMenu1", "N1", "受信拒否(&R)", QKeySequence(Qt::CTRL | Qt::Key_R), 6},
        {"PopupMenu2", "Open2", "開く(&O)", QKeySequence(Qt::CTRL | Qt::Key_O), 4},
        {"PopupMenu2", "Delete2", "削除(&D)", QKeySequence(Qt::Key_Delete), 2},
    };
    for (const Entry& e : entries) {
        SCOPED_TRACE(e.name);
        auto* menu = w.findChild<QMenu*>(QString::fromLatin1(e.menu));
        ASSERT_NE(menu, nullptr);
        QAction* act = menu->findChild<QAction*>(QString::fromLatin1(e.name));
        ASSERT_NE(act, nullptr);
        EXPECT_EQ(act->text(), QString::fromUtf8(e.caption));
        EXPECT_EQ(act->shortcut(), e.keys);
        EXPECT_EQ(act->data().toInt(), e.tag);
    }
    auto* menu1 = w.findChild<QMenu*>(QStringLiteral("PopupMenu1"));
    ASSERT_EQ(menu1->actions().size(), 5);
    EXPECT_TRUE(menu1->actions()[2]->isSeparator());
    // The entries are enabled at popup exactly when their queue has a
    // selected row.
    auto* menu2 = w.findChild<QMenu*>(QStringLiteral("PopupMenu2"));
    a.add(a.recv(), "r", "1", RowState::Waiting);
    emit menu1->aboutToShow();
    emit menu2->aboutToShow();
    for (const char* n : {"Open1", "Delete1", "N2", "N1", "Open2", "Delete2"})
        EXPECT_FALSE(a.entry(n)->isEnabled()) << n;
    a.view("ListView2")->selectRows({0});
    emit menu1->aboutToShow();
    emit menu2->aboutToShow();
    for (const char* n : {"Open1", "Delete1", "N2", "N1"})
        EXPECT_TRUE(a.entry(n)->isEnabled()) << n;
    EXPECT_FALSE(a.entry("Delete2")->isEnabled());
    a.recv().Clear();

    // Timers: off at start, one second each.
    EXPECT_EQ(a.timer("Timer1")->interval(), 1000);
    EXPECT_EQ(a.timer("Timer2")->interval(), 1000);
    EXPECT_FALSE(a.timer("Timer1")->isActive());
    EXPECT_FALSE(a.timer("Timer2")->isActive());
    EXPECT_FALSE(a.timer("Timer3")->isActive());

    // btTrans shows it and closing only hides it and releases btTrans.
    auto* btTrans = a.form->findChild<QToolButton*>(QStringLiteral("btTrans"));
    ASSERT_TRUE(btTrans->isEnabled());
    QTest::mouseClick(btTrans, Qt::LeftButton);
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(btTrans->isChecked());
    EXPECT_TRUE(w.close());
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(btTrans->isChecked());
}

TEST(TransferWindow, ButtonsFollowTheConnectionAndTheQueues)
{
    Instance a;
    a.add(a.recv(), "r.txt", "10", RowState::Waiting);
    a.add(a.send(), "s.txt", "10", RowState::Waiting);
    // No connection: only the clears, "受信フォルダ", "ファイル追加" and "優先受信".
    for (const auto& b : kButtons) {
        const QString n = QString::fromLatin1(b[1]);
        const bool enabled = n.contains("Clear") || n == "btInBox" || n == "btAddFile" || n == "btWRecv";
        EXPECT_EQ(a.button(b[1])->isEnabled(), enabled) << b[1];
    }

    // Connected in the client role: everything with rows, "リスト受信" always.
    Instance server(QStringLiteral("Ben"));
    Instance client(QStringLiteral("Cho"));
    // A real session: Ben listens, Cho connects.
    TcpListener probe;
    ASSERT_TRUE(probe.listen(0));
    const QString freePort = QString::number(probe.port());
    probe.close();
    probe.release();
    server.form->findChild<QLineEdit*>(QStringLiteral("edPort"))->setText(freePort);
    QTest::mouseClick(server.form->findChild<QToolButton*>(QStringLiteral("btServer")), Qt::LeftButton);
    client.form->findChild<QLineEdit*>(QStringLiteral("edIP"))->setText(QStringLiteral("127.0.0.1"));
    client.form->findChild<QLineEdit*>(QStringLiteral("edPort"))->setText(freePort);
    QTest::mouseClick(client.form->findChild<QToolButton*>(QStringLiteral("btClient")), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(client.button("btRecvList")->isEnabled(), kWaitMs);
    EXPECT_FALSE(client.button("btRecv")->isEnabled());
    EXPECT_FALSE(client.button("btSend")->isEnabled());
    client.add(client.recv(), "r.txt", "10", RowState::Waiting);
    client.add(client.send(), "s.txt", "10", RowState::Waiting);
    EXPECT_TRUE(client.button("btRecv")->isEnabled());
    EXPECT_TRUE(client.button("btSend")->isEnabled());
    EXPECT_TRUE(client.button("btSendList")->isEnabled());
    // The server side follows its session connection.
    QTRY_VERIFY_WITH_TIMEOUT(server.button("btRecvList")->isEnabled(), kWaitMs);
    // The session ends: the buttons go back, the queues stay.
    QTest::mouseClick(client.form->findChild<QToolButton*>(QStringLiteral("btClient")), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!client.button("btRecvList")->isEnabled(), kWaitMs);
    EXPECT_FALSE(client.button("btRecv")->isEnabled());
    EXPECT_EQ(client.recv().Count(), 1);
}

TEST(TransferWindow, ClearingAndDeletingReleaseTheToggles)
{
    Instance a;
    const RowState states[] = {RowState::Done, RowState::Failed, RowState::Stopped, RowState::New,
                               RowState::Refused, RowState::Done};
    for (int i = 0; i < 6; ++i)
        a.add(a.recv(), QString("r%1").arg(i), "10", states[i]);
    QTest::mouseClick(a.button("btLV2FinClear"), Qt::LeftButton);
    EXPECT_EQ(a.names(a.recv()), QStringList({"r1", "r2", "r3", "r4"}));
    QCoreApplication::processEvents();  // the view follows on the next turn
    EXPECT_EQ(a.view("ListView2")->topLevelItemCount(), 4);

    a.win().btRecvClick(true);  // as the scheduler or a list arrival presses it
    ASSERT_TRUE(a.button("btRecv")->isChecked());
    EXPECT_TRUE(a.timer("Timer2")->isActive());
    EXPECT_TRUE(a.recv().IsRunning());
    QTest::mouseClick(a.button("btLV2AllClear"), Qt::LeftButton);
    EXPECT_EQ(a.recv().Count(), 0);
    EXPECT_FALSE(a.button("btRecv")->isChecked());
    EXPECT_FALSE(a.timer("Timer2")->isActive());
    EXPECT_FALSE(a.recv().IsRunning());
    EXPECT_FALSE(a.button("btLV2AllClear")->isEnabled());

    // Send side: deleting the last rows releases "送信開始" and stops Timer1.
    a.add(a.send(), "s0", "10", RowState::Waiting);
    a.add(a.send(), "s1", "10", RowState::Done);
    a.win().btSendClick(true);
    ASSERT_TRUE(a.button("btSend")->isChecked());
    EXPECT_TRUE(a.timer("Timer1")->isActive());
    a.showWindow();
    a.view("ListView1")->selectRows({0, 1});
    a.view("ListView1")->setFocus();
    QTest::keyClick(a.view("ListView1"), Qt::Key_Delete);
    EXPECT_EQ(a.send().Count(), 0);
    EXPECT_FALSE(a.button("btSend")->isChecked());
    EXPECT_FALSE(a.timer("Timer1")->isActive());
    EXPECT_FALSE(a.send().IsRunning());

    // "送信済クリア" removes only Done rows; Delete on the receive queue only
    // its own selected rows.
    a.add(a.send(), "t0", "10", RowState::Done);
    a.add(a.send(), "t1", "10", RowState::Stopped);
    a.add(a.recv(), "u0", "10", RowState::Waiting);
    a.add(a.recv(), "u1", "10", RowState::Waiting);
    QTest::mouseClick(a.button("btLV1FinClear"), Qt::LeftButton);
    EXPECT_EQ(a.names(a.send()), QStringList({"t1"}));
    a.view("ListView2")->selectRows({1});
    a.win().Delete1Click(1);
    EXPECT_EQ(a.names(a.recv()), QStringList({"u0"}));
    EXPECT_EQ(a.names(a.send()), QStringList({"t1"}));
    a.win().Delete1Click(7);  // any other tag does nothing
    EXPECT_EQ(a.recv().Count() + a.send().Count(), 2);
}

TEST(TransferWindow, StateChangesTheUserCauses)
{
    Instance a;
    const RowState states[] = {RowState::Waiting, RowState::Transferring, RowState::Done, RowState::Failed,
                               RowState::Stopped, RowState::New, RowState::Refused};
    QList<int> all;
    for (int i = 0; i < 7; ++i) {
        a.add(a.recv(), QString("r%1").arg(i), "10", states[i]);
        all << i;
    }
    auto stateList = [&] {
        QList<RowState> out;
        for (int i = 0; i < a.recv().Count(); ++i)
            out << a.recv().Row(i).State();
        return out;
    };
    using S = RowState;
    // Refuse: Waiting .. Stopped become Refused; New and Refused stay.
    a.view("ListView2")->selectRows(all);
    a.win().N2Click(6);
    EXPECT_EQ(stateList(), QList<S>({S::Refused, S::Refused, S::Refused, S::Refused, S::Refused, S::New, S::Refused}));
    EXPECT_FALSE(a.center().schedule().PriorityPending);
    // Permit on two rows: they wait, and the priority receive may look again.
    a.view("ListView2")->selectRows({0, 5});
    a.win().N2Click(0);
    EXPECT_EQ(stateList(), QList<S>({S::Waiting, S::Refused, S::Refused, S::Refused, S::Refused, S::Waiting, S::Refused}));
    EXPECT_TRUE(a.center().schedule().PriorityPending);
    // "受信開始" pressed: Stopped and New wait again, nothing else changes.
    a.recv().Clear();
    for (int i = 0; i < 7; ++i)
        a.add(a.recv(), QString("q%1").arg(i), "10", states[i]);
    a.win().btRecvClick(true);
    EXPECT_EQ(stateList(), QList<S>({S::Waiting, S::Transferring, S::Done, S::Failed, S::Waiting, S::Waiting, S::Refused}));
    // The images follow the states (Unlisted has none).
    a.add(a.send(), "u", "1", RowState::Unlisted);
    QCoreApplication::processEvents();
    auto opaque = [](const QIcon& icon) {
        const QImage img = icon.pixmap(16, 16).toImage();
        int n = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x)
                n += qAlpha(img.pixel(x, y)) > 0;
        return n;
    };
    EXPECT_EQ(opaque(a.view("ListView1")->topLevelItem(0)->icon(0)), 0);
    EXPECT_EQ(opaque(a.view("ListView2")->topLevelItem(5)->icon(0)), 16 * 16);  // white background
    EXPECT_NE(a.view("ListView2")->topLevelItem(5)->icon(0).cacheKey(), QueueView::StateImage(RowState::Done).cacheKey());
    // The receive queue's rows are refused through the menu's shortcut too.
    a.showWindow();
    a.view("ListView2")->selectRows({0});
    a.view("ListView2")->setFocus();
    QTest::keyClick(a.view("ListView2"), Qt::Key_R, Qt::ControlModifier);
    EXPECT_EQ(a.recv().Row(0).State(), S::Refused);
}

TEST(TransferWindow, SortingByColumnAndReorderingByDrag)
{
    Instance a;
    a.showWindow();
    a.add(a.recv(), "b", "1,000", RowState::Waiting);
    a.add(a.recv(), "a", "20", RowState::Done);
    a.add(a.recv(), "c", "300", RowState::Waiting);
    a.recv().SetText(a.recv().Row(0).Ref(), 3, "10%");
    a.recv().SetText(a.recv().Row(1).Ref(), 3, "100%");
    a.recv().SetText(a.recv().Row(2).Ref(), 3, "50%");
    QHeaderView* header = a.view("ListView2")->header();
    auto click = [&](int column) {
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(column) + 5, header->height() / 2));
    };
    click(1);  // "サイズ": ascending by number
    EXPECT_EQ(a.names(a.recv()), QStringList({"a", "c", "b"}));
    click(1);  // and descending
    EXPECT_EQ(a.names(a.recv()), QStringList({"b", "c", "a"}));
    click(3);  // "状況": its texts descending at the first click ("50%", "100%", "10%")
    EXPECT_EQ(a.names(a.recv()), QStringList({"c", "a", "b"}));
    // The view follows the queue.
    QCoreApplication::processEvents();
    EXPECT_EQ(a.view("ListView2")->topLevelItem(0)->text(0), "c");

    // A, B, C, D, E with B and D selected, dropped onto C.
    for (const char* n : {"A", "B", "C", "D", "E"})
        a.add(a.send(), n, "1", RowState::Waiting);
    QueueView* v = a.view("ListView1");
    v->selectRows({1, 3});
    // Whatever is dragged, a drop onto row C reorders.
    QMimeData dragged;
    dragged.setText(QStringLiteral("anything"));
    const QPoint onC = v->visualItemRect(v->topLevelItem(2)).center();
    QDragEnterEvent enter(onC, Qt::MoveAction, &dragged, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(v->viewport(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(onC), Qt::MoveAction, &dragged, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(v->viewport(), &drop);
    EXPECT_EQ(a.names(a.send()), QStringList({"A", "D", "B", "C", "E"}));
    // The selection moves with its rows; dropped below the last row they go
    // to the end.
    a.win().ListView2DragDrop(v, v->topLevelItemCount());
    EXPECT_EQ(a.names(a.send()), QStringList({"A", "C", "E", "D", "B"}));
    QCoreApplication::processEvents();
    EXPECT_EQ(v->topLevelItem(4)->text(0), "B");
    EXPECT_TRUE(v->topLevelItem(4)->isSelected());
}

TEST(TransferWindow, OpeningFilesAndTheReceiveFolder)
{
    Instance a;
    QList<QUrl> opened;
    a.win().setOpener([&](const QUrl& u) {
        opened << u;
        return true;
    });
    QFile f(a.dir.filePath("here.txt"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("x");
    f.close();
    a.add(a.recv(), "missing.txt", "1", RowState::Done);
    a.add(a.recv(), "here.txt", "1", RowState::Done);
    a.add(a.recv(), "corvid.ini", "1", RowState::Done);
    a.view("ListView2")->selectRows({0, 1});
    a.win().Delete1Click(3);  // the first selected row's file does not exist: nothing
    EXPECT_TRUE(opened.isEmpty());
    a.view("ListView2")->selectRows({2, 1});
    a.win().ListView2DblClick(a.view("ListView2"));  // the first selected row
    ASSERT_EQ(opened.size(), 1);
    EXPECT_EQ(opened[0], QUrl::fromLocalFile(a.dir.filePath("here.txt")));
    QTest::mouseClick(a.button("btInBox"), Qt::LeftButton);
    ASSERT_EQ(opened.size(), 2);
    EXPECT_EQ(opened[1], QUrl::fromLocalFile(a.dir.path() + "/"));
}

TEST(TransferWindow, ListArrivalBarPendingListAndAutoRecv)
{
    Instance a(QStringLiteral("Aki"), {"Transfer", "AutoRecv", "1"});
    auto* panel = a.form->findChild<QWidget*>(QStringLiteral("Panel3"));
    auto* label = a.form->findChild<QLabel*>(QStringLiteral("Label3"));
    ASSERT_FALSE(panel->isVisible());
    // A list pushed before the window was ever shown waits for its showing.
    a.center().schedule().PendingList = {"\"p.txt\",\"1,234\","};
    a.center().NotifyTransferEvent(2, {});
    EXPECT_TRUE(panel->isVisible());
    EXPECT_TRUE(a.button("btRecv")->isChecked());  // AutoRecv pressed "受信開始"
    EXPECT_EQ(a.recv().Count(), 0);
    QTest::mouseClick(label, Qt::LeftButton);
    EXPECT_TRUE(a.win().isVisible());
    // Activating the transfer window hides the bar.
    QTRY_VERIFY_WITH_TIMEOUT(!panel->isVisible(), kWaitMs);
    EXPECT_TRUE(a.center().schedule().ListWindowShown);
    ASSERT_EQ(a.recv().Count(), 1);
    EXPECT_EQ(a.recv().Row(0).Name(), "p.txt");
    EXPECT_EQ(a.recv().Row(0).State(), RowState::New);  // merged while "受信開始" is pressed
    EXPECT_TRUE(a.center().schedule().PendingList.isEmpty());
    // Codes 5 to 12 are logged under their conditions only.
    a.center().NotifyTransferEvent(5, "s.bin");   // "送信開始" is up: not logged
    a.center().NotifyTransferEvent(9, "r.bin");
    a.center().NotifyTransferEvent(3, "x");
    QTRY_VERIFY_WITH_TIMEOUT(a.logText().contains(QStringLiteral("ファイル受信成功：r.bin")), kWaitMs);
    EXPECT_FALSE(a.logText().contains(QStringLiteral("s.bin")));
}

TEST(TransferWindow, StateIsWrittenAtCloseAndRestoredAtTheNextStart)
{
    Instance a;
    {
        TForm2& w = a.win();
        w.show();
        w.move(40, 50);
        w.resize(700, 420);
        auto* splitter = w.findChild<QSplitter*>(QStringLiteral("Splitter1"));
        splitter->setSizes({420 - 5 - 150, 150});
        for (int i = 0; i < 7; ++i) {
            a.view("ListView1")->header()->resizeSection(i, 30 + i);
            a.view("ListView2")->header()->resizeSection(i, 60 + i);
        }
        // Closing the main window ends the program also with this one shown:
        // the event loop returns.
        QTimer::singleShot(0, a.form.get(), [&] { a.form->close(); });
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        guard.start(kWaitMs);
        EXPECT_EQ(QApplication::exec(), 0);
        EXPECT_FALSE(a.form->isVisible());
        EXPECT_FALSE(w.isVisible());
    }
    const TransferWindowState written = a.win().layoutState();
    IniFile ini(a.iniPath());
    EXPECT_EQ(ini.readInteger("State", "Left", -1), written.Bounds.Left);
    EXPECT_EQ(ini.readInteger("State", "Width", -1), 700);
    EXPECT_EQ(ini.readInteger("State", "Height", -1), 420);
    EXPECT_EQ(ini.readInteger("State", "Splitter", -1), 150);
    EXPECT_EQ(ini.readInteger("State", "LV1Col6", -1), 36);
    EXPECT_EQ(ini.readInteger("State", "LV2Col0", -1), 60);

    a.form.reset();
    a.open();
    const TransferWindowState restored = a.win().layoutState();
    EXPECT_EQ(restored.Bounds.Left, written.Bounds.Left);
    EXPECT_EQ(restored.Bounds.Top, written.Bounds.Top);
    EXPECT_EQ(restored.Bounds.Width, 700);
    EXPECT_EQ(restored.Bounds.Height, 420);
    EXPECT_EQ(restored.Splitter, 150);
    EXPECT_EQ(restored.LV1Col, written.LV1Col);
    EXPECT_EQ(restored.LV2Col, written.LV2Col);
    a.win().show();
    EXPECT_EQ(a.win().findChild<QSplitter*>(QStringLiteral("Splitter1"))->sizes().value(1), 150);
    EXPECT_EQ(a.view("ListView2")->header()->sectionSize(3), 63);
}

TEST(TransferWindow, FilesDroppedOnTheMainWindowJoinTheSendQueueAndShowTheWindow)
{
    Instance a;
    QTemporaryDir files;
    const QString one = files.filePath("one.txt");
    const QString empty = files.filePath("empty.txt");
    ASSERT_TRUE(test::writeFile(one, "12345"));
    ASSERT_TRUE(test::writeFile(empty, ""));
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(one), QUrl::fromLocalFile(empty), QUrl::fromLocalFile(files.path()),
                  QUrl::fromLocalFile(one)});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(a.form.get(), &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(a.form.get(), &drop);
    // An empty file and the same file again add nothing; the folder adds
    // its one file that is not empty, named by its path below the folder's
    // parent.
    ASSERT_EQ(a.send().Count(), 2);
    EXPECT_EQ(a.send().Row(0).Name(), "one.txt");
    EXPECT_EQ(a.send().Row(0).SizeText(), "5");
    EXPECT_EQ(a.send().Row(0).Folder(), files.path() + "/");
    EXPECT_EQ(a.send().Row(0).State(), RowState::Waiting);
    const QFileInfo folder(files.path());
    EXPECT_EQ(a.send().Row(1).Name(), folder.fileName() + "/one.txt");
    EXPECT_EQ(a.send().Row(1).Folder(), folder.canonicalPath() + "/");
    EXPECT_TRUE(a.win().isVisible());
    EXPECT_TRUE(a.form->findChild<QToolButton*>(QStringLiteral("btTrans"))->isChecked());
    // The periodic list check follows its settings.
    a.win().setListTimer({true, 120000});
    EXPECT_TRUE(a.timer("Timer3")->isActive());
    EXPECT_EQ(a.timer("Timer3")->interval(), 120000);
    a.win().setListTimer({true, 0});
    EXPECT_FALSE(a.timer("Timer3")->isActive());
}

// Closing the program while a worker is in the middle of a file: nothing
// hangs, the window and the queues go after the worker has ended, and the
// partial file stays hidden for the next run.
TEST(TransferWindow, ClosingTheProgramInTheMiddleOfAReception)
{
    QTemporaryDir sendDir;
    const QByteArray content = test::pattern(40 * 65536, 3);
    ASSERT_TRUE(test::writeFile(sendDir.filePath("mid.bin"), content));
    test::Gate gate(20);
    test::FileServer server{sendDir.path(), content, &gate};
    test::Peer peer([&](TcpConnection& c) { server.serve(c); });
    Instance a;
    a.win().btRecvClick(true);
    const RowRef row = a.add(a.recv(), "mid.bin", "2,621,440", RowState::Waiting);
    ASSERT_TRUE(a.center().StartWorkerTo("127.0.0.1", peer.port(), TClientThread::FetchFile, {}, row));
    QTRY_VERIFY_WITH_TIMEOUT(gate.reached(), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(a.center().receivingList().Count() == 1, kWaitMs);
    a.form->close();
    a.form.reset();  // joins the worker before the windows go
    gate.open();
    const QString path = a.dir.filePath("mid.bin");
    EXPECT_GT(QFileInfo(path).size(), 0);
    EXPECT_LT(QFileInfo(path).size(), content.size());
    EXPECT_TRUE(test::attrOf(path) & 2);
}

TEST(TransferWindow, SendProgressIsRefreshedFromTheRunningRecord)
{
    Instance a;
    const RowRef row = a.add(a.send(), "p.bin", "1,000", RowState::Transferring);
    const RowRef idle = a.add(a.send(), "q.bin", "1,000", RowState::Waiting);
    auto rec = a.send().MakeRecord(row);
    rec->DoneBytes = 250;
    ASSERT_TRUE(a.center().sendingList().AddIfNotInTransfer(rec));
    a.win().Timer1Timer();
    EXPECT_EQ(a.send().Row(0).Text(2), "250");
    EXPECT_EQ(a.send().Row(0).Text(3), "25%");
    EXPECT_EQ(a.send().Row(0).Text(4), " 0:03");
    rec->DoneBytes = 1000;
    a.win().Timer1Timer();
    EXPECT_EQ(a.send().Row(0).Text(3), "100%");
    EXPECT_EQ(a.send().Row(0).Text(4), "");
    // A row without a record is left alone.
    a.center().RefreshProgress(a.send(), idle);
    EXPECT_EQ(a.send().Row(1).Text(2), "");
    QCoreApplication::processEvents();
    EXPECT_EQ(a.view("ListView1")->topLevelItem(0)->text(3), "100%");
    a.center().sendingList().Remove(rec);
}

#include "gui/transfer/TransferWindowLayout.h"

#include "gui/transfer/QueueView.h"

#include <QAction>
#include <QMenu>
#include <QSplitter>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace corvid {

namespace {

QToolButton* makeButton(QToolBar* bar, const char* objectName, const QString& caption, bool toggle)
{
    auto* b = new QToolButton(bar);
    b->setObjectName(QString::fromLatin1(objectName));
    b->setText(caption);
    b->setAccessibleName(caption);
    b->setToolButtonStyle(Qt::ToolButtonTextOnly);
    b->setCheckable(toggle);
    b->setAutoRaise(true);  // flat
    b->setFixedSize(75, 22);
    bar->addWidget(b);
    return b;
}

QToolBar* makeBar(QWidget* parent, const char* objectName)
{
    auto* bar = new QToolBar(parent);
    bar->setObjectName(QString::fromLatin1(objectName));
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->setContentsMargins(0, 0, 0, 0);
    return bar;
}

QAction* makeEntry(QMenu* menu, const char* objectName, const QString& caption, const QKeySequence& keys, int tag)
{
    auto* a = new QAction(caption, menu);
    a->setObjectName(QString::fromLatin1(objectName));
    a->setShortcut(keys);
    a->setData(tag);
    menu->addAction(a);
    return a;
}

// A queue's panel: its tool bar above its view.
QWidget* makePanel(QWidget* parent, const char* objectName, QVBoxLayout*& layout)
{
    auto* panel = new QWidget(parent);
    panel->setObjectName(QString::fromLatin1(objectName));
    panel->setMinimumHeight(1);
    layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    return panel;
}

} // namespace

void TransferWindowLayout::setupUi(QWidget* window, TransferQueue& receiveQueue, TransferQueue& sendQueue)
{
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    Splitter1 = new QSplitter(Qt::Vertical, window);
    Splitter1->setObjectName(QStringLiteral("Splitter1"));
    Splitter1->setHandleWidth(5);
    Splitter1->setChildrenCollapsible(false);
    layout->addWidget(Splitter1);

    QWidget* upper = buildReceiveSide(Splitter1, receiveQueue);
    QWidget* lower = buildSendSide(Splitter1, sendQueue);
    Splitter1->addWidget(upper);
    Splitter1->addWidget(lower);
    Splitter1->setStretchFactor(0, 1);
    Splitter1->setStretchFactor(1, 0);

    buildMenus(window);
}

QWidget* TransferWindowLayout::buildReceiveSide(QWidget* parent, TransferQueue& queue)
{
    QVBoxLayout* layout = nullptr;
    QWidget* upper = makePanel(parent, "Panel1", layout);
    ToolBar1 = makeBar(upper, "ToolBar1");
    btRecv = makeButton(ToolBar1, "btRecv", QStringLiteral("受信開始"), true);
    btLV2FinClear = makeButton(ToolBar1, "btLV2FinClear", QStringLiteral("受信済クリア"), false);
    btLV2AllClear = makeButton(ToolBar1, "btLV2AllClear", QStringLiteral("全てクリア"), false);
    btInBox = makeButton(ToolBar1, "btInBox", QStringLiteral("受信フォルダ"), false);
    btRecvList = makeButton(ToolBar1, "btRecvList", QStringLiteral("リスト受信"), false);
    btWRecv = makeButton(ToolBar1, "btWRecv", QStringLiteral("優先受信"), true);
    ListView2 = new QueueView(queue,
                              {QStringLiteral("ファイル名"), QStringLiteral("サイズ"), QStringLiteral("DLサイズ"),
                               QStringLiteral("状況"), QStringLiteral("時間"), QStringLiteral("速度"),
                               QStringLiteral("受信フォルダ")},
                              upper);
    ListView2->setObjectName(QStringLiteral("ListView2"));
    layout->addWidget(ToolBar1);
    layout->addWidget(ListView2, 1);
    return upper;
}

QWidget* TransferWindowLayout::buildSendSide(QWidget* parent, TransferQueue& queue)
{
    QVBoxLayout* layout = nullptr;
    QWidget* lower = makePanel(parent, "Panel2", layout);
    ToolBar2 = makeBar(lower, "ToolBar2");
    btSend = makeButton(ToolBar2, "btSend", QStringLiteral("送信開始"), true);
    btLV1FinClear = makeButton(ToolBar2, "btLV1FinClear", QStringLiteral("送信済クリア"), false);
    btLV1AllClear = makeButton(ToolBar2, "btLV1AllClear", QStringLiteral("全てクリア"), false);
    btAddFile = makeButton(ToolBar2, "btAddFile", QStringLiteral("ファイル追加"), false);
    btSendList = makeButton(ToolBar2, "btSendList", QStringLiteral("リスト送信"), false);
    ListView1 = new QueueView(queue,
                              {QStringLiteral("ファイル名"), QStringLiteral("サイズ"), QStringLiteral("ULサイズ"),
                               QStringLiteral("状況"), QStringLiteral("時間"), QStringLiteral("速度"),
                               QStringLiteral("送信ファイルのパス")},
                              lower);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    layout->addWidget(ToolBar2);
    layout->addWidget(ListView1, 1);
    return lower;
}

void TransferWindowLayout::buildMenus(QWidget* window)
{
    PopupMenu1 = new QMenu(window);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    Open1 = makeEntry(PopupMenu1, "Open1", QStringLiteral("開く(&O)"), QKeySequence(Qt::CTRL | Qt::Key_O), 3);
    Delete1 = makeEntry(PopupMenu1, "Delete1", QStringLiteral("削除(&D)"), QKeySequence(Qt::Key_Delete), 1);
    QAction* n3 = PopupMenu1->addSeparator();
    n3->setObjectName(QStringLiteral("N3"));
    N2 = makeEntry(PopupMenu1, "N2", QStringLiteral("受信許可(&A)"), QKeySequence(Qt::CTRL | Qt::Key_A), 0);
    N1 = makeEntry(PopupMenu1, "N1", QStringLiteral("受信拒否(&R)"), QKeySequence(Qt::CTRL | Qt::Key_R), 6);
    PopupMenu2 = new QMenu(window);
    PopupMenu2->setObjectName(QStringLiteral("PopupMenu2"));
    Open2 = makeEntry(PopupMenu2, "Open2", QStringLiteral("開く(&O)"), QKeySequence(Qt::CTRL | Qt::Key_O), 4);
    Delete2 = makeEntry(PopupMenu2, "Delete2", QStringLiteral("削除(&D)"), QKeySequence(Qt::Key_Delete), 2);

    // The shortcuts work in their own queue while the menu is closed.
    for (QAction* a : {Open1, Delete1, N2, N1}) {
        a->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        ListView2->addAction(a);
    }
    for (QAction* a : {Open2, Delete2}) {
        a->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        ListView1->addAction(a);
    }
}

} // namespace corvid

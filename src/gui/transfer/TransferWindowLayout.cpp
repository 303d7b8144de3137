#include "gui/transfer/TransferWindowLayout.h"

#include "gui/transfer/QueueView.h"

#include <QAction>
#include <QMenu>
#include <QSplitter>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <span>

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

// The frame of a queue's panel, for its tool bar and view.
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

// What sets the two queues' panels apart: names, captions and where the
// controls go in the layout.
struct SideSpec {
    struct Button {
        QToolButton* TransferWindowLayout::*control;
        const char* name;
        const char* caption;
        bool toggle;
    };
    const char* panel;
    const char* bar;
    QToolBar* TransferWindowLayout::*barControl;
    std::span<const Button> buttons;
    const char* view;
    QueueView* TransferWindowLayout::*viewControl;
    const char* doneColumn;  // how much has gone over
    const char* lastColumn;  // where the file lives
};

using Button = SideSpec::Button;
using Ui = TransferWindowLayout;

constexpr Button kReceiveButtons[] = {
    {&Ui::btRecv, "btRecv", "受信開始", true},
    {&Ui::btLV2FinClear, "btLV2FinClear", "受信済クリア", false},
    {&Ui::btLV2AllClear, "btLV2AllClear", "全てクリア", false},
    {&Ui::btInBox, "btInBox", "受信フォルダ", false},
    {&Ui::btRecvList, "btRecvList", "リスト受信", false},
    {&Ui::btWRecv, "btWRecv", "優先受信", true},
};
constexpr SideSpec kReceiveSide = {"Panel1", "ToolBar1", &Ui::ToolBar1, kReceiveButtons,
                                   "ListView2", &Ui::ListView2, "DLサイズ", "受信フォルダ"};

constexpr Button kSendButtons[] = {
    {&Ui::btSend, "btSend", "送信開始", true},
    {&Ui::btLV1FinClear, "btLV1FinClear", "送信済クリア", false},
    {&Ui::btLV1AllClear, "btLV1AllClear", "全てクリア", false},
    {&Ui::btAddFile, "btAddFile", "ファイル追加", false},
    {&Ui::btSendList, "btSendList", "リスト送信", false},
};
constexpr SideSpec kSendSide = {"Panel2", "ToolBar2", &Ui::ToolBar2, kSendButtons,
                                "ListView1", &Ui::ListView1, "ULサイズ", "送信ファイルのパス"};

// A queue's panel: its tool bar above its view.
QWidget* buildSide(TransferWindowLayout& ui, const SideSpec& side, QWidget* parent, TransferQueue& queue)
{
    QVBoxLayout* layout = nullptr;
    QWidget* panel = makePanel(parent, side.panel, layout);
    QToolBar* bar = makeBar(panel, side.bar);
    ui.*side.barControl = bar;
    for (const Button& b : side.buttons)
        ui.*b.control = makeButton(bar, b.name, QString::fromUtf8(b.caption), b.toggle);
    auto* view = new QueueView(queue,
                               {QStringLiteral("ファイル名"), QStringLiteral("サイズ"), QString::fromUtf8(side.doneColumn),
                                QStringLiteral("状況"), QStringLiteral("時間"), QStringLiteral("速度"),
                                QString::fromUtf8(side.lastColumn)},
                               panel);
    view->setObjectName(QString::fromLatin1(side.view));
    ui.*side.viewControl = view;
    layout->addWidget(bar);
    layout->addWidget(view, 1);
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

    QWidget* upper = buildSide(*this, kReceiveSide, Splitter1, receiveQueue);
    QWidget* lower = buildSide(*this, kSendSide, Splitter1, sendQueue);
    Splitter1->addWidget(upper);
    Splitter1->addWidget(lower);
    Splitter1->setStretchFactor(0, 1);
    Splitter1->setStretchFactor(1, 0);

    buildMenus(window);
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

#include "gui/session/MainWindowLayout.h"

#include "core/security/TrustTexts.h"
#include "gui/session/ChatLogView.h"

#include <QAction>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QSplitter>
#include <QStatusBar>
#include <QTextEdit>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace corvid {

namespace {

QToolButton* makeToolButton(QWidget* parent, const char* objectName, const QString& hint, const char* icon,
                            bool checkable)
{
    auto* b = new QToolButton(parent);
    b->setObjectName(QString::fromLatin1(objectName));
    b->setIcon(QIcon(QString::fromLatin1(icon)));
    b->setToolTip(hint);
    b->setAccessibleName(hint);
    b->setCheckable(checkable);
    b->setAutoRaise(true);
    return b;
}

} // namespace

void MainWindowLayout::setupUi(QMainWindow* window)
{
    buildToolBars(window);
    buildCentral(window);
    buildStatusBar(window);
    buildMenus(window);
}

void MainWindowLayout::buildToolBars(QMainWindow* window)
{
    auto* bar1 = window->addToolBar(QStringLiteral("ToolBar1"));
    bar1->setObjectName(QStringLiteral("ToolBar1"));
    bar1->setMovable(false);
    btClient = makeToolButton(bar1, "btClient", QStringLiteral("接続"), ":/icons/connect.svg", true);
    btServer = makeToolButton(bar1, "btServer", QStringLiteral("サーバ起動"), ":/icons/server.svg", true);
    btTrans = makeToolButton(bar1, "btTrans", QStringLiteral("ファイル送信"), ":/icons/transfer.svg", true);
    btTools = makeToolButton(bar1, "btTools", QStringLiteral("ツール"), ":/icons/tools.svg", false);
    btInfo = makeToolButton(bar1, "btInfo", QStringLiteral("Info"), ":/icons/info.svg", false);
    bar1->addWidget(btClient);
    bar1->addWidget(btServer);
    bar1->addSeparator();
    bar1->addWidget(btTrans);
    bar1->addWidget(btTools);
    bar1->addWidget(btInfo);

    window->addToolBarBreak();
    auto* bar2 = window->addToolBar(QStringLiteral("ToolBar2"));
    bar2->setObjectName(QStringLiteral("ToolBar2"));
    bar2->setMovable(false);
    btMenu = makeToolButton(bar2, "btMenu", QStringLiteral("履歴"), ":/icons/recent.svg", false);
    btMenu->setPopupMode(QToolButton::InstantPopup);
    RecentMenu = new QMenu(btMenu);
    RecentMenu->setObjectName(QStringLiteral("RecentMenu"));
    btMenu->setMenu(RecentMenu);
    edIP = new QLineEdit(QStringLiteral("127.0.0.1"), bar2);
    edIP->setObjectName(QStringLiteral("edIP"));
    edIP->setAttribute(Qt::WA_InputMethodEnabled, false);
    edIP->setAccessibleName(QStringLiteral("IP"));
    edPort = new QLineEdit(QStringLiteral("6256"), bar2);
    edPort->setObjectName(QStringLiteral("edPort"));
    edPort->setAttribute(Qt::WA_InputMethodEnabled, false);
    edPort->setAccessibleName(QStringLiteral("Port"));
    edPort->setMaximumWidth(60);
    bar2->addWidget(btMenu);
    bar2->addWidget(new QLabel(QStringLiteral("IP"), bar2));
    bar2->addWidget(edIP);
    bar2->addWidget(new QLabel(QStringLiteral(" Port"), bar2));
    bar2->addWidget(edPort);
}

void MainWindowLayout::buildCentral(QMainWindow* window)
{
    auto* central = new QWidget(window);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    Panel3 = new QWidget(central);
    Panel3->setObjectName(QStringLiteral("Panel3"));
    auto* panelLayout = new QHBoxLayout(Panel3);
    panelLayout->setContentsMargins(4, 2, 4, 2);
    Label3 = new QLabel(QStringLiteral("<u>ファイルリストを受信しました</u>"), Panel3);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setCursor(Qt::PointingHandCursor);
    panelLayout->addWidget(Label3);
    Panel3->hide();
    layout->addWidget(Panel3);

    Splitter1 = new QSplitter(Qt::Vertical, central);
    Splitter1->setObjectName(QStringLiteral("Splitter1"));
    Splitter1->setChildrenCollapsible(false);
    WB = new ChatLogView(Splitter1);
    WB->setObjectName(QStringLiteral("WB"));
    WB->setMinimumSize(30, 30);
    reInput = new QTextEdit(Splitter1);
    reInput->setObjectName(QStringLiteral("reInput"));
    reInput->setAcceptRichText(false);
    reInput->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    ChatLogView::installEditMenu(reInput);
    Splitter1->addWidget(WB);
    Splitter1->addWidget(reInput);
    Splitter1->setStretchFactor(0, 1);
    Splitter1->setStretchFactor(1, 0);
    layout->addWidget(Splitter1, 1);
    window->setCentralWidget(central);
}

void MainWindowLayout::buildStatusBar(QMainWindow* window)
{
    const int widths[3] = {100, 88, 50};
    for (int i = 0; i < 3; ++i) {
        StatusPanels[i] = new QLabel(window);
        StatusPanels[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        // The last panel takes the rest of the bar.
        if (i < 2)
            StatusPanels[i]->setFixedWidth(widths[i]);
        else
            StatusPanels[i]->setMinimumWidth(widths[i]);
        window->statusBar()->addWidget(StatusPanels[i], i == 2 ? 1 : 0);
    }
    window->statusBar()->setObjectName(QStringLiteral("StatusBar1"));
}

void MainWindowLayout::buildMenus(QMainWindow* window)
{
    auto* tools = new QMenu(btTools);
    WANIPW1 = tools->addAction(QStringLiteral("WAN側IPをコピー(&W)"));
    WANIPW1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
    LANIPL1 = tools->addAction(QStringLiteral("LAN側IPをコピー(&L)"));
    LANIPL1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    InviteI1 = tools->addAction(TrustTexts::CopyInvitation());
    InviteI1->setObjectName(QStringLiteral("InviteI1"));
    InviteI1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_I));
    tools->addSeparator();
    NewKeyK1 = tools->addAction(TrustTexts::NewIdentityMenu());
    NewKeyK1->setObjectName(QStringLiteral("NewKeyK1"));
    O1 = tools->addAction(QStringLiteral("オプション(&O)"));
    btTools->setMenu(tools);
    btTools->setPopupMode(QToolButton::InstantPopup);
    // The short cuts work anywhere in the window, also with the menu closed.
    for (QAction* a : {WANIPW1, LANIPL1, InviteI1}) {
        a->setShortcutContext(Qt::WindowShortcut);
        window->addAction(a);
    }

    auto* info = new QMenu(btInfo);
    Help1 = info->addAction(QStringLiteral("オンラインヘルプ(&H)"));
    About1 = info->addAction(QStringLiteral("バージョン情報(&A)..."));
    btInfo->setMenu(info);
    btInfo->setPopupMode(QToolButton::InstantPopup);
}

} // namespace corvid

#include "gui/session/TForm1.h"

#include "BuildConfig.h"
#include "core/netenv/AddressDiscovery.h"
#include "core/session/ChatLog.h"
#include "core/settings/AppSettings.h"
#include "core/settings/IniFile.h"
#include "gui/about/TForm3.h"
#include "core/transfer/TransferSide.h"
#include "gui/session/ChatLogView.h"
#include "gui/transfer/TForm2.h"
#include "gui/settings/TForm4.h"
#include "gui/settings/WindowNotifications.h"
#include "gui/settings/WindowTranslucency.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMimeData>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QSplitter>
#include <QStatusBar>
#include <QTextEdit>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

// The icons live in a static library: register them before first use.
static void initCorvidResources()
{
    Q_INIT_RESOURCE(corvid);
}

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

TForm1::TForm1(const QString& settingsPath, QWidget* parent)
    : TForm1(settingsPath, NetEnvConfig::fromBuild(), parent)
{
}

TForm1::TForm1(const QString& settingsPath, const NetEnvConfig& netEnv, QWidget* parent)
    : QMainWindow(parent)
    , settingsPath_(settingsPath)
    , settings_(AppSettings::executableDir())
    , handOver_(std::make_unique<UiHandOver>())
    , log_(std::make_unique<ChatLog>())
    , session_(std::make_unique<SessionController>(*log_, *handOver_))
{
    netEnv_ = std::make_unique<NetEnvControl>(settings_, settingsPath_, *log_, *handOver_, netEnv);
    initCorvidResources();
    setObjectName(QStringLiteral("TForm1"));
    setWindowTitle(QString::fromLatin1(SessionController::kAppTitle));
    setWindowIcon(QIcon(QStringLiteral(":/icons/corvid.svg")));
    buildLayout();
    buildMenus();

    connect(session_.get(), &SessionController::titleChanged, this, &TForm1::setTitle);
    connect(session_.get(), &SessionController::connectionStateChanged, this, &TForm1::UpdateConnectionControls);
    connect(session_.get(), &SessionController::clientDisconnected, this, [this] { btClient->setChecked(false); });
    connect(session_.get(), &SessionController::recentPeersChanged, this, &TForm1::rebuildRecentMenu);
    connect(session_.get(), &SessionController::connectFinished, this, &TForm1::connectFinished);
    connect(session_.get(), &SessionController::chatSent, this, [this](const QString& text) {
        // The box lets go of the text only if it still holds what was sent.
        if (reInput->toPlainText() == text)
            reInput->clear();
    });
    ChatLog* log = log_.get();
    connect(log, &ChatLog::statusTimeChanged, statusPanels_[2], &QLabel::setText);
    connect(log, &ChatLog::inputColorsChanged, this, [this](const QString& bg, const QString& fg) {
        ChatLogView::applyInputColors(reInput, bg, fg);
    });

    FormCreate();
    createTransferWindow();
    UpdateConnectionControls();
    about_ = new TForm3(netEnv.makerUrl, this);

    notify_ = std::make_unique<WindowNotifications>(settings_, *handOver_, this, reInput, *log_);
    options_ = new TForm4(settings_, settingsPath_, this);
    options_->setListTimerSource([this] { return form2_->listTimer(); });
    connect(options_, &TForm4::listTimerChanged, form2_.get(), &TForm2::setListTimer);
    connect(options_, &TForm4::optionsApplied, this, &TForm1::applyOptions);
    connect(options_, &TForm4::checkNowRequested, this, [this] { netEnv_->StartVersionCheck(); });
}

TForm1::~TForm1()
{
    // Fixed order: the window stops taking input, the session's threads are
    // joined (hand-overs they wait on return "not done"), and only then the
    // log they write to goes away.
    handOver_->beginShutdown();
    transfer_->Shutdown();
    session_->shutdown();
    // Router requests end (a mapping made is removed) and update checks
    // are joined before the log goes.
    netEnv_.reset();
    log_->setRenderer(nullptr);
}

void TForm1::buildLayout()
{
    auto* bar1 = addToolBar(QStringLiteral("ToolBar1"));
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
    connect(btClient, &QToolButton::clicked, this, &TForm1::btClientClick);
    connect(btServer, &QToolButton::clicked, this, &TForm1::btServerClick);
    connect(btTrans, &QToolButton::clicked, this, &TForm1::btTransClick);

    addToolBarBreak();
    auto* bar2 = addToolBar(QStringLiteral("ToolBar2"));
    bar2->setObjectName(QStringLiteral("ToolBar2"));
    bar2->setMovable(false);
    btMenu = makeToolButton(bar2, "btMenu", QStringLiteral("履歴"), ":/icons/recent.svg", false);
    btMenu->setPopupMode(QToolButton::InstantPopup);
    recentMenu_ = new QMenu(btMenu);
    recentMenu_->setObjectName(QStringLiteral("RecentMenu"));
    btMenu->setMenu(recentMenu_);
    edIP = new QLineEdit(QStringLiteral("127.0.0.1"), bar2);
    edIP->setObjectName(QStringLiteral("edIP"));
    edIP->setAttribute(Qt::WA_InputMethodEnabled, false);
    edIP->setAccessibleName(QStringLiteral("IP"));
    edPort = new QLineEdit(QStringLiteral("6256"), bar2);
    edPort->setObjectName(QStringLiteral("edPort"));
    edPort->setAttribute(Qt::WA_InputMethodEnabled, false);
    edPort->setAccessibleName(QStringLiteral("Port"));
    edPort->setMaximumWidth(60);
    edPort->installEventFilter(this);
    connect(edPort, &QLineEdit::textChanged, this, &TForm1::edPortChange);
    bar2->addWidget(btMenu);
    bar2->addWidget(new QLabel(QStringLiteral("IP"), bar2));
    bar2->addWidget(edIP);
    bar2->addWidget(new QLabel(QStringLiteral(" Port"), bar2));
    bar2->addWidget(edPort);

    auto* central = new QWidget(this);
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
    Label3->installEventFilter(this);
    panelLayout->addWidget(Label3);
    Panel3->hide();
    layout->addWidget(Panel3);

    splitter_ = new QSplitter(Qt::Vertical, central);
    splitter_->setObjectName(QStringLiteral("Splitter1"));
    splitter_->setChildrenCollapsible(false);
    WB = new ChatLogView(splitter_);
    WB->setObjectName(QStringLiteral("WB"));
    WB->setMinimumSize(30, 30);
    WB->setLog(log_.get());
    reInput = new QTextEdit(splitter_);
    reInput->setObjectName(QStringLiteral("reInput"));
    reInput->setAcceptRichText(false);
    reInput->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    reInput->installEventFilter(this);
    ChatLogView::installEditMenu(reInput);
    splitter_->addWidget(WB);
    splitter_->addWidget(reInput);
    splitter_->setStretchFactor(0, 1);
    splitter_->setStretchFactor(1, 0);
    layout->addWidget(splitter_, 1);
    setCentralWidget(central);

    const int widths[3] = {100, 88, 50};
    for (int i = 0; i < 3; ++i) {
        statusPanels_[i] = new QLabel(this);
        statusPanels_[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        // The last panel takes the rest of the bar.
        if (i < 2)
            statusPanels_[i]->setFixedWidth(widths[i]);
        else
            statusPanels_[i]->setMinimumWidth(widths[i]);
        statusBar()->addWidget(statusPanels_[i], i == 2 ? 1 : 0);
    }
    statusBar()->setObjectName(QStringLiteral("StatusBar1"));
}

void TForm1::buildMenus()
{
    auto* tools = new QMenu(btTools);
    auto* wan = tools->addAction(QStringLiteral("WAN側IPをコピー(&W)"), this, &TForm1::WANIPW1Click);
    wan->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
    auto* lan = tools->addAction(QStringLiteral("LAN側IPをコピー(&L)"), this, &TForm1::LANIPL1Click);
    lan->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    tools->addSeparator();
    tools->addAction(QStringLiteral("オプション(&O)"), this, &TForm1::O1Click);
    btTools->setMenu(tools);
    btTools->setPopupMode(QToolButton::InstantPopup);
    // The short cuts work anywhere in the window, also with the menu closed.
    for (QAction* a : {wan, lan}) {
        a->setShortcutContext(Qt::WindowShortcut);
        addAction(a);
    }

    auto* info = new QMenu(btInfo);
    // The maker's address is a build setting; without it there is no page.
    QString maker = QStringLiteral(CORVID_MAKER_URL);
    if (!maker.isEmpty() && !maker.endsWith(QLatin1Char('/')))
        maker += QLatin1Char('/');
    auto* help = info->addAction(QStringLiteral("オンラインヘルプ(&H)"), this, [maker] {
        ChatLogView::OpenExternal(QUrl(maker + QStringLiteral("help_corvid.html")));
    });
    help->setEnabled(!maker.isEmpty());
    info->addAction(QStringLiteral("バージョン情報(&A)..."), this, &TForm1::About1Click);
    btInfo->setMenu(info);
    btInfo->setPopupMode(QToolButton::InstantPopup);
}

// ---- connection controls --------------------------------------------------

void TForm1::btClientClick()
{
    if (session_->isConnecting())
        return;  // the button is disabled while an attempt runs
    if (session_->isClientConnected()) {
        session_->disconnectClient();
        return;
    }
    if (edIP->text().isEmpty() || edPort->text().isEmpty() || session_->userName().isEmpty()) {
        QMessageBox::information(this, windowTitle(), QStringLiteral("ユーザー名、接続先のIP、ポートを入力してください"));
        btClient->setChecked(false);
        UpdateConnectionControls();
        return;
    }
    if (!btClient->isChecked())
        return;
    UpdateConnectionControls();
    // The attempt runs off the UI thread; connectFinished ends it.
    if (session_->connectToPeer(edIP->text(), edPort->text()) == SessionController::ConnectOutcome::Pending)
        btClient->setEnabled(false);
}

void TForm1::connectFinished(SessionController::ConnectOutcome outcome)
{
    if (outcome != SessionController::ConnectOutcome::Connected)
        btClient->setChecked(false);
    UpdateConnectionControls();
}

void TForm1::btServerClick()
{
    if (session_->isListening()) {
        session_->stopServer();
        btServer->setChecked(false);
        UpdateConnectionControls();
        // After the answer to a mapping request still on its way.
        netEnv_->AfterPending([this] { log_->AddLogLine(QStringLiteral("サーバ停止"), LineSys); });
        return;
    }
    if (!session_->startServer(listenPort_)) {
        // Typically the port cannot be bound: the button pops up, no message.
        btServer->setChecked(false);
        UpdateConnectionControls();
        return;
    }
    btServer->setChecked(true);
    UpdateConnectionControls();
    // With a router the port is mapped first ("ポートマッピング追加失敗"
    // when that fails), then the start is announced.
    netEnv_->ServerStarted(listenPort_, [this] { log_->AddLogLine(QStringLiteral("サーバ起動"), LineSys); });
}

void TForm1::UpdateConnectionControls()
{
    const bool clientDown = btClient->isChecked();
    const bool serverDown = btServer->isChecked();
    // While the router search runs nothing may log before its outcome.
    const bool searching = netEnv_->discovering();
    edIP->setEnabled(!clientDown && !serverDown);
    edPort->setEnabled(!clientDown && !serverDown);
    btMenu->setEnabled(!clientDown && !serverDown);
    btServer->setEnabled(!clientDown && !searching);
    // While an attempt runs the button shows it (down) and takes no click.
    btClient->setEnabled(!serverDown && !searching && !session_->isConnecting());
    session_->setServerMode(serverDown);
    if (form2_)
        form2_->UpdateButtons();
}

bool TForm1::edPortKeyPress(int key, const QString& text)
{
    // Digits and backspace pass; every other typed character is discarded.
    // Keys that type nothing (arrows, Delete, Tab) keep their usual job.
    if (key == Qt::Key_Backspace || key == Qt::Key_Delete || key == Qt::Key_Tab || key == Qt::Key_Backtab)
        return true;
    if (text.isEmpty())
        return true;
    if (text.size() == 1 && !text.at(0).isPrint() && text.at(0) != QChar(0x16))
        return true;  // control keys such as copy; paste is refused like a letter
    return text.size() == 1 && text.at(0) >= QLatin1Char('0') && text.at(0) <= QLatin1Char('9');
}

void TForm1::edPortChange(const QString& text)
{
    if (text.isEmpty() || text == QLatin1String("0"))
        return;
    bool ok = false;
    const uint port = text.toUInt(&ok);
    if (ok && port > 0 && port <= 65535)
        listenPort_ = quint16(port);
}

void TForm1::AddRecentPeer(const QString& entry)
{
    session_->recentPeers().AddRecentPeer(entry);
    rebuildRecentMenu();
}

void TForm1::rebuildRecentMenu()
{
    recentMenu_->clear();
    for (const QString& entry : session_->recentPeers().entries()) {
        // Captions are shown exactly as stored: no accelerator characters.
        QString caption = entry;
        caption.replace(QLatin1Char('&'), QLatin1String("&&"));
        recentMenu_->addAction(caption, this, [this, entry] { RecentPeerClick(entry); });
    }
}

void TForm1::RecentPeerClick(const QString& entry)
{
    QString host;
    QString port;
    RecentPeers::SplitEntry(entry, host, port);
    edIP->setText(host);
    edPort->setText(port);
}

void TForm1::setTitle(const QString& title)
{
    // The task bar shows the window's own title here; a Qt display name
    // would be appended to it, so the application title is kept apart.
    appTitle_ = title;
    setWindowTitle(title);
}

void TForm1::About1Click()
{
    about_->show();
    about_->raise();
    about_->activateWindow();
}

void TForm1::createTransferWindow()
{
    transfer_ = std::make_unique<TransferSide>(settings_, *log_, *handOver_, *session_);
    form2_ = std::make_unique<TForm2>(transfer_->center(), IniFile(settingsPath_));
    form2_->setScheduler(&transfer_->scheduler());
    connect(form2_.get(), &TForm2::listArrivalBarWanted, Panel3, &QWidget::setVisible);
    connect(form2_.get(), &TForm2::visibilityChanged, btTrans, &QToolButton::setChecked);
    connect(form2_.get(), &TForm2::flashWanted, this, [this] {
        // The same series as the log lines': a burst flashes once.
        if (notify_)
            notify_->StartFlashing();
    });
    connect(session_.get(), &SessionController::connectionStateChanged, form2_.get(), &TForm2::UpdateButtons);
    setAcceptDrops(true);
}

TransferCenter& TForm1::transfer()
{
    return transfer_->center();
}

ListTimerSettings TForm1::listTimer() const
{
    return form2_->listTimer();
}

void TForm1::showTransferWindow()
{
    form2_->show();
    form2_->raise();
    form2_->activateWindow();
}

void TForm1::btTransClick()
{
    if (btTrans->isChecked())
        form2_->show();
    else
        form2_->hide();
}

void TForm1::Label3Click()
{
    showTransferWindow();
}

void TForm1::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void TForm1::dropEvent(QDropEvent* event)
{
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile())
            form2_->AddLocalFile(url.toLocalFile());
    }
    event->acceptProposedAction();
    showTransferWindow();
}

// ---- addresses ------------------------------------------------------------

void TForm1::WANIPW1Click()
{
    QGuiApplication::clipboard()->setText(netEnv_->wanAddress());
}

void TForm1::LANIPL1Click()
{
    // The name service may be slow: the copy happens when it has answered.
    netEnv_->RequestLocalAddress([](const QString& address) { QGuiApplication::clipboard()->setText(address); });
}

// ---- events ---------------------------------------------------------------

bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Label3 && event->type() == QEvent::MouseButtonRelease) {
        Label3Click();
        return true;
    }
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (watched == edPort && !edPortKeyPress(key->key(), key->text()))
            return true;
        if (watched == reInput && reInputKeyPress(key))
            return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---- start-up and shut-down -------------------------------------------------

void TForm1::FormCreate()
{
    AppSettings& s = settings_;
    IniFile ini(settingsPath_);

    // Left and Top are the outer edge of the window, frame included.
    const WindowBounds b = AppSettings::loadMainForm(ini);
    move(b.Left, b.Top);
    resize(b.Width, b.Height);
    const QString exeDir = AppSettings::executableDir();
    s.loadAtStart(ini, AddressDiscovery::GetLocalHostName(), exeDir);
    WindowTranslucency::apply(this, s.Alpha, s.AlphaValue);
    inputHeight_ = qMax(1, s.InputHeight);
    session_->setUserName(s.UserName);

    for (const QString& entry : AppSettings::loadRecentPeers(ini))
        session_->recentPeers().AddRecentPeer(entry);

    // The WAN address starts as the LAN address, which is looked up off the
    // UI thread; with UseUPnP the router search and the external-address
    // query follow it there.
    netEnv_->FormCreate([this](const QString& lan) { statusPanels_[1]->setText(lan); },
                        [this] { UpdateConnectionControls(); });

    statusPanels_[0]->setText(s.UserName);

    session_->recentPeers().convertOldEntries();
    rebuildRecentMenu();
    if (!session_->recentPeers().entries().isEmpty())
        RecentPeerClick(session_->recentPeers().entries().first());

    log_->setUserName(s.UserName);
    applyLogAppearance();
}

void TForm1::applyLogAppearance()
{
    const AppSettings& s = settings_;
    ChatLogStyle style;
    style.formColor = s.FormColor;
    style.userColor = s.UserColor;
    style.recvColor = s.RecvColor;
    style.sysColor = s.SysColor;
    style.linkColor = s.LinkColor;
    style.fontName = s.FontName;
    style.fontSize = s.FontSize;
    log_->setStyle(style);
}

void TForm1::O1Click()
{
    options_->exec();
}

void TForm1::applyOptions()
{
    const AppSettings& s = settings_;
    statusPanels_[0]->setText(s.UserName);
    session_->setUserName(s.UserName);
    log_->setUserName(s.UserName);
    applyLogAppearance();
    log_->restyle(log_->style());
}

void TForm1::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (shown_)
        return;
    shown_ = true;
    Panel3->hide();
    // The log takes the space the input box leaves; later resizes keep the
    // input box's height (its stretch factor is 0).
    const int logHeight = qMax(WB->minimumHeight(), splitter_->height() - splitter_->handleWidth() - inputHeight_);
    splitter_->setSizes({logHeight, inputHeight_});
    if (settings_.VerCheck)
        netEnv_->StartVersionCheck();
}

bool TForm1::FormCloseQuery()
{
    if (!session_->hasServerSession())
        return true;
    QMessageBox::warning(this, appTitle_, QStringLiteral("サーバ起動中は終了できません"));
    return false;
}

void TForm1::FormClose()
{
    IniFile ini(settingsPath_);
    QString error;
    bool ok = AppSettings::saveMainForm(ini, WindowBounds{x(), y(), height(), width()}, &error);
    if (ok)
        ok = AppSettings::saveTransferWindowState(ini, form2_->layoutState(), &error);
    if (ok)
        ok = AppSettings::saveRecentPeers(ini, session_->recentPeers().entries(), &error);
    if (!ok)
        QMessageBox::critical(this, windowTitle(), error);
}

void TForm1::closeEvent(QCloseEvent* event)
{
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    FormClose();
    form2_->hide();  // the program ends with this window
    event->accept();
}

// ---- chat input -----------------------------------------------------------

bool TForm1::reInputKeyPress(QKeyEvent* event)
{
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter)
        return false;
    if (event->modifiers() & Qt::ControlModifier) {
        // Ctrl+Enter is the typed line break.
        reInput->textCursor().insertText(QStringLiteral("\n"));
        return true;
    }
    // Enter is never inserted.
    const QString text = reInput->toPlainText();
    if (text.isEmpty())
        return true;
    if (!session_->hasSessionConnection())
        return true;  // nothing connected: the text stays for later
    if (session_->chatInFlight())
        return true;  // the box still holds a message on its way out
    SendChatMessage(text);
    return true;
}

void TForm1::SendChatMessage(const QString& text)
{
    // The box is cleared when the message has gone out (chatSent); a
    // failure keeps the text for a retry.
    session_->SendChatMessage(text);
}

} // namespace corvid

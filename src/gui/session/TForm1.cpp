#include "gui/session/TForm1.h"

#include "BuildConfig.h"
#include "core/netenv/AddressDiscovery.h"
#include "core/session/ChatLog.h"
#include "core/settings/AppSettings.h"
#include "core/settings/IniFile.h"
#include "gui/about/TForm3.h"
#include "core/transfer/TransferSide.h"
#include "gui/session/ChatLogView.h"
#include "gui/session/ConnectionControls.h"
#include "gui/session/TrustControls.h"
#include "gui/transfer/FileDrops.h"
#include "gui/transfer/TForm2.h"
#include "gui/settings/TForm4.h"
#include "gui/settings/WindowNotifications.h"
#include "gui/settings/WindowTranslucency.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QSplitter>
#include <QTextEdit>
#include <QToolButton>
#include <QUrl>

// The icons live in a static library: register them before first use.
static void initCorvidResources()
{
    Q_INIT_RESOURCE(corvid);
}

namespace corvid {

namespace {
// The maker's address is a build setting; without it there is no help page.
QString makerPage()
{
    QString maker = QStringLiteral(CORVID_MAKER_URL);
    if (!maker.isEmpty() && !maker.endsWith(QLatin1Char('/')))
        maker += QLatin1Char('/');
    return maker;
}
} // namespace

TForm1::TForm1(const QString& settingsPath, QWidget* parent)
    : TForm1(settingsPath, NetEnvConfig::fromBuild(), parent)
{
}

TForm1::TForm1(const QString& settingsPath, const NetEnvConfig& netEnv, QWidget* parent)
    : QMainWindow(parent)
    , settingsPath_(settingsPath)
    , settings_(AppSettings::defaultRecvDir())
    , handOver_(std::make_unique<UiHandOver>())
    , log_(std::make_unique<ChatLog>())
    , session_(std::make_unique<SessionController>(*log_, *handOver_))
{
    netEnv_ = std::make_unique<NetEnvControl>(settings_, settingsPath_, *log_, *handOver_, netEnv);
    initCorvidResources();
    setObjectName(QStringLiteral("TForm1"));
    setWindowTitle(QString::fromLatin1(SessionController::kAppTitle));
    setWindowIcon(QIcon(QStringLiteral(":/icons/corvid.svg")));
    setupUi(this);
    WB->setLog(log_.get());
    const MainWindowLayout& ui = *this;
    controls_ = std::make_unique<ConnectionControls>(ui, this, *session_, *netEnv_, *log_);
    // The key and the pins are kept beside the settings file.
    trust_ = std::make_unique<TrustControls>(ui, this, *session_, *netEnv_, *controls_, *log_,
                                             QFileInfo(settingsPath_).absolutePath() + QLatin1Char('/'));
    connectControls();

    connect(session_.get(), &SessionController::titleChanged, this, &TForm1::setTitle);
    connect(session_.get(), &SessionController::chatSent, this, [this](const QString& text) {
        // The box lets go of the text only if it still holds what was sent.
        if (reInput->toPlainText() == text)
            reInput->clear();
    });
    ChatLog* log = log_.get();
    connect(log, &ChatLog::statusTimeChanged, StatusPanels[2], &QLabel::setText);
    connect(log, &ChatLog::inputColorsChanged, this, [this](const QString& bg, const QString& fg) {
        ChatLogView::applyInputColors(reInput, bg, fg);
    });

    FormCreate();
    createTransferWindow();
    connect(controls_.get(), &ConnectionControls::controlsUpdated, form2_.get(), &TForm2::UpdateButtons);
    controls_->UpdateConnectionControls();
    about_ = new TForm3(netEnv.makerUrl, this);
    about_->setSettingsFile(settingsPath_);
    about_->setFingerprint(trust_->fingerprint());
    connect(trust_.get(), &TrustControls::identityChanged, about_, &TForm3::setFingerprint);
    connect(about_, &TForm3::invitationWanted, trust_.get(), &TrustControls::InviteI1Click);

    notify_ = std::make_unique<WindowNotifications>(settings_, *handOver_, this, reInput, *log_);
    options_ = new TForm4(settings_, settingsPath_, this);
    options_->setListTimerSource([this] { return form2_->listTimer(); });
    connect(options_, &TForm4::listTimerChanged, form2_.get(), &TForm2::setListTimer);
    connect(options_, &TForm4::optionsApplied, this, &TForm1::applyOptions);
    connect(options_, &TForm4::checkNowRequested, this, [this] { netEnv_->StartVersionCheck(); });
}

TForm1::~TForm1()
{
    FormDestroy();
}

void TForm1::FormDestroy()
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

void TForm1::connectControls()
{
    Label3->installEventFilter(this);
    reInput->installEventFilter(this);
    connect(btTrans, &QToolButton::clicked, this, &TForm1::btTransClick);
    connect(WANIPW1, &QAction::triggered, this, &TForm1::WANIPW1Click);
    connect(LANIPL1, &QAction::triggered, this, &TForm1::LANIPL1Click);
    connect(O1, &QAction::triggered, this, &TForm1::O1Click);
    Help1->setEnabled(!makerPage().isEmpty());
    connect(Help1, &QAction::triggered, this, &TForm1::Help1Click);
    connect(About1, &QAction::triggered, this, &TForm1::About1Click);
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
    FileDrops::enter(event);
}

void TForm1::dropEvent(QDropEvent* event)
{
    for (const QString& path : FileDrops::take(event))
        form2_->AddLocalFile(path);
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
    // Without an IPv4 address the global IPv6 one is what a peer can use.
    netEnv_->RequestLocalAddress([](const QString& address) {
        QGuiApplication::clipboard()->setText(address.isEmpty() ? AddressDiscovery::GetGlobalIPv6Address() : address);
    });
}

void TForm1::Help1Click()
{
    ChatLogView::OpenExternal(QUrl(makerPage() + QStringLiteral("help_corvid.html")));
}

// ---- events ---------------------------------------------------------------

bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Label3 && event->type() == QEvent::MouseButtonRelease) {
        Label3Click();
        return true;
    }
    if (watched == reInput && event->type() == QEvent::KeyPress && reInputKeyPress(static_cast<QKeyEvent*>(event)))
        return true;
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
    // Beside the executable for a portable copy, the download folder for an
    // installed one.
    s.loadAtStart(ini, AddressDiscovery::GetLocalHostName(), AppSettings::defaultRecvDir());
    WindowTranslucency::apply(this, s.Alpha, s.AlphaValue);
    inputHeight_ = qMax(1, s.InputHeight);
    session_->setUserName(s.UserName);

    for (const QString& entry : AppSettings::loadRecentPeers(ini))
        session_->recentPeers().AddRecentPeer(entry);

    // The WAN address starts as the LAN address, which is looked up off the
    // UI thread; with UseUPnP the router search and the external-address
    // query follow it there.
    netEnv_->FormCreate([this](const QString& lan) { StatusPanels[1]->setText(lan); },
                        [this] { controls_->UpdateConnectionControls(); });
    // Where IPv6 reaches this machine directly, no router mapping is needed.
    const QString v6 = AddressDiscovery::GetGlobalIPv6Address();
    StatusPanels[1]->setToolTip(v6.isEmpty() ? QString() : QStringLiteral("IPv6: %1").arg(v6));

    StatusPanels[0]->setText(s.UserName);

    session_->recentPeers().convertOldEntries();
    controls_->rebuildRecentMenu();
    if (!session_->recentPeers().entries().isEmpty())
        controls_->RecentPeerClick(session_->recentPeers().entries().first());

    log_->setUserName(s.UserName);
    applyLogAppearance();
    trust_->FormCreate();
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
    StatusPanels[0]->setText(s.UserName);
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
    FormShow();
}

void TForm1::FormShow()
{
    Panel3->hide();
    // The log takes the space the input box leaves; later resizes keep the
    // input box's height (its stretch factor is 0).
    const int logHeight = qMax(WB->minimumHeight(), Splitter1->height() - Splitter1->handleWidth() - inputHeight_);
    Splitter1->setSizes({logHeight, inputHeight_});
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

quint16 TForm1::listeningPort() const
{
    return controls_->listeningPort();
}

} // namespace corvid

#include "gui/session/ConnectionControls.h"

#include "core/netenv/NetEnvControl.h"
#include "core/session/ChatLog.h"
#include "gui/session/MainWindowLayout.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QToolButton>

namespace corvid {

ConnectionControls::ConnectionControls(const MainWindowLayout& ui, QWidget* window, SessionController& session,
                                       NetEnvControl& netEnv, ChatLog& log)
    : window_(window)
    , session_(session)
    , netEnv_(netEnv)
    , log_(log)
    , btClient(ui.btClient)
    , btServer(ui.btServer)
    , btMenu(ui.btMenu)
    , RecentMenu(ui.RecentMenu)
    , edIP(ui.edIP)
    , edPort(ui.edPort)
{
    connect(btClient, &QToolButton::clicked, this, &ConnectionControls::btClientClick);
    connect(btServer, &QToolButton::clicked, this, &ConnectionControls::btServerClick);
    edPort->installEventFilter(this);
    connect(edPort, &QLineEdit::textChanged, this, &ConnectionControls::edPortChange);

    connect(&session_, &SessionController::connectionStateChanged, this,
            &ConnectionControls::UpdateConnectionControls);
    connect(&session_, &SessionController::clientDisconnected, this, [this] { btClient->setChecked(false); });
    connect(&session_, &SessionController::recentPeersChanged, this, &ConnectionControls::rebuildRecentMenu);
    connect(&session_, &SessionController::connectFinished, this, &ConnectionControls::connectFinished);
}

void ConnectionControls::btClientClick()
{
    if (session_.isConnecting())
        return;  // the button is disabled while an attempt runs
    if (session_.isClientConnected()) {
        session_.disconnectClient();
        return;
    }
    if (edIP->text().isEmpty() || edPort->text().isEmpty() || session_.userName().isEmpty()) {
        QMessageBox::information(window_, window_->windowTitle(),
                                 QStringLiteral("ユーザー名、接続先のIP、ポートを入力してください"));
        btClient->setChecked(false);
        UpdateConnectionControls();
        return;
    }
    if (!btClient->isChecked())
        return;
    UpdateConnectionControls();
    // The attempt runs off the UI thread; connectFinished ends it.
    if (session_.connectToPeer(edIP->text(), edPort->text()) == SessionController::ConnectOutcome::Pending)
        btClient->setEnabled(false);
}

void ConnectionControls::connectFinished(SessionController::ConnectOutcome outcome)
{
    if (outcome != SessionController::ConnectOutcome::Connected)
        btClient->setChecked(false);
    UpdateConnectionControls();
}

void ConnectionControls::btServerClick()
{
    if (session_.isListening()) {
        session_.stopServer();
        btServer->setChecked(false);
        UpdateConnectionControls();
        // After the answer to a mapping request still on its way.
        netEnv_.AfterPending([this] { log_.AddLogLine(QStringLiteral("サーバ停止"), LineSys); });
        return;
    }
    if (!session_.startServer(listenPort_)) {
        // Typically the port cannot be bound: the button pops up, no message.
        btServer->setChecked(false);
        UpdateConnectionControls();
        return;
    }
    btServer->setChecked(true);
    UpdateConnectionControls();
    // With a router the port is mapped first ("ポートマッピング追加失敗"
    // when that fails), then the start is announced.
    netEnv_.ServerStarted(listenPort_, [this] { log_.AddLogLine(QStringLiteral("サーバ起動"), LineSys); });
}

void ConnectionControls::UpdateConnectionControls()
{
    const bool clientDown = btClient->isChecked();
    const bool serverDown = btServer->isChecked();
    // While the router search runs nothing may log before its outcome.
    const bool searching = netEnv_.discovering();
    edIP->setEnabled(!clientDown && !serverDown);
    edPort->setEnabled(!clientDown && !serverDown);
    btMenu->setEnabled(!clientDown && !serverDown);
    btServer->setEnabled(!clientDown && !searching);
    // While an attempt runs the button shows it (down) and takes no click.
    btClient->setEnabled(!serverDown && !searching && !session_.isConnecting());
    session_.setServerMode(serverDown);
    emit controlsUpdated();
}

bool ConnectionControls::edPortKeyPress(int key, const QString& text)
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

void ConnectionControls::edPortChange(const QString& text)
{
    if (text.isEmpty() || text == QLatin1String("0"))
        return;
    bool ok = false;
    const uint port = text.toUInt(&ok);
    if (ok && port > 0 && port <= 65535)
        listenPort_ = quint16(port);
}

void ConnectionControls::rebuildRecentMenu()
{
    RecentMenu->clear();
    for (const QString& entry : session_.recentPeers().entries()) {
        // Captions are shown exactly as stored: no accelerator characters.
        QString caption = entry;
        caption.replace(QLatin1Char('&'), QLatin1String("&&"));
        RecentMenu->addAction(caption, this, [this, entry] { RecentPeerClick(entry); });
    }
}

void ConnectionControls::RecentPeerClick(const QString& entry)
{
    QString host;
    QString port;
    RecentPeers::SplitEntry(entry, host, port);
    edIP->setText(host);
    edPort->setText(port);
}

bool ConnectionControls::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == edPort && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (!edPortKeyPress(key->key(), key->text()))
            return true;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace corvid

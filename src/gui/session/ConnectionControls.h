#pragma once
#include "core/session/SessionController.h"

#include <QObject>

class QLineEdit;
class QMenu;
class QToolButton;
class QWidget;

namespace corvid {

class ChatLog;
class NetEnvControl;
struct MainWindowLayout;

// The main window's connection controls: btClient and btServer, the peer's
// address in edIP and edPort, and the recent-peers menu. It turns their
// clicks into the session controller's connect, disconnect, start and stop,
// and keeps their enabled states in line with the session.
class ConnectionControls : public QObject {
    Q_OBJECT
public:
    // ui: the controls (owned by `window`, which also owns message boxes).
    ConnectionControls(const MainWindowLayout& ui, QWidget* window, SessionController& session, NetEnvControl& netEnv,
                       ChatLog& log);

    // The port the server listens on; follows edPort.
    quint16 listeningPort() const { return listenPort_; }

    // Handlers named after their controls.
    void btClientClick();
    void btServerClick();
    void connectFinished(SessionController::ConnectOutcome outcome);
    void UpdateConnectionControls();
    void edPortChange(const QString& text);
    void RecentPeerClick(const QString& entry);
    void rebuildRecentMenu();

signals:
    // The connection state the controls show changed; the transfer window's
    // buttons follow it.
    void controlsUpdated();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    static bool edPortKeyPress(int key, const QString& text);

    QWidget* window_;
    SessionController& session_;
    NetEnvControl& netEnv_;
    ChatLog& log_;
    QToolButton* btClient;
    QToolButton* btServer;
    QToolButton* btMenu;
    QMenu* RecentMenu;
    QLineEdit* edIP;
    QLineEdit* edPort;
    quint16 listenPort_ = 6256;
};

} // namespace corvid

#pragma once
#include "core/session/SessionController.h"
#include "core/session/UiHandOver.h"
#include "core/settings/AppSettings.h"

#include <QMainWindow>
#include <memory>

class QLabel;
class QLineEdit;
class QMenu;
class QSplitter;
class QStatusBar;
class QTextEdit;
class QToolButton;
class QWidget;

namespace corvid {

class ChatLog;
class ChatLogView;
class IniFile;
class TForm4;
class WindowNotifications;

// The main window: connection controls, chat log and input box. It forwards
// the user's actions to the session controller and renders its state.
class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    // settingsPath: the corvid.ini to read at creation and write at close.
    explicit TForm1(const QString& settingsPath, QWidget* parent = nullptr);
    ~TForm1() override;

    SessionController& session() { return *session_; }
    ChatLog& chatLog() { return *log_; }
    // This window's settings; handed to every object that needs them.
    AppSettings& settings() { return settings_; }
    UiHandOver& handOver() { return *handOver_; }

    // Handlers named after their controls.
    void btClientClick();
    void btServerClick();
    void UpdateConnectionControls();
    void edPortChange(const QString& text);
    void AddRecentPeer(const QString& entry);
    void RecentPeerClick(const QString& entry);
    void SendChatMessage(const QString& text);
    void WANIPW1Click();
    void LANIPL1Click();
    void btTransClick();
    void O1Click();

    // The options dialog and the notifications of this window.
    TForm4* optionsDialog() { return options_; }
    WindowNotifications& notifications() { return *notify_; }
    // The periodic list request, kept here until the transfer window owns it.
    const ListTimerSettings& listTimer() const { return listTimer_; }

    quint16 listeningPort() const { return listenPort_; }
    QString wanAddress() const { return wanAddress_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void buildLayout();
    void buildMenus();
    void FormCreate();
    bool FormCloseQuery();
    void FormClose();
    void rebuildRecentMenu();
    bool edPortKeyPress(int key, const QString& text);
    bool reInputKeyPress(QKeyEvent* event);
    void applyLogAppearance();
    void applyOptions();
    void setTitle(const QString& title);

    QString settingsPath_;
    AppSettings settings_;
    std::unique_ptr<UiHandOver> handOver_;  // outlives the session: its threads hand over
    std::unique_ptr<ChatLog> log_;  // outlives the session: its threads log
    std::unique_ptr<SessionController> session_;
    std::unique_ptr<WindowNotifications> notify_;  // reads settings_, listens to log_
    TForm4* options_ = nullptr;
    ListTimerSettings listTimer_;
    quint16 listenPort_ = 6256;
    QString wanAddress_;
    QString appTitle_ = QStringLiteral("Corvid");
    TransferWindowState transferState_;
    bool shown_ = false;
    int inputHeight_ = 80;

    QToolButton* btClient = nullptr;
    QToolButton* btServer = nullptr;
    QToolButton* btTrans = nullptr;
    QToolButton* btTools = nullptr;
    QToolButton* btInfo = nullptr;
    QToolButton* btMenu = nullptr;
    QMenu* recentMenu_ = nullptr;
    QLineEdit* edIP = nullptr;
    QLineEdit* edPort = nullptr;
    QWidget* Panel3 = nullptr;
    QLabel* Label3 = nullptr;
    ChatLogView* WB = nullptr;
    QSplitter* splitter_ = nullptr;
    QTextEdit* reInput = nullptr;
    QLabel* statusPanels_[3] = {nullptr, nullptr, nullptr};
};

} // namespace corvid

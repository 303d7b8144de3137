#pragma once
#include "core/netenv/NetEnvControl.h"
#include "core/session/SessionController.h"
#include "core/session/UiHandOver.h"
#include "core/settings/AppSettings.h"
#include "gui/session/MainWindowLayout.h"

#include <QMainWindow>
#include <memory>

namespace corvid {

class ChatLog;
class ConnectionControls;
class IniFile;
class TForm3;
class TForm2;
class TransferCenter;
class TransferSide;
class TForm4;
class TrustControls;
class WindowNotifications;

// The main window: connection controls, chat log and input box. It forwards
// the user's actions to the session controller and renders its state. It
// owns the session, the log, the transfer side and the other windows; its
// controls come from MainWindowLayout (inherited, so handlers name them
// directly), and ConnectionControls drives the connection controls.
class TForm1 : public QMainWindow, private MainWindowLayout {
    Q_OBJECT
public:
    // settingsPath: the corvid.ini to read at creation and write at close.
    explicit TForm1(const QString& settingsPath, QWidget* parent = nullptr);
    // netEnv: where the router search, the update check and the maker's
    // link go (tests aim them at fakes on loopback).
    TForm1(const QString& settingsPath, const NetEnvConfig& netEnv, QWidget* parent = nullptr);
    ~TForm1() override;

    SessionController& session() { return *session_; }
    ChatLog& chatLog() { return *log_; }
    // This window's settings; handed to every object that needs them.
    AppSettings& settings() { return settings_; }
    UiHandOver& handOver() { return *handOver_; }
    // The transfer side of this instance and its window.
    TransferCenter& transfer();
    TForm2& transferWindow() { return *form2_; }

    // Handlers named after their controls.
    void SendChatMessage(const QString& text);
    void WANIPW1Click();
    void LANIPL1Click();
    void btTransClick();
    void Help1Click();
    void About1Click();
    void Label3Click();
    void O1Click();

    // The options dialog and the notifications of this window.
    TForm4* optionsDialog() { return options_; }
    WindowNotifications& notifications() { return *notify_; }
    // The transfer window's periodic list request.
    ListTimerSettings listTimer() const;

    quint16 listeningPort() const;
    QString wanAddress() const { return netEnv_->wanAddress(); }
    NetEnvControl& netEnv() { return *netEnv_; }
    TForm3* aboutBox() const { return about_; }
    // This installation's key, the pins, invitations and the new-key command.
    TrustControls& trust() { return *trust_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void connectControls();
    void FormCreate();
    void FormShow();
    bool FormCloseQuery();
    void FormClose();
    void FormDestroy();
    bool reInputKeyPress(QKeyEvent* event);
    void applyLogAppearance();
    void applyOptions();
    void setTitle(const QString& title);
    void createTransferWindow();
    void showTransferWindow();

    QString settingsPath_;
    AppSettings settings_;
    std::unique_ptr<UiHandOver> handOver_;  // outlives the session: its threads hand over
    std::unique_ptr<ChatLog> log_;  // outlives the session: its threads log
    std::unique_ptr<NetEnvControl> netEnv_;  // router requests and update checks
    std::unique_ptr<SessionController> session_;
    std::unique_ptr<WindowNotifications> notify_;  // reads settings_, listens to log_
    std::unique_ptr<ConnectionControls> controls_;  // goes before the session it drives
    std::unique_ptr<TrustControls> trust_;          // likewise
    TForm4* options_ = nullptr;
    QString appTitle_ = QStringLiteral("Corvid");
    bool shown_ = false;
    int inputHeight_ = 80;
    TForm3* about_ = nullptr;
    // Last: the window goes before the transfer side, which joins its
    // workers before the session and the log go.
    std::unique_ptr<TransferSide> transfer_;  // the session's connection threads call it
    std::unique_ptr<TForm2> form2_;
};

} // namespace corvid

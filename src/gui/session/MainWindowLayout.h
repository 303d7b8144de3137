#pragma once

class QAction;
class QLabel;
class QLineEdit;
class QMainWindow;
class QMenu;
class QSplitter;
class QTextEdit;
class QToolButton;
class QWidget;

namespace corvid {

class ChatLogView;

// The controls of the main window and their layout: both tool bars, the
// list-arrival bar, the log above the input box, the status bar, and the
// tools and info menus. Behaviour lives in TForm1 and ConnectionControls.
struct MainWindowLayout {
    // Creates every control inside `window`, which owns them.
    void setupUi(QMainWindow* window);

    // Tool bar 1
    QToolButton* btClient = nullptr;
    QToolButton* btServer = nullptr;
    QToolButton* btTrans = nullptr;
    QToolButton* btTools = nullptr;
    QToolButton* btInfo = nullptr;

    // Tool bar 2: the recent peers and the address to connect to
    QToolButton* btMenu = nullptr;
    QMenu* RecentMenu = nullptr;
    QLineEdit* edIP = nullptr;
    QLineEdit* edPort = nullptr;

    // The list-arrival bar, the log and the input box
    QWidget* Panel3 = nullptr;
    QLabel* Label3 = nullptr;
    QSplitter* Splitter1 = nullptr;
    ChatLogView* WB = nullptr;
    QTextEdit* reInput = nullptr;

    // Status bar: user name, LAN address, time of the newest log line
    QLabel* StatusPanels[3] = {nullptr, nullptr, nullptr};

    // Tools menu (its short cuts work anywhere in the window) and info menu
    QAction* WANIPW1 = nullptr;
    QAction* LANIPL1 = nullptr;
    QAction* InviteI1 = nullptr;  // the invitation line
    QAction* NewKeyK1 = nullptr;  // a new key for this installation
    QAction* O1 = nullptr;
    QAction* Help1 = nullptr;
    QAction* About1 = nullptr;

private:
    void buildToolBars(QMainWindow* window);
    void buildCentral(QMainWindow* window);
    void buildStatusBar(QMainWindow* window);
    void buildMenus(QMainWindow* window);
};

} // namespace corvid

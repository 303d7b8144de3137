#pragma once

class QAction;
class QMenu;
class QSplitter;
class QToolBar;
class QToolButton;
class QWidget;

namespace corvid {

class QueueView;
class TransferQueue;

// The controls of the transfer window and their layout: the receive queue
// with its tool bar above, the send queue with its tool bar below, and the
// two queues' popup menus. Behaviour lives in TForm2.
struct TransferWindowLayout {
    // Creates every control inside `window`, which owns them; the views show
    // the two queues.
    void setupUi(QWidget* window, TransferQueue& receiveQueue, TransferQueue& sendQueue);

    QSplitter* Splitter1 = nullptr;

    // Receive side
    QToolBar* ToolBar1 = nullptr;
    QToolButton* btRecv = nullptr;
    QToolButton* btLV2FinClear = nullptr;
    QToolButton* btLV2AllClear = nullptr;
    QToolButton* btInBox = nullptr;
    QToolButton* btRecvList = nullptr;
    QToolButton* btWRecv = nullptr;
    QueueView* ListView2 = nullptr;

    // Send side
    QToolBar* ToolBar2 = nullptr;
    QToolButton* btSend = nullptr;
    QToolButton* btLV1FinClear = nullptr;
    QToolButton* btLV1AllClear = nullptr;
    QToolButton* btAddFile = nullptr;
    QToolButton* btSendList = nullptr;
    QueueView* ListView1 = nullptr;

    // The receive queue's menu; each entry's data is its tag
    QMenu* PopupMenu1 = nullptr;
    QAction* Open1 = nullptr;
    QAction* Delete1 = nullptr;
    QAction* N2 = nullptr;
    QAction* N1 = nullptr;
    // The send queue's menu
    QMenu* PopupMenu2 = nullptr;
    QAction* Open2 = nullptr;
    QAction* Delete2 = nullptr;

private:
    void buildMenus(QWidget* window);
};

} // namespace corvid

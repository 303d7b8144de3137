#pragma once
#include "core/settings/AppSettings.h"
#include "core/transfer/ITransferWindow.h"
#include "gui/transfer/TransferWindowLayout.h"

#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>

class QTimer;

namespace corvid {

class IniFile;
class QueueView;
class ReceiveScheduler;
class TransferCenter;
class TransferQueue;

// The file-transfer window: the receive queue above, the send queue below,
// each with its tool bar. It renders the transfer side's queues and turns
// the user's clicks into its operations. Created hidden at start; closing
// only hides it, and it never keeps the program running on its own. Its
// controls come from TransferWindowLayout (inherited, so handlers name them
// directly).
class TForm2 : public QWidget, public ITransferWindow, private TransferWindowLayout {
    Q_OBJECT
public:
    using Opener = std::function<bool(const QUrl&)>;
    // The dialogs of "ファイル追加": the files chosen, or (folder) the one
    // folder; nothing when cancelled.
    using Chooser = std::function<QStringList(bool folder)>;

    // Reads [State] and the list timer from `ini` (FormCreate).
    TForm2(TransferCenter& center, const IniFile& ini, QWidget* parent = nullptr);
    ~TForm2() override;

    TransferCenter& center() { return center_; }
    // The layout as [State] keeps it.
    TransferWindowState layoutState() const;
    void applyLayoutState(const TransferWindowState& state);
    // The periodic list check (CheckTimer, CheckMin), also from the options
    // dialog.
    void setListTimer(const ListTimerSettings& timer);
    ListTimerSettings listTimer() const { return listTimer_; }
    // The desktop's open action (tests replace it).
    void setOpener(Opener opener) { opener_ = std::move(opener); }
    // The dialogs of "ファイル追加" (tests replace them).
    void setChooser(Chooser chooser) { chooser_ = std::move(chooser); }

    // Handlers named after their controls.
    void UpdateButtons();
    void btRecvClick(bool programmatic = false);
    void btWRecvClick();
    void btSendClick(bool programmatic = false);
    void btSendListClick();
    void btRecvListClick();
    // Files, or (from the button's menu) a folder.
    void btAddFileClick(bool folder = false);
    void btInBoxClick();
    void btLV2FinClearClick();
    void btLV1FinClearClick();
    void btLV2AllClearClick();
    void btLV1AllClearClick();
    void Delete1Click(int tag);
    void N2Click(int tag);
    void ListView2DblClick(QueueView* view);
    void ListView2ColumnClick(QueueView* view, int column);
    void ListView2DragDrop(QueueView* view, int target);
    void Timer1Timer();
    void Timer3Timer();
    // Adds one local file, or every file under a folder, to the send queue
    // (a system line when it cannot, and one for a folder).
    void AddLocalFile(const QString& path);

    // The receiving side's scheduler (it outlives this window): Timer2
    // ticks it, and "受信開始" and "優先受信" tell it when they go down or up.
    void setScheduler(ReceiveScheduler* scheduler);
    ReceiveScheduler* scheduler() { return scheduler_; }
    bool receivePressed() const;
    // What the transfer side asks of this window.
    bool priorityPressed() const override;
    void pressReceive() override { btRecvClick(true); }
    void pressSendList() override { btSendListClick(); }
    void listArrived() override { ListArrived(); }

signals:
    // The main window's part: its list-arrival bar, flashing and btTrans.
    void listArrivalBarWanted(bool shown);
    void flashWanted();
    void visibilityChanged(bool shown);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void connectControls();
    void FormShow();
    void ListView2Change();
    void ListView1Change();
    void PopupMenu1Popup();
    void PopupMenu2Popup();
    void ListArrived();
    void openRow(QueueView* view);
    bool openUrl(const QUrl& url) { return opener_ ? opener_(url) : false; }

    TransferCenter& center_;
    Opener opener_;
    Chooser chooser_;
    ReceiveScheduler* scheduler_ = nullptr;
    std::array<int, 7> recvDirections_;
    std::array<int, 7> sendDirections_;
    TransferWindowState state_;
    bool shownOnce_ = false;

    QTimer* Timer1 = nullptr;
    QTimer* Timer2 = nullptr;
    QTimer* Timer3 = nullptr;
    ListTimerSettings listTimer_;
};

} // namespace corvid

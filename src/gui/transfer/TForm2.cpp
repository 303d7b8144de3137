#include "gui/transfer/TForm2.h"

#include "core/session/ILogSink.h"
#include "core/settings/IniFile.h"
#include "core/transfer/FileListText.h"
#include "core/transfer/LocalFileAdder.h"
#include "core/transfer/QueueOrdering.h"
#include "core/transfer/ReceiveScheduler.h"
#include "core/transfer/RowTransitions.h"
#include "core/transfer/TransferButtons.h"
#include "core/transfer/TransferCenter.h"
#include "gui/transfer/FileDrops.h"
#include "gui/transfer/QueueView.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QMenu>
#include <QSplitter>
#include <QTimer>
#include <QToolButton>

#include <utility>

namespace corvid {

TForm2::TForm2(TransferCenter& center, const IniFile& ini, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , center_(center)
    , opener_([](const QUrl& url) { return QDesktopServices::openUrl(url); })
    , chooser_([this](bool folder) {
        if (!folder)
            return QFileDialog::getOpenFileNames(this);
        const QString chosen = QFileDialog::getExistingDirectory(this);
        return chosen.isEmpty() ? QStringList() : QStringList{chosen};
    })
{
    recvDirections_.fill(-1);
    sendDirections_.fill(-1);
    setObjectName(QStringLiteral("TForm2"));
    setWindowTitle(QStringLiteral("Corvid"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/corvid.svg")));
    // Closing only hides it, and the program ends with the main window.
    setAttribute(Qt::WA_QuitOnClose, false);
    // The Japanese gothic at 9 points, the face the column widths were
    // chosen for (the log uses the same face).
    QFont uiFont = font();
    uiFont.setFamilies({QStringLiteral("IPAPGothic"), QStringLiteral("IPAGothic"), uiFont.family()});
    uiFont.setPointSize(9);
    setFont(uiFont);
    setupUi(this, center_.receiveQueue(), center_.sendQueue());
    connectControls();

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &TForm2::Timer1Timer);
    Timer2 = new QTimer(this);
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer2->setInterval(1000);
    connect(Timer2, &QTimer::timeout, this, [this] {
        if (scheduler_)
            scheduler_->Timer2Timer();
    });
    Timer3 = new QTimer(this);
    Timer3->setObjectName(QStringLiteral("Timer3"));
    connect(Timer3, &QTimer::timeout, this, &TForm2::Timer3Timer);

    center_.receiveQueue().SetChangeHandler([this] { ListView2Change(); });
    center_.sendQueue().SetChangeHandler([this] { ListView1Change(); });
    center_.setWindow(this);

    // FormCreate: layout, the periodic list check, drops from the desktop.
    applyLayoutState(AppSettings::loadTransferWindowState(ini));
    setListTimer(AppSettings::loadListTimer(ini));
    setAcceptDrops(true);
    ListView2->sync();
    ListView1->sync();
    UpdateButtons();
}

TForm2::~TForm2()
{
    center_.receiveQueue().SetChangeHandler({});
    center_.sendQueue().SetChangeHandler({});
    center_.setWindow(nullptr);
}

void TForm2::connectControls()
{
    connect(btRecv, &QToolButton::clicked, this, [this] { btRecvClick(); });
    connect(btWRecv, &QToolButton::clicked, this, &TForm2::btWRecvClick);
    connect(btSend, &QToolButton::clicked, this, [this] { btSendClick(); });
    connect(btSendList, &QToolButton::clicked, this, &TForm2::btSendListClick);
    connect(btRecvList, &QToolButton::clicked, this, &TForm2::btRecvListClick);
    connect(btAddFile, &QToolButton::clicked, this, [this] { btAddFileClick(); });
    // A file dialog picks files or a folder, never both: the button picks
    // files as it always did, its menu a folder as well.
    auto* addMenu = new QMenu(btAddFile);
    addMenu->setObjectName(QStringLiteral("PopupMenu3"));
    for (const bool folder : {false, true}) {
        QAction* a = addMenu->addAction(folder ? QStringLiteral("フォルダを追加(&D)...")
                                               : QStringLiteral("ファイルを追加(&F)..."));
        a->setObjectName(folder ? QStringLiteral("AddFolder1") : QStringLiteral("AddFile1"));
        connect(a, &QAction::triggered, this, [this, folder] { btAddFileClick(folder); });
    }
    btAddFile->setMenu(addMenu);
    btAddFile->setPopupMode(QToolButton::MenuButtonPopup);
    connect(btInBox, &QToolButton::clicked, this, &TForm2::btInBoxClick);
    connect(btLV2FinClear, &QToolButton::clicked, this, &TForm2::btLV2FinClearClick);
    connect(btLV1FinClear, &QToolButton::clicked, this, &TForm2::btLV1FinClearClick);
    connect(btLV2AllClear, &QToolButton::clicked, this, &TForm2::btLV2AllClearClick);
    connect(btLV1AllClear, &QToolButton::clicked, this, &TForm2::btLV1AllClearClick);
    for (QueueView* view : {ListView2, ListView1}) {
        connect(view, &QTreeWidget::itemDoubleClicked, this, [this, view] { ListView2DblClick(view); });
        connect(view->header(), &QHeaderView::sectionClicked, this,
                [this, view](int column) { ListView2ColumnClick(view, column); });
        connect(view, &QueueView::rowsDropped, this, [this, view](int target) { ListView2DragDrop(view, target); });
        connect(view, &QueueView::filesDropped, this, [this](const QStringList& paths) {
            for (const QString& p : paths)
                AddLocalFile(p);
        });
    }

    for (QAction* a : {Open1, Delete1, Open2, Delete2})
        connect(a, &QAction::triggered, this, [this, a] { Delete1Click(a->data().toInt()); });
    for (QAction* a : {N2, N1})
        connect(a, &QAction::triggered, this, [this, a] { N2Click(a->data().toInt()); });
    connect(PopupMenu1, &QMenu::aboutToShow, this, &TForm2::PopupMenu1Popup);
    connect(PopupMenu2, &QMenu::aboutToShow, this, &TForm2::PopupMenu2Popup);
    // Enabled states are the popup's; with the menu closed the shortcuts
    // act on whatever is selected then.
    for (QMenu* m : {PopupMenu1, PopupMenu2}) {
        connect(m, &QMenu::aboutToHide, this, [m] {
            QTimer::singleShot(0, m, [m] {
                for (QAction* a : m->actions())
                    a->setEnabled(true);
            });
        });
    }
    connect(ListView2, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& p) { PopupMenu1->popup(ListView2->viewport()->mapToGlobal(p)); });
    connect(ListView1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& p) { PopupMenu2->popup(ListView1->viewport()->mapToGlobal(p)); });
}

// ---- layout -----------------------------------------------------------------

TransferWindowState TForm2::layoutState() const
{
    TransferWindowState s = state_;
    if (shownOnce_) {
        s.Bounds = WindowBounds{x(), y(), height(), width()};
        s.Splitter = Splitter1->sizes().value(1, s.Splitter);
    }
    for (int i = 0; i < 7; ++i) {
        s.LV1Col[size_t(i)] = ListView1->header()->sectionSize(i);
        s.LV2Col[size_t(i)] = ListView2->header()->sectionSize(i);
    }
    return s;
}

void TForm2::applyLayoutState(const TransferWindowState& state)
{
    state_ = state;
    move(state.Bounds.Left, state.Bounds.Top);
    resize(state.Bounds.Width, state.Bounds.Height);
    for (int i = 0; i < 7; ++i) {
        ListView1->header()->resizeSection(i, state.LV1Col[size_t(i)]);
        ListView2->header()->resizeSection(i, state.LV2Col[size_t(i)]);
    }
    const int lower = qMax(1, state.Splitter);
    Splitter1->setSizes({qMax(1, state.Bounds.Height - lower - Splitter1->handleWidth()), lower});
    ListView1->fitNumberColumns();
    ListView2->fitNumberColumns();
}

// ---- buttons ----------------------------------------------------------------

void TForm2::UpdateButtons()
{
    const TransferButtons b = TransferButtons::Compute(center_.receiveQueue().Count(), center_.sendQueue().Count(),
                                                       center_.Connected(), btRecv->isChecked());
    btSend->setEnabled(b.btSend);
    btSendList->setEnabled(b.btSendList);
    btRecv->setEnabled(b.btRecv);
    btRecvList->setEnabled(b.btRecvList);
    btLV1FinClear->setEnabled(b.btLV1FinClear);
    btLV1AllClear->setEnabled(b.btLV1AllClear);
    btLV2FinClear->setEnabled(b.btLV2FinClear);
    btLV2AllClear->setEnabled(b.btLV2AllClear);
    if (b.timer2 != Timer2->isActive())
        b.timer2 ? Timer2->start() : Timer2->stop();
}

bool TForm2::receivePressed() const
{
    return btRecv->isChecked();
}

bool TForm2::priorityPressed() const
{
    return btWRecv->isChecked();
}

void TForm2::btRecvClick(bool programmatic)
{
    if (programmatic)
        btRecv->setChecked(!btRecv->isChecked());
    const bool pressed = btRecv->isChecked();
    center_.receiveQueue().RunButton()->SetPressed(pressed);
    // The cursors, the reset of Stopped and New rows and the first starts.
    if (scheduler_)
        scheduler_->ReceiveToggled(pressed);
    pressed ? Timer2->start() : Timer2->stop();
}

void TForm2::btWRecvClick()
{
    if (scheduler_)
        scheduler_->PriorityToggled(btWRecv->isChecked());
}

void TForm2::setScheduler(ReceiveScheduler* scheduler)
{
    scheduler_ = scheduler;
}

void TForm2::btSendClick(bool programmatic)
{
    if (programmatic)
        btSend->setChecked(!btSend->isChecked());
    const bool pressed = btSend->isChecked();
    center_.sendQueue().RunButton()->SetPressed(pressed);
    pressed ? Timer1->start() : Timer1->stop();
    if (pressed)
        btSendListClick();  // a programmatic click runs even while disabled
}

void TForm2::btSendListClick()
{
    center_.SendList();
}

void TForm2::btRecvListClick()
{
    center_.RequestList();
}

void TForm2::btAddFileClick(bool folder)
{
    const QStringList chosen = chooser_ ? chooser_(folder) : QStringList();
    for (const QString& path : chosen) {
        if (!path.trimmed().isEmpty())
            AddLocalFile(path.trimmed());
    }
}

void TForm2::AddLocalFile(const QString& path)
{
    // A large folder takes a moment to walk.
    const bool folder = QFileInfo(path).isDir();
    if (folder)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    const QString message = LocalFileAdder::Add(center_.sendQueue(), path);
    if (folder)
        QApplication::restoreOverrideCursor();
    if (!message.isEmpty())
        center_.log().AddLogLine(message, LineSys);
}

void TForm2::btInBoxClick()
{
    const QString folder = center_.settings().RecvDir;
    if (!folder.isEmpty() && QDir(folder).exists())
        openUrl(QUrl::fromLocalFile(folder));
}

void TForm2::btLV2FinClearClick()
{
    center_.receiveQueue().ClearFinished();
    UpdateButtons();
}

void TForm2::btLV1FinClearClick()
{
    center_.sendQueue().ClearFinished();
    UpdateButtons();
}

void TForm2::btLV2AllClearClick()
{
    center_.receiveQueue().Clear();
}

void TForm2::btLV1AllClearClick()
{
    center_.sendQueue().Clear();
}

// ---- queue changes ----------------------------------------------------------

void TForm2::ListView2Change()
{
    ListView2->scheduleSync();
    if (center_.receiveQueue().IsEmpty() && btRecv->isChecked())
        btRecvClick(true);
    UpdateButtons();
}

void TForm2::ListView1Change()
{
    ListView1->scheduleSync();
    if (center_.sendQueue().IsEmpty() && btSend->isChecked())
        btSendClick(true);  // released: Timer1 stops, no list is sent
    UpdateButtons();
}

// ---- menus ------------------------------------------------------------------

void TForm2::PopupMenu1Popup()
{
    const bool any = !ListView2->selectedItems().isEmpty();
    for (const char* name : {"Open1", "Delete1", "N2", "N1"}) {
        if (auto* a = PopupMenu1->findChild<QAction*>(QString::fromLatin1(name)))
            a->setEnabled(any);
    }
}

void TForm2::PopupMenu2Popup()
{
    const bool any = !ListView1->selectedItems().isEmpty();
    for (const char* name : {"Open2", "Delete2"}) {
        if (auto* a = PopupMenu2->findChild<QAction*>(QString::fromLatin1(name)))
            a->setEnabled(any);
    }
}

void TForm2::Delete1Click(int tag)
{
    switch (tag) {
    case 1:
        for (const RowRef& row : ListView2->selectedRows())
            center_.receiveQueue().Remove(row);
        break;
    case 2:
        for (const RowRef& row : ListView1->selectedRows())
            center_.sendQueue().Remove(row);
        break;
    case 3: openRow(ListView2); break;
    case 4: openRow(ListView1); break;
    default: break;
    }
}

void TForm2::N2Click(int tag)
{
    TransferQueue& q = center_.receiveQueue();
    for (const RowRef& row : ListView2->selectedRows()) {
        const RowState s = row->State();
        if (tag == 0 && RowTransitions::Permits(s)) {
            q.SetState(row, RowTransitions::Permit(s));
            center_.schedule().PriorityPending = true;
        } else if (tag == 6 && RowTransitions::Refuse(s) != s) {
            q.SetState(row, RowTransitions::Refuse(s));  // a running reception stops before its next chunk
        }
    }
}

void TForm2::ListView2DblClick(QueueView* view)
{
    openRow(view);
}

void TForm2::openRow(QueueView* view)
{
    const QList<RowRef> rows = view->selectedRows();
    if (rows.isEmpty())
        return;
    const QueueRow* row = view->queue().Find(rows.first());
    if (!row)
        return;
    const QString path = row->LocalPath();
    if (QFileInfo(path).isFile())
        openUrl(QUrl::fromLocalFile(path));
}

// ---- sorting and reordering ---------------------------------------------------

void TForm2::ListView2ColumnClick(QueueView* view, int column)
{
    if (column < 0 || column > 6)
        return;
    auto& directions = view == ListView2 ? recvDirections_ : sendDirections_;
    directions[size_t(column)] = -directions[size_t(column)];
    QueueOrdering::SortByColumn(view->queue(), column, directions[size_t(column)]);
}

void TForm2::ListView2DragDrop(QueueView* view, int target)
{
    QueueOrdering::ReorderForDrop(view->queue(), view->selectedIds(), target);
}

// ---- timers -----------------------------------------------------------------

void TForm2::Timer1Timer()
{
    for (const TransferList::Record& rec : center_.sendingList().Records())
        center_.RefreshProgress(center_.sendQueue(), rec->ListItem);
}

void TForm2::setListTimer(const ListTimerSettings& timer)
{
    listTimer_ = timer;
    Timer3->setInterval(qMax(1, timer.IntervalMs));
    if (timer.active())
        Timer3->start();
    else
        Timer3->stop();
}

void TForm2::Timer3Timer()
{
    if (btRecvList->isEnabled())
        btRecvListClick();
}

// ---- list arrival and lifecycle ---------------------------------------------

void TForm2::ListArrived()
{
    if (!isActiveWindow())
        emit listArrivalBarWanted(true);
    emit flashWanted();  // the main window flashes when it is in the background
    if (!btRecv->isChecked() && center_.settings().AutoRecv)
        btRecvClick(true);
}

void TForm2::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    FormShow();
}

void TForm2::FormShow()
{
    if (!shownOnce_) {
        shownOnce_ = true;
        applyLayoutState(state_);
    }
    ReceiveSchedule& s = center_.schedule();
    s.ListWindowShown = true;
    if (!s.PendingList.isEmpty()) {
        const QList<QByteArray> lines = std::exchange(s.PendingList, {});
        FileListText::MergeWireLines(center_.receiveQueue(), lines, center_.ListMergeOptions());
    }
    emit visibilityChanged(true);
}

void TForm2::closeEvent(QCloseEvent* event)
{
    emit visibilityChanged(false);
    event->accept();  // hidden, never destroyed
}

void TForm2::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        emit listArrivalBarWanted(false);  // FormActivate
}

void TForm2::dragEnterEvent(QDragEnterEvent* event)
{
    FileDrops::enter(event);
}

void TForm2::dropEvent(QDropEvent* event)
{
    for (const QString& path : FileDrops::take(event))
        AddLocalFile(path);
}

} // namespace corvid

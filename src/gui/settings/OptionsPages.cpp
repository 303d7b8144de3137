#include "gui/settings/OptionsPages.h"

#include "gui/settings/WindowTranslucency.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialog>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace corvid {

namespace {

constexpr int kPageRowHeight = 24;
constexpr int kIndent = 20;

const char* const kPageNames[OptionsPages::kPageCount] = {"一般", "メッセージ", "音設定", "色設定",
                                                          "ファイル転送"};

template <typename W> W* named(W* widget, const char* name)
{
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QCheckBox* checkBox(const char* text, const char* name)
{
    return named(new QCheckBox(QString::fromUtf8(text)), name);
}

QPushButton* browseButton(const char* name)
{
    return named(new QPushButton(QStringLiteral("参照...")), name);
}

QLineEdit* readOnlyField(const char* name)
{
    auto* field = named(new QLineEdit, name);
    field->setReadOnly(true);
    return field;
}

// Single line, right-aligned, no input method; the dialog filters its keys.
QLineEdit* numberField(const char* name)
{
    auto* field = named(new QLineEdit, name);
    field->setAlignment(Qt::AlignRight);
    field->setAttribute(Qt::WA_InputMethodEnabled, false);
    field->setFixedWidth(72);
    return field;
}

// A new page of the stack, laid out by a `Layout` with the pages' margins;
// the page is the layout's parentWidget().
template <typename Layout> Layout* pageLayout()
{
    auto* layout = new Layout(new QWidget);
    layout->setContentsMargins(4, 4, 4, 4);
    return layout;
}

QHBoxLayout* indented(QWidget* w)
{
    auto* row = new QHBoxLayout;
    row->addSpacing(kIndent);
    row->addWidget(w);
    return row;
}

} // namespace

void OptionsPages::setupUi(QDialog* dialog)
{
    dialog->setFixedSize(kWidth, kHeight);

    lbPages = named(new QListWidget, "lbPages");
    for (const char* name : kPageNames) {
        auto* item = new QListWidgetItem(QString::fromUtf8(name), lbPages);
        item->setSizeHint(QSize(0, kPageRowHeight));
    }
    lbPages->setFixedWidth(104);
    lbHeader = named(new QLabel, "lbHeader");
    QFont bold = lbHeader->font();
    bold.setBold(true);
    lbHeader->setFont(bold);
    lbHeader->setFrameShape(QFrame::StyledPanel);
    lbHeader->setContentsMargins(6, 2, 6, 2);
    lbHeader->setMinimumHeight(kPageRowHeight);
    pages = named(new QStackedWidget, "pages");
    pages->addWidget(buildGeneralPage());
    pages->addWidget(buildMessagesPage());
    pages->addWidget(buildSoundsPage(dialog));
    pages->addWidget(buildColorsPage());
    pages->addWidget(buildTransferPage());

    btOK = named(new QPushButton(QStringLiteral("OK")), "btOK");
    btCancel = named(new QPushButton(QStringLiteral("キャンセル")), "btCancel");
    btOK->setDefault(true);

    auto* grid = new QGridLayout(dialog);
    grid->setContentsMargins(8, 8, 8, 8);
    grid->setHorizontalSpacing(8);
    grid->addWidget(lbPages, 0, 0, 2, 1);
    grid->addWidget(lbHeader, 0, 1);
    grid->addWidget(pages, 1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(btOK);
    buttons->addWidget(btCancel);
    grid->addLayout(buttons, 2, 0, 1, 2);
    grid->setRowStretch(1, 1);
}

QWidget* OptionsPages::buildGeneralPage()
{
    auto* grid = pageLayout<QGridLayout>();
    edUserName = named(new QLineEdit, "edUserName");
    edRecvDir = readOnlyField("edRecvDir");
    btRecvDir = browseButton("btRecvDir");
    lbAddress = named(new QLabel, "lbAddress");
    cbVerCheck = checkBox("起動時に最新バージョンを確認する", "cbVerCheck");
    btCheckNow = named(new QPushButton(QStringLiteral("今すぐ確認")), "btCheckNow");
    cbUseUPnP = checkBox("UPnPを使用する(再起動時に有効)", "cbUseUPnP");
    cbAlpha = checkBox("ウィンドウを透過させる", "cbAlpha");
    tbAlpha = named(new QSlider(Qt::Horizontal), "tbAlpha");
    tbAlpha->setRange(WindowTranslucency::kMinAlpha, WindowTranslucency::kMaxAlpha);
    tbAlpha->setTickInterval(5);
    tbAlpha->setTickPosition(QSlider::TicksBelow);
    tbAlpha->setSingleStep(5);
    tbAlpha->setPageStep(20);

    grid->addWidget(new QLabel(QStringLiteral("名前")), 0, 0);
    grid->addWidget(edUserName, 0, 1, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("受信フォルダ")), 1, 0);
    grid->addWidget(edRecvDir, 1, 1);
    grid->addWidget(btRecvDir, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("IPアドレス：")), 2, 0);
    grid->addWidget(lbAddress, 2, 1, 1, 2);
    grid->addWidget(cbVerCheck, 3, 0, 1, 2);
    grid->addWidget(btCheckNow, 3, 2);
    grid->addWidget(cbUseUPnP, 4, 0, 1, 3);
    grid->addWidget(cbAlpha, 5, 0, 1, 3);
    grid->addLayout(indented(tbAlpha), 6, 0, 1, 3);
    grid->setRowStretch(7, 1);
    grid->setColumnStretch(1, 1);
    return grid->parentWidget();
}

QWidget* OptionsPages::buildMessagesPage()
{
    static const char* const texts[6] = {
        "送信開始のメッセージを表示する", "送信成功のメッセージを表示する", "送信失敗のメッセージを表示する",
        "受信開始のメッセージを表示する", "受信成功のメッセージを表示する", "受信失敗のメッセージを表示する"};
    static const char* const names[6] = {"cbSdBegin", "cbSdSuccess", "cbSdFail",
                                         "cbRvBegin", "cbRvSuccess", "cbRvFail"};
    auto* layout = pageLayout<QVBoxLayout>();
    for (int g = 0; g < 2; ++g) {
        auto* group = new QGroupBox(g == 0 ? QStringLiteral("ファイル送信") : QStringLiteral("ファイル受信"));
        auto* inner = new QVBoxLayout(group);
        for (int i = g * 3; i < g * 3 + 3; ++i) {
            cbMessage[i] = checkBox(texts[i], names[i]);
            inner->addWidget(cbMessage[i]);
        }
        layout->addWidget(group);
    }
    layout->addStretch(1);
    return layout->parentWidget();
}

QWidget* OptionsPages::buildSoundsPage(QDialog* dialog)
{
    auto* grid = pageLayout<QGridLayout>();
    cbSoundMessage = checkBox("メッセージ表示時", "cbSoundMessage");
    cbSoundRecv = checkBox("メッセージ受信", "cbSoundRecv");
    cbSoundSys = checkBox("システムメッセージ", "cbSoundSys");
    cbSoundOnType = checkBox("メッセージ入力時", "cbSoundOnType");
    cbSoundSend = checkBox("メッセージ送信時", "cbSoundSend");
    static const char* const fieldNames[3] = {"edSoundMsg", "edSoundType", "edSoundSend"};
    static const char* const buttonNames[3] = {"btSound0", "btSound1", "btSound2"};
    for (int n = 0; n < 3; ++n) {
        edSound[n] = readOnlyField(fieldNames[n]);
        btSound[n] = browseButton(buttonNames[n]);
    }

    auto* condition = named(new QGroupBox(QStringLiteral("条件")), "gbCase");
    auto* radios = new QVBoxLayout(condition);
    radios->setContentsMargins(8, 2, 8, 2);
    radios->setSpacing(0);
    rgCase = new QButtonGroup(dialog);
    static const char* const caseTexts[3] = {"アクティブでない時のみ使用", "アクティブの時のみ使用", "常に使用"};
    for (int i = 0; i < 3; ++i) {
        auto* radio = new QRadioButton(QString::fromUtf8(caseTexts[i]));
        radio->setObjectName(QStringLiteral("rbCase%1").arg(i));
        rgCase->addButton(radio, i);
        radios->addWidget(radio);
    }

    grid->addWidget(cbSoundMessage, 0, 0);
    grid->addWidget(edSound[0], 0, 1);
    grid->addWidget(btSound[0], 0, 2);
    grid->addLayout(indented(cbSoundRecv), 1, 0, 1, 3);
    grid->addLayout(indented(cbSoundSys), 2, 0, 1, 3);
    grid->addWidget(condition, 3, 0, 1, 3);
    grid->addWidget(cbSoundOnType, 4, 0);
    grid->addWidget(edSound[1], 4, 1);
    grid->addWidget(btSound[1], 4, 2);
    grid->addWidget(cbSoundSend, 5, 0);
    grid->addWidget(edSound[2], 5, 1);
    grid->addWidget(btSound[2], 5, 2);
    grid->setRowStretch(6, 1);
    grid->setColumnStretch(1, 1);
    return grid->parentWidget();
}

QWidget* OptionsPages::buildColorsPage()
{
    auto* layout = pageLayout<QVBoxLayout>();
    pnPreview = named(new QFrame, "pnPreview");
    pnPreview->setFrameShape(QFrame::Panel);
    pnPreview->setFrameShadow(QFrame::Sunken);
    pnPreview->setAutoFillBackground(true);
    pnPreview->setCursor(Qt::PointingHandCursor);
    auto* inner = new QVBoxLayout(pnPreview);
    inner->setContentsMargins(12, 10, 12, 10);
    static const char* const texts[4] = {"送信メッセージ", "受信メッセージ", "システムメッセージ", "リンク"};
    static const char* const names[4] = {"lbUserColor", "lbRecvColor", "lbSysColor", "lbLinkColor"};
    for (int i = 0; i < 4; ++i) {
        lbColor[i] = named(new QLabel(QString::fromUtf8(texts[i])), names[i]);
        inner->addWidget(lbColor[i]);
    }
    inner->addStretch(1);
    btFont = named(new QPushButton(QStringLiteral("フォント")), "btFont");
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(btFont);
    layout->addWidget(pnPreview, 1);
    layout->addLayout(row);
    return layout->parentWidget();
}

QWidget* OptionsPages::buildTransferPage()
{
    auto* grid = pageLayout<QGridLayout>();
    cbAutoRecv = checkBox("リスト受信後に自動的に受信する", "cbAutoRecv");
    cbAutoAccept = checkBox("ファイル受信中に届いたリストアイテムを自動的に受信許可する", "cbAutoAccept");
    cbCheckTimer = checkBox("一定の時間ごとにリストを受信する", "cbCheckTimer");
    edCheckMin = numberField("edCheckMin");
    edBufSize = numberField("edBufSize");
    edPrioritySize = numberField("edPrioritySize");

    grid->addWidget(cbAutoRecv, 0, 0, 1, 4);
    grid->addWidget(cbAutoAccept, 1, 0, 1, 4);
    grid->addWidget(cbCheckTimer, 2, 0, 1, 4);
    grid->addItem(new QSpacerItem(kIndent, 1, QSizePolicy::Fixed), 3, 0);
    grid->addWidget(edCheckMin, 3, 2);
    grid->addWidget(new QLabel(QStringLiteral("分")), 3, 3);
    grid->addWidget(new QLabel(QStringLiteral("バッファサイズ")), 4, 0, 1, 2);
    grid->addWidget(edBufSize, 4, 2);
    grid->addWidget(new QLabel(QStringLiteral("KB")), 4, 3);
    grid->addWidget(new QLabel(QStringLiteral("優先受信許可サイズ")), 5, 0, 1, 2);
    grid->addWidget(edPrioritySize, 5, 2);
    grid->addWidget(new QLabel(QStringLiteral("MB")), 5, 3);
    grid->setColumnStretch(3, 1);
    grid->setRowStretch(6, 1);
    return grid->parentWidget();
}

} // namespace corvid

#include "gui/settings/TForm4.h"

#include "core/netenv/AddressDiscovery.h"
#include "core/settings/IniFile.h"
#include "gui/settings/WindowTranslucency.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QColorDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QStackedWidget>

namespace corvid {

namespace {

QColor colorFromText(const QString& html)
{
    const ColorValue v = Conversions::HtmlToColor(html);
    return QColor(int(v & 0xFF), int((v >> 8) & 0xFF), int((v >> 16) & 0xFF));
}

QString colorToText(const QColor& c)
{
    const ColorValue v = ColorValue(c.red()) | ColorValue(c.green()) << 8 | ColorValue(c.blue()) << 16;
    return Conversions::ColorToHtml(v);
}

// Digits and Backspace pass; every other key that types something is
// swallowed. Keys that type nothing (arrows, Delete, Tab) keep their job.
bool numberKeyAllowed(const QKeyEvent* key)
{
    if (key->key() == Qt::Key_Backspace || key->text().isEmpty())
        return true;
    const QString text = key->text();
    if (text.size() == 1 && !text.at(0).isPrint() && text.at(0) != QChar(0x16))
        return true; // control keys such as copy; a typed paste is refused like a letter
    return text.size() == 1 && text.at(0) >= u'0' && text.at(0) <= u'9';
}

} // namespace

TForm4::TForm4(AppSettings& settings, const QString& settingsPath, QWidget* mainWindow)
    : QDialog(mainWindow)
    , settings_(settings)
    , settingsPath_(settingsPath)
    , mainWindow_(mainWindow)
    , choosers_(platformChoosers())
{
    setObjectName(QStringLiteral("TForm4"));
    setWindowTitle(QStringLiteral("オプション"));
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setModal(true);
    ui_.setupUi(this);

    connect(ui_.btOK, &QPushButton::clicked, this, &TForm4::btOKClick);
    connect(ui_.btCancel, &QPushButton::clicked, this, &TForm4::reject);
    connect(ui_.btRecvDir, &QPushButton::clicked, this, &TForm4::btRecvDirClick);
    connect(ui_.btCheckNow, &QPushButton::clicked, this, &TForm4::checkNowRequested);
    connect(ui_.cbAlpha, &QCheckBox::toggled, this, &TForm4::alphaChanged);
    connect(ui_.tbAlpha, &QSlider::valueChanged, this, &TForm4::alphaChanged);
    const QCheckBox* rowBoxes[3] = {ui_.cbSoundMessage, ui_.cbSoundOnType, ui_.cbSoundSend};
    for (int n = 0; n < 3; ++n) {
        connect(ui_.btSound[n], &QPushButton::clicked, this, [this, n] { btSoundClick(n); });
        connect(rowBoxes[n], &QCheckBox::toggled, ui_.btSound[n], &QPushButton::setEnabled);
    }
    connect(ui_.btFont, &QPushButton::clicked, this, &TForm4::btFontClick);
    ui_.pnPreview->installEventFilter(this);
    for (QLabel* label : ui_.lbColor)
        label->installEventFilter(this);
    for (QLineEdit* field : {ui_.edCheckMin, ui_.edBufSize, ui_.edPrioritySize})
        field->installEventFilter(this);

    // Mouse, arrow keys and typed characters all move the selection.
    connect(ui_.lbPages, &QListWidget::currentRowChanged, this, &TForm4::selectPage);
    ui_.lbPages->setCurrentRow(PageGeneral);
}

void TForm4::selectPage(int row)
{
    if (row < 0)
        return;
    ui_.lbHeader->setText(ui_.lbPages->item(row)->text());
    ui_.pages->setCurrentIndex(row);
}

// ---- filling on show ------------------------------------------------------

void TForm4::showEvent(QShowEvent* event)
{
    fill();
    if (const QScreen* screen = mainWindow_ ? mainWindow_->screen() : this->screen()) {
        const QRect desk = screen->availableGeometry();
        move(desk.center() - QPoint(width() / 2, height() / 2));
    }
    QDialog::showEvent(event);
}

void TForm4::fill()
{
    const AppSettings& s = settings_;
    filling_ = true;
    ui_.edUserName->setText(s.UserName);
    ui_.edRecvDir->setText(s.RecvDir);

    alphaOnAtShow_ = WindowTranslucency::isOn(mainWindow_);
    alphaAtShow_ = WindowTranslucency::alpha(mainWindow_);
    ui_.cbAlpha->setChecked(alphaOnAtShow_);
    ui_.tbAlpha->setEnabled(alphaOnAtShow_);
    ui_.tbAlpha->setValue(alphaAtShow_);

    colors_ = {colorFromText(s.FormColor), colorFromText(s.UserColor), colorFromText(s.RecvColor),
               colorFromText(s.SysColor), colorFromText(s.LinkColor)};
    font_ = QFont(s.FontName);
    if (s.FontSize > 0)
        font_.setPointSize(s.FontSize);
    showPreview();

    for (size_t i = 0; i < ui_.cbMessage.size(); ++i)
        ui_.cbMessage[i]->setChecked(s.MessageFlags[i]);
    ui_.cbSoundMessage->setChecked(s.SoundMessage);
    ui_.cbSoundRecv->setChecked(s.SoundRecv);
    ui_.cbSoundSys->setChecked(s.SoundSys);
    ui_.cbSoundOnType->setChecked(s.SoundOnType);
    ui_.cbSoundSend->setChecked(s.SoundSend);
    for (int n = 0; n < 3; ++n)
        ui_.edSound[n]->setText(s.SoundFiles[n]);
    ui_.btSound[0]->setEnabled(s.SoundMessage);
    ui_.btSound[1]->setEnabled(s.SoundOnType);
    ui_.btSound[2]->setEnabled(s.SoundSend);
    if (QAbstractButton* b = ui_.rgCase->button(s.SoundCase)) {
        b->setChecked(true);
    } else {
        // An unknown condition from the file shows no choice at all.
        ui_.rgCase->setExclusive(false);
        for (QAbstractButton* r : ui_.rgCase->buttons())
            r->setChecked(false);
        ui_.rgCase->setExclusive(true);
    }

    const ListTimerSettings timer = listTimerSource_ ? listTimerSource_() : ListTimerSettings{};
    ui_.edBufSize->setText(QString::number(s.ChunkSize / 1024));
    ui_.edPrioritySize->setText(QString::number(s.PrioritySize / 1048576));
    ui_.edCheckMin->setText(QString::number(timer.IntervalMs / 60000));
    ui_.cbCheckTimer->setChecked(timer.Enabled);
    ui_.cbAutoRecv->setChecked(s.AutoRecv);
    ui_.cbAutoAccept->setChecked(s.AutoAccept);
    ui_.cbVerCheck->setChecked(s.VerCheck);
    ui_.cbUseUPnP->setChecked(s.UseUPnP);
    fillAddress();
    filling_ = false;
}

void TForm4::fillAddress()
{
    const QString address = AddressDiscovery::GetLocalAddress();
    const bool local = AddressDiscovery::IsPrivateAddress(address);
    ui_.lbAddress->setText(address + (local ? QStringLiteral("  (ローカルIP)") : QStringLiteral("  (グローバルIP)")));
    QPalette pal = ui_.lbAddress->palette();
    pal.setColor(QPalette::WindowText, local ? QColor(Qt::red) : QColor(Qt::blue));
    ui_.lbAddress->setPalette(pal);
}

void TForm4::showPreview()
{
    QPalette panel = ui_.pnPreview->palette();
    panel.setColor(QPalette::Window, colors_[FormColor]);
    ui_.pnPreview->setPalette(panel);
    QFont labelFont(font_.family());
    if (font_.pointSize() > 0)
        labelFont.setPointSize(font_.pointSize());
    for (int i = 0; i < 4; ++i) {
        QPalette pal = ui_.lbColor[i]->palette();
        pal.setColor(QPalette::WindowText, colors_[UserColor + i]);
        ui_.lbColor[i]->setPalette(pal);
        ui_.lbColor[i]->setFont(labelFont);
    }
}

// ---- live effects and choosers ----------------------------------------------

void TForm4::alphaChanged()
{
    ui_.tbAlpha->setEnabled(ui_.cbAlpha->isChecked());
    if (!filling_)
        WindowTranslucency::apply(mainWindow_, ui_.cbAlpha->isChecked(), ui_.tbAlpha->value());
}

void TForm4::btRecvDirClick()
{
    const QString current = ui_.edRecvDir->text();
    const QString start = QFileInfo(current).isDir() ? current : QString();
    QString chosen = choosers_.folder(this, QStringLiteral("受信フォルダを選択してください"), start);
    if (chosen.isEmpty())
        return;
    // Without the closing separator; OK adds it.
    while (chosen.size() > 1 && chosen.endsWith(u'/'))
        chosen.chop(1);
    ui_.edRecvDir->setText(chosen);
}

void TForm4::btSoundClick(int number)
{
    if (number < 0 || number >= int(ui_.edSound.size()))
        return;
    QLineEdit* field = ui_.edSound[number];
    // The chooser opens in the file's folder with the file preset.
    const QString start = field->text().isEmpty() ? QStringLiteral("/usr/share/sounds/") : field->text();
    const QString chosen = choosers_.soundFile(this, start, QStringLiteral("Waveファイル (*.wav)"));
    if (!chosen.isEmpty())
        field->setText(QFileInfo(chosen).absoluteFilePath());
}

void TForm4::chooseColor(ColorRole role)
{
    const QColor chosen = choosers_.color(this, colors_[role]);
    if (!chosen.isValid())
        return;
    colors_[role] = chosen;
    showPreview();
}

void TForm4::btFontClick()
{
    const std::optional<QFont> chosen = choosers_.font(this, font_);
    if (!chosen)
        return;
    // Face and size only; colour and style stay as they are.
    QFont next(chosen->family());
    next.setPointSize(chosen->pointSize() > 0 ? chosen->pointSize() : font_.pointSize());
    font_ = next;
    showPreview();
}

bool TForm4::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress
        && (watched == ui_.edCheckMin || watched == ui_.edBufSize || watched == ui_.edPrioritySize))
        return !numberKeyAllowed(static_cast<QKeyEvent*>(event));
    if (event->type() == QEvent::MouseButtonRelease
        && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        if (watched == ui_.pnPreview) {
            chooseColor(FormColor);
            return true;
        }
        for (int i = 0; i < 4; ++i) {
            if (watched == ui_.lbColor[i]) {
                chooseColor(ColorRole(UserColor + i));
                return true;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

TForm4::Choosers TForm4::platformChoosers()
{
    Choosers c;
    c.folder = [](QWidget* parent, const QString& title, const QString& start) {
        return QFileDialog::getExistingDirectory(parent, title, start.isEmpty() ? QDir::rootPath() : start,
                                                 QFileDialog::ShowDirsOnly);
    };
    c.soundFile = [](QWidget* parent, const QString& start, const QString& filter) {
        return QFileDialog::getOpenFileName(parent, QStringLiteral("開く"), start, filter);
    };
    c.color = [](QWidget* parent, const QColor& initial) { return QColorDialog::getColor(initial, parent); };
    c.font = [](QWidget* parent, const QFont& initial) -> std::optional<QFont> {
        bool ok = false;
        const QFont f = QFontDialog::getFont(&ok, initial, parent);
        return ok ? std::optional<QFont>(f) : std::nullopt;
    };
    return c;
}

// ---- OK and Cancel ------------------------------------------------------------

qint64 TForm4::fieldValue(const QLineEdit* field)
{
    // Empty, pasted text that is not a number and anything below 0 count as 0.
    return qMax<qint64>(0, Conversions::ParseThousands(field->text()));
}

void TForm4::message(const QString& text, QWidget* focus)
{
    QMessageBox::information(this, mainWindow_ ? mainWindow_->windowTitle() : windowTitle(), text);
    focus->setFocus();
}

void TForm4::btOKClick()
{
    if (ui_.edUserName->text().isEmpty()) {
        message(QStringLiteral("名前を入力してください"), ui_.edUserName);
        return;
    }
    QString folder = ui_.edRecvDir->text();
    if (folder.isEmpty())
        folder = AppSettings::defaultRecvDir();
    if (!folder.endsWith(u'/'))
        folder += u'/';
    ui_.edRecvDir->setText(folder);
    if (!QFileInfo(folder).isDir()) {
        message(QStringLiteral("受信フォルダのパスは無効です"), ui_.edRecvDir);
        return;
    }
    const qint64 minutes = fieldValue(ui_.edCheckMin);
    if (minutes == 0)
        ui_.cbCheckTimer->setChecked(false);
    const qint64 bufSize = fieldValue(ui_.edBufSize);
    if (bufSize == 0) {
        QMessageBox::warning(this, QStringLiteral("Corvid"),
                             QStringLiteral("バッファサイズは1以上の数値でなければなりません"));
        ui_.edBufSize->setFocus();
        return;
    }

    // Everything goes into a copy first: when a key cannot be written, the
    // keys before it stay written but nothing is stored or applied.
    AppSettings next = settings_;
    next.UserName = ui_.edUserName->text();
    next.RecvDir = folder;
    next.Alpha = ui_.cbAlpha->isChecked();
    next.AlphaValue = ui_.tbAlpha->value();
    next.FormColor = colorToText(colors_[FormColor]);
    next.UserColor = colorToText(colors_[UserColor]);
    next.RecvColor = colorToText(colors_[RecvColor]);
    next.SysColor = colorToText(colors_[SysColor]);
    next.LinkColor = colorToText(colors_[LinkColor]);
    next.FontName = font_.family();
    next.FontSize = font_.pointSize() > 0 ? font_.pointSize() : settings_.FontSize;
    next.UseUPnP = ui_.cbUseUPnP->isChecked();
    next.VerCheck = ui_.cbVerCheck->isChecked();
    for (size_t i = 0; i < ui_.cbMessage.size(); ++i)
        next.MessageFlags[i] = ui_.cbMessage[i]->isChecked();
    next.SoundMessage = ui_.cbSoundMessage->isChecked();
    next.SoundOnType = ui_.cbSoundOnType->isChecked();
    next.SoundSend = ui_.cbSoundSend->isChecked();
    next.SoundRecv = ui_.cbSoundRecv->isChecked();
    next.SoundSys = ui_.cbSoundSys->isChecked();
    for (int n = 0; n < 3; ++n)
        next.SoundFiles[n] = ui_.edSound[n]->text();
    // No choice (an unknown value from the file) keeps that value.
    next.SoundCase = ui_.rgCase->checkedId() >= 0 ? ui_.rgCase->checkedId() : settings_.SoundCase;
    next.ChunkSize = AppSettings::chunkSizeFor(qint32(qMin<qint64>(bufSize, INT32_MAX)));
    next.PrioritySize = AppSettings::prioritySizeFor(qint32(qMin<qint64>(fieldValue(ui_.edPrioritySize), INT32_MAX)));
    const ListTimerSettings timer{ui_.cbCheckTimer->isChecked(),
                                  AppSettings::intervalMsFor(qint32(qMin<qint64>(minutes, INT32_MAX)))};
    next.AutoAccept = ui_.cbAutoAccept->isChecked();
    next.AutoRecv = ui_.cbAutoRecv->isChecked();

    IniFile ini(settingsPath_);
    QString error;
    if (!next.saveOptions(ini, timer, &error)) {
        QMessageBox::critical(this, mainWindow_ ? mainWindow_->windowTitle() : windowTitle(), error);
        return;
    }
    settings_ = next;
    settings_.publish();
    WindowTranslucency::apply(mainWindow_, settings_.Alpha, settings_.AlphaValue);
    alphaOnAtShow_ = settings_.Alpha;
    alphaAtShow_ = settings_.AlphaValue;
    emit listTimerChanged(timer);
    emit optionsApplied();
    accept();
}

void TForm4::reject()
{
    // Nothing was written; the translucency tried on the dialog goes back.
    WindowTranslucency::apply(mainWindow_, alphaOnAtShow_, alphaAtShow_);
    QDialog::reject();
}

} // namespace corvid

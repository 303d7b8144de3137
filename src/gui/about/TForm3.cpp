#include "gui/about/TForm3.h"

#include "core/security/Fingerprint.h"
#include "core/security/TrustTexts.h"
#include "core/settings/AppSettings.h"
#include "core/settings/VersionReader.h"
#include "gui/session/ChatLogView.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>

namespace corvid {

TForm3::TForm3(const QString& makerUrl, QWidget* parent)
    : QDialog(parent)
    , open_(&ChatLogView::OpenExternal)
{
    setObjectName(QStringLiteral("TForm3"));
    setWindowTitle(QStringLiteral("バージョン情報"));
    setModal(false);

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("Image1"));
    icon->setPixmap(QIcon(QStringLiteral(":/icons/corvid.svg")).pixmap(32, 32));

    // The executable's path as the platform reports it, without extension.
    NameLabel = new QLabel(QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName(), this);
    NameLabel->setObjectName(QStringLiteral("NameLabel"));
    QFont big = NameLabel->font();
    big.setPointSizeF(big.pointSizeF() * 1.5);
    big.setBold(true);
    NameLabel->setFont(big);

    VersionReader reader(QCoreApplication::applicationFilePath());
    const VersionReader::Result version = reader.Query(QStringLiteral("FileVersion"));
    // A missing block is not expected for our own program; if it happens
    // the label says why instead of staying blank.
    VersionLabel = new QLabel(version.ok() ? version.text : version.error, this);
    VersionLabel->setObjectName(QStringLiteral("VersionLabel"));
    VersionLabel->setTextFormat(Qt::PlainText);

    LinkLabel = new QLabel(makerUrl, this);
    LinkLabel->setObjectName(QStringLiteral("LinkLabel"));
    LinkLabel->setTextFormat(Qt::PlainText);
    QFont link = LinkLabel->font();
    link.setUnderline(true);
    LinkLabel->setFont(link);
    LinkLabel->setStyleSheet(QStringLiteral("color: blue;"));
    LinkLabel->setCursor(Qt::PointingHandCursor);
    LinkLabel->installEventFilter(this);
    LinkLabel->setVisible(!makerUrl.isEmpty());

    // A long path is shortened in its middle; the tooltip gives all of it.
    SettingsLabel = new QLabel(this);
    SettingsLabel->setObjectName(QStringLiteral("SettingsLabel"));
    SettingsLabel->setTextFormat(Qt::PlainText);

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

    auto* fingerprintCaption = new QLabel(TrustTexts::FingerprintCaption(), this);
    fingerprintCaption->setObjectName(QStringLiteral("FingerprintCaption"));
    fingerprintCaption->setContentsMargins(0, 6, 0, 0);
    // Fixed pitch, so that the groups of both lines stand in columns.
    FingerprintLabel = new QLabel(this);
    FingerprintLabel->setObjectName(QStringLiteral("FingerprintLabel"));
    FingerprintLabel->setTextFormat(Qt::PlainText);
    FingerprintLabel->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    FingerprintLabel->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    CopyFingerprintButton = new QPushButton(TrustTexts::CopyFingerprint(), this);
    CopyFingerprintButton->setObjectName(QStringLiteral("CopyFingerprint"));
    CopyFingerprintButton->setAutoDefault(false);
    connect(CopyFingerprintButton, &QPushButton::clicked, this, &TForm3::CopyFingerprintClick);
    CopyInvitationButton = new QPushButton(TrustTexts::CopyInvitation(), this);
    CopyInvitationButton->setObjectName(QStringLiteral("CopyInvitation"));
    CopyInvitationButton->setAutoDefault(false);
    connect(CopyInvitationButton, &QPushButton::clicked, this, &TForm3::invitationWanted);
    auto* copyButtons = new QHBoxLayout;
    copyButtons->addWidget(CopyFingerprintButton);
    copyButtons->addWidget(CopyInvitationButton);
    copyButtons->addStretch(1);
    // Room for any key: the widest one sets the label's size.
    setFingerprint(QByteArray(Fingerprint::kBytes, '\xff'));
    FingerprintLabel->setMinimumSize(FingerprintLabel->sizeHint());

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(8, 6, 8, 6);
    grid->setVerticalSpacing(2);
    grid->addWidget(icon, 0, 0, 3, 1, Qt::AlignTop);
    grid->addWidget(NameLabel, 0, 1, 1, 2);
    auto* versionCaption = new QLabel(QStringLiteral("Version"), this);
    grid->addWidget(versionCaption, 1, 1);
    grid->addWidget(VersionLabel, 1, 2);
    grid->addWidget(LinkLabel, 2, 1, 1, 2);
    grid->addWidget(OKButton, 0, 3, 3, 1, Qt::AlignBottom);
    auto* settingsCaption = new QLabel(QStringLiteral("Settings"), this);
    grid->addWidget(settingsCaption, 3, 1);
    grid->addWidget(SettingsLabel, 3, 2, 1, 2);
    grid->addWidget(fingerprintCaption, 4, 1, 1, 3);
    grid->addWidget(FingerprintLabel, 5, 1, 1, 3);
    grid->addLayout(copyButtons, 6, 1, 1, 3);
    grid->setColumnStretch(2, 1);
    setFingerprint({});
    setSettingsFile(AppSettings::defaultFilePath());
    // Not resizable; its size is what the key's lines need in this font,
    // taken once the style has been applied.
    grid->setSizeConstraint(QLayout::SetFixedSize);
}

void TForm3::setFingerprint(const QByteArray& fp)
{
    fingerprint_ = fp;
    // Two lines of eight groups: short enough to read aloud line by line.
    const QStringList groups = Fingerprint::Grouped(fp).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString first = groups.mid(0, kGroupsPerLine).join(QLatin1Char(' '));
    const QString second = groups.mid(kGroupsPerLine).join(QLatin1Char(' '));
    FingerprintLabel->setText(groups.isEmpty() ? QString() : first + QLatin1Char('\n') + second);
    CopyFingerprintButton->setEnabled(!fp.isEmpty());
    CopyInvitationButton->setEnabled(!fp.isEmpty());
}

void TForm3::CopyFingerprintClick()
{
    if (!fingerprint_.isEmpty())
        QGuiApplication::clipboard()->setText(Fingerprint::Grouped(fingerprint_));
}

void TForm3::setSettingsFile(const QString& path)
{
    SettingsLabel->setToolTip(path);
    SettingsLabel->setText(SettingsLabel->fontMetrics().elidedText(path, Qt::ElideMiddle, kPathWidth));
}

void TForm3::setOpenExternal(OpenHandler handler)
{
    open_ = handler ? std::move(handler) : OpenHandler(&ChatLogView::OpenExternal);
}

void TForm3::LinkLabelClick()
{
    const QUrl url(LinkLabel->text());
    if (ChatLogView::isAllowedLink(url))
        open_(url);
    accept();
}

bool TForm3::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == LinkLabel && event->type() == QEvent::MouseButtonRelease
        && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        LinkLabelClick();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace corvid

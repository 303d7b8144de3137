#include "gui/session/KeyChangeDialog.h"

#include "core/security/TrustTexts.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace corvid {

KeyChangeDialog::KeyChangeDialog(const QString& name, const QString& address, const QByteArray& pinned,
                                 const QByteArray& offered, QWidget* parent)
    : QDialog(parent)
    , name_(name)
    , address_(address)
{
    setObjectName(QStringLiteral("KeyChangeDialog"));
    setWindowTitle(TrustTexts::KeyChangeTitle());
    setModal(false);

    TextLabel = new QLabel(this);
    TextLabel->setObjectName(QStringLiteral("TextLabel"));
    TextLabel->setTextFormat(Qt::PlainText);  // the name came from the network
    TextLabel->setWordWrap(true);
    // The fingerprints are there to be compared and copied.
    TextLabel->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // Wide enough that each fingerprint stays on one line, whatever its digits.
    const QFontMetrics fm = TextLabel->fontMetrics();
    int digit = 0;
    for (const QChar c : QStringLiteral("0123456789ABCDEF"))
        digit = qMax(digit, fm.horizontalAdvance(c));
    const int groups = Fingerprint::kBytes / 2;
    TextLabel->setMinimumWidth(groups * 4 * digit + (groups - 1) * fm.horizontalAdvance(QLatin1Char(' ')) + 8);

    auto* buttons = new QDialogButtonBox(this);
    AcceptButton = buttons->addButton(TrustTexts::AcceptNewKey(), QDialogButtonBox::AcceptRole);
    AcceptButton->setObjectName(QStringLiteral("AcceptNewKey"));
    AcceptButton->setAutoDefault(false);
    KeepButton = buttons->addButton(TrustTexts::KeepOldKey(), QDialogButtonBox::RejectRole);
    KeepButton->setObjectName(QStringLiteral("KeepOldKey"));
    KeepButton->setDefault(true);
    KeepButton->setFocus();
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        emit keyAccepted(name_, address_, offered_);
        accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(TextLabel);
    layout->addWidget(buttons);
    setKeys(pinned, offered);
}

void KeyChangeDialog::setKeys(const QByteArray& pinned, const QByteArray& offered)
{
    offered_ = offered;
    TextLabel->setText(TrustTexts::KeyChangeText(name_, address_, pinned, offered));
}

} // namespace corvid

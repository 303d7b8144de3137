#include "gui/session/TrustControls.h"

#include "core/netenv/AddressDiscovery.h"
#include "core/netenv/NetEnvControl.h"
#include "core/security/Identity.h"
#include "core/security/Invitation.h"
#include "core/security/PeerPins.h"
#include "core/security/TrustTexts.h"
#include "core/session/SessionController.h"
#include "gui/session/ConnectionControls.h"
#include "gui/session/KeyChangeDialog.h"
#include "gui/session/MainWindowLayout.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QToolButton>

namespace corvid {

TrustControls::TrustControls(const MainWindowLayout& ui, QWidget* window, SessionController& session,
                             NetEnvControl& netEnv, const ConnectionControls& controls, ILogSink& log, QString folder)
    : window_(window)
    , session_(session)
    , netEnv_(netEnv)
    , controls_(controls)
    , log_(log)
    , folder_(std::move(folder))
    , edIP(ui.edIP)
    , edPort(ui.edPort)
    , InviteI1(ui.InviteI1)
    , NewKeyK1(ui.NewKeyK1)
{
    connect(InviteI1, &QAction::triggered, this, &TrustControls::InviteI1Click);
    connect(NewKeyK1, &QAction::triggered, this, &TrustControls::NewKeyK1Click);
    // Only what the user typed or pasted: a recent peer put there is not read.
    connect(edIP, &QLineEdit::textEdited, this, &TrustControls::edIPChange);
    connect(&session_, &SessionController::peerKeyRefused, this, &TrustControls::PeerKeyRefused);
    connect(&session_, &SessionController::connectionStateChanged, this, &TrustControls::UpdateTrustControls);
    connect(&session_, &SessionController::connectFinished, this, &TrustControls::UpdateTrustControls);
    // After the click has started the attempt (connected after its handler).
    connect(ui.btClient, &QToolButton::clicked, this, &TrustControls::UpdateTrustControls);
    connect(ui.btTools->menu(), &QMenu::aboutToShow, this, &TrustControls::UpdateTrustControls);
}

QString TrustControls::identityPath() const
{
    return folder_ + QLatin1String(Identity::FileName);
}

QByteArray TrustControls::fingerprint() const
{
    const auto id = session_.identity();
    return id ? id->fingerprint() : QByteArray();
}

void TrustControls::FormCreate()
{
    const QString path = identityPath();
    const Identity::Loaded loaded = Identity::LoadOrCreate(path);
    switch (loaded.origin) {
    case Identity::Origin::Loaded:
    case Identity::Origin::Created: break;
    case Identity::Origin::ReplacedBroken:
        log_.AddLogLine(TrustTexts::IdentityReplacedBroken(Identity::BrokenPath(path)), LineSys);
        break;
    case Identity::Origin::Unsaved: log_.AddLogLine(TrustTexts::IdentityUnsaved(loaded.error), LineSys); break;
    case Identity::Origin::Failed: log_.AddLogLine(TrustTexts::IdentityFailed(loaded.error), LineSys); break;
    }
    // Without a key the session offers the original protocol only.
    session_.setIdentity(loaded.identity);

    auto pins = std::make_shared<PeerPins>(folder_ + QLatin1String(PeerPins::FileName));
    QString error;
    // Every known peer would look new: the user must hear of it.
    if (!pins->load(&error))
        log_.AddLogLine(TrustTexts::PinsUnreadable(error), LineSys);
    session_.setPeerPins(std::move(pins));
    UpdateTrustControls();
    emit identityChanged(fingerprint());
}

bool TrustControls::busy() const
{
    return session_.hasSessionConnection() || session_.isConnecting();
}

void TrustControls::UpdateTrustControls()
{
    InviteI1->setEnabled(!fingerprint().isEmpty());
    NewKeyK1->setEnabled(!busy());
}

void TrustControls::InviteI1Click()
{
    const QByteArray fp = fingerprint();
    if (fp.isEmpty())
        return;
    const quint16 port = controls_.listeningPort();
    const auto copy = [fp, port](const QString& host) {
        if (!host.isEmpty())
            QGuiApplication::clipboard()->setText(Invitation::Format(host, port, fp));
    };
    // The address a partner can reach, as the two address entries find it.
    const QString wan = netEnv_.wanAddress();
    if (!wan.isEmpty()) {
        copy(wan);
        return;
    }
    netEnv_.RequestLocalAddress([copy](const QString& lan) {
        copy(lan.isEmpty() ? AddressDiscovery::GetGlobalIPv6Address() : lan);
    });
}

void TrustControls::NewKeyK1Click()
{
    if (busy())
        return;
    QMessageBox box(QMessageBox::Warning, TrustTexts::NewIdentityTitle(), TrustTexts::NewIdentityWarning(),
                    QMessageBox::Yes | QMessageBox::No, window_);
    box.setObjectName(QStringLiteral("NewIdentityBox"));
    box.setDefaultButton(QMessageBox::No);
    // A peer may have connected while the box was open.
    if (box.exec() != QMessageBox::Yes || busy())
        return;
    const Identity::Loaded made = Identity::Renew(identityPath());
    if (!made.identity) {
        log_.AddLogLine(TrustTexts::IdentityRenewFailed(made.error), LineSys);
        return;
    }
    session_.setIdentity(made.identity);
    log_.AddLogLine(TrustTexts::IdentityRenewed(made.identity->fingerprint()), LineSys);
    if (made.origin == Identity::Origin::Unsaved)
        log_.AddLogLine(TrustTexts::IdentityUnsaved(made.error), LineSys);
    UpdateTrustControls();
    emit identityChanged(made.identity->fingerprint());
}

void TrustControls::edIPChange(const QString& text)
{
    const std::optional<Invitation> invitation = Invitation::Parse(text);
    if (!invitation)
        return;
    edIP->setText(invitation->host);
    edPort->setText(QString::number(invitation->port));
    // Even the first connect to this address is held to the invited key.
    const auto pins = session_.peerPins();
    const bool saved = pins->expect(invitation->host, invitation->fingerprint);
    log_.AddLogLine(TrustTexts::InvitationRead(invitation->host, invitation->port), LineSys);
    if (!saved)
        log_.AddLogLine(TrustTexts::PinUnsaved(pins->lastError()), LineSys);
}

void TrustControls::PeerKeyRefused(const QString& name, const QString& address, const QByteArray& pinned,
                                   const QByteArray& offered)
{
    // Closed dialogs have deleted themselves; their entries go.
    for (auto it = dialogs_.begin(); it != dialogs_.end();)
        it = it.value() ? std::next(it) : dialogs_.erase(it);
    QPointer<KeyChangeDialog>& dialog = dialogs_[qMakePair(name, address)];
    if (dialog) {
        dialog->setKeys(pinned, offered);
    } else {
        dialog = new KeyChangeDialog(name, address, pinned, offered, window_);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        connect(dialog, &KeyChangeDialog::keyAccepted, &session_, &SessionController::acceptPeerKey);
    }
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

} // namespace corvid

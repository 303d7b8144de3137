#pragma once
#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>

class QAction;
class QLineEdit;
class QWidget;

namespace corvid {

class ConnectionControls;
class ILogSink;
class KeyChangeDialog;
class NetEnvControl;
class SessionController;
struct MainWindowLayout;

// The main window's part in encryption and keys: this installation's key
// and the peers' pins at start, the invitation line (copied from the tools
// menu or the about box, read when pasted into edIP), the new-key command,
// and a dialog for each peer whose key changed.
class TrustControls : public QObject {
    Q_OBJECT
public:
    // folder: the settings folder (with its trailing "/"), where the key
    // file and the pin file are kept. `controls` gives the listening port.
    TrustControls(const MainWindowLayout& ui, QWidget* window, SessionController& session, NetEnvControl& netEnv,
                  const ConnectionControls& controls, ILogSink& log, QString folder);

    // Loads the key (made on first start) and the pins and gives both to
    // the session; what went wrong is logged.
    void FormCreate();
    QString identityPath() const;
    // This installation's key fingerprint; empty without a key.
    QByteArray fingerprint() const;

    // Handlers named after their controls.
    void InviteI1Click();
    void NewKeyK1Click();
    void edIPChange(const QString& text);
    void UpdateTrustControls();
    // The controller refused a peer's changed key: the user may accept it.
    void PeerKeyRefused(const QString& name, const QString& address, const QByteArray& pinned,
                        const QByteArray& offered);

signals:
    // A key was loaded or made; the about box shows its fingerprint.
    void identityChanged(const QByteArray& fingerprint);

private:
    // A new key mid-session would make the partner refuse our transfer
    // connections, so it waits until nothing is connected.
    bool busy() const;

    QWidget* window_;
    SessionController& session_;
    NetEnvControl& netEnv_;
    const ConnectionControls& controls_;
    ILogSink& log_;
    const QString folder_;
    QLineEdit* edIP;
    QLineEdit* edPort;
    QAction* InviteI1;
    QAction* NewKeyK1;
    // One dialog per peer: a second refusal updates the one shown.
    QHash<QPair<QString, QString>, QPointer<KeyChangeDialog>> dialogs_;
};

} // namespace corvid

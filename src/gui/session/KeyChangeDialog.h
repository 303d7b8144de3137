#pragma once
#include <QByteArray>
#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;

namespace corvid {

// Tells the user that a peer showed another key than the pinned one, with
// both fingerprints, and lets them accept the new key once they have
// compared it with the partner. Keeping the old key is the default: a
// stray Enter never trusts a stranger. Shown without blocking the main
// window, which goes on running meanwhile.
class KeyChangeDialog : public QDialog {
    Q_OBJECT
public:
    KeyChangeDialog(const QString& name, const QString& address, const QByteArray& pinned, const QByteArray& offered,
                    QWidget* parent = nullptr);

    const QString& peerName() const { return name_; }
    const QString& peerAddress() const { return address_; }
    const QByteArray& offeredKey() const { return offered_; }
    // Another refusal of the same peer: the dialog shows its key instead.
    void setKeys(const QByteArray& pinned, const QByteArray& offered);

signals:
    // The user accepted `offered` for this peer.
    void keyAccepted(const QString& name, const QString& address, const QByteArray& offered);

private:
    QString name_;
    QString address_;
    QByteArray offered_;
    QLabel* TextLabel = nullptr;
    QPushButton* AcceptButton = nullptr;
    QPushButton* KeepButton = nullptr;
};

} // namespace corvid

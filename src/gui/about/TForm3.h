#pragma once
#include <QByteArray>
#include <QDialog>
#include <QUrl>
#include <functional>

class QLabel;
class QPushButton;

namespace corvid {

// The about box: the program's icon and name, its version from its own
// version block, a link to the maker's page, where the settings file is,
// and this installation's key fingerprint for reading aloud, with buttons
// that copy it and the invitation line. Shown without blocking the main
// window.
class TForm3 : public QDialog {
    Q_OBJECT
public:
    using OpenHandler = std::function<void(const QUrl&)>;

    // makerUrl: the link label's text (empty: no link shown).
    explicit TForm3(const QString& makerUrl, QWidget* parent = nullptr);

    // Where a click on the link goes; the default is the desktop's "open".
    void setOpenExternal(OpenHandler handler);
    // The settings file named in the box; the running program's default
    // location until set.
    void setSettingsFile(const QString& path);
    // Opens the link label's address and closes the box.
    void LinkLabelClick();
    // This installation's key; empty when there is none (nothing to copy).
    void setFingerprint(const QByteArray& fp);
    // Puts the grouped fingerprint on the clipboard.
    void CopyFingerprintClick();

signals:
    // The invitation button was pressed; the main window knows the address.
    void invitationWanted();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    static constexpr int kPathWidth = 190; // the settings path beside its caption
    static constexpr int kGroupsPerLine = 8;

    QLabel* NameLabel = nullptr;
    QLabel* VersionLabel = nullptr;
    QLabel* LinkLabel = nullptr;
    QLabel* SettingsLabel = nullptr;
    QPushButton* OKButton = nullptr;
    QLabel* FingerprintLabel = nullptr;
    QPushButton* CopyFingerprintButton = nullptr;
    QPushButton* CopyInvitationButton = nullptr;
    QByteArray fingerprint_;
    OpenHandler open_;
};

} // namespace corvid

#pragma once
#include <QDialog>
#include <QUrl>
#include <functional>

class QLabel;
class QPushButton;

namespace corvid {

// The about box: the program's icon and name, its version from its own
// version block, a link to the maker's page and where the settings file is.
// Shown without blocking the main window.
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

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    static constexpr int kWidth = 315;
    static constexpr int kHeight = 109;
    static constexpr int kPathWidth = 190; // what is left of kWidth beside the caption

    QLabel* NameLabel = nullptr;
    QLabel* VersionLabel = nullptr;
    QLabel* LinkLabel = nullptr;
    QLabel* SettingsLabel = nullptr;
    QPushButton* OKButton = nullptr;
    OpenHandler open_;
};

} // namespace corvid

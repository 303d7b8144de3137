#pragma once
#include <QDialog>
#include <QUrl>
#include <functional>

class QLabel;
class QPushButton;

namespace corvid {

// The about box: the program's icon and name, its version from its own
// version block, and a link to the maker's page. Shown without blocking
// the main window.
class TForm3 : public QDialog {
    Q_OBJECT
public:
    using OpenHandler = std::function<void(const QUrl&)>;

    // makerUrl: the link label's text (empty: no link shown).
    explicit TForm3(const QString& makerUrl, QWidget* parent = nullptr);

    // Where a click on the link goes; the default is the desktop's "open".
    void setOpenExternal(OpenHandler handler);
    // Opens the link label's address and closes the box.
    void LinkLabelClick();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLabel* NameLabel = nullptr;
    QLabel* VersionLabel = nullptr;
    QLabel* LinkLabel = nullptr;
    QPushButton* OKButton = nullptr;
    OpenHandler open_;
};

} // namespace corvid

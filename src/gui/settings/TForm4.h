#pragma once
#include "core/settings/AppSettings.h"
#include "gui/settings/OptionsPages.h"

#include <QColor>
#include <QDialog>
#include <QFont>
#include <array>
#include <functional>
#include <optional>

namespace corvid {

// The options dialog: five pages for every setting but the window layout,
// the input-box height and the recent peers. Filled from the owner's
// settings each time it is shown; OK checks, writes every key and applies
// the values; Cancel writes nothing and takes back the live translucency.
class TForm4 : public QDialog {
    Q_OBJECT
public:
    // The platform's choosers; tests put their own in.
    struct Choosers {
        // Folder path, or empty when cancelled.
        std::function<QString(QWidget* parent, const QString& title, const QString& start)> folder;
        // File path, or empty when cancelled.
        std::function<QString(QWidget* parent, const QString& start, const QString& filter)> soundFile;
        // Invalid when cancelled.
        std::function<QColor(QWidget* parent, const QColor& initial)> color;
        std::function<std::optional<QFont>(QWidget* parent, const QFont& initial)> font;
    };

    enum Page { PageGeneral = 0, PageMessages, PageSounds, PageColors, PageTransfer };
    // The colours of the preview, in the order they are written.
    enum ColorRole { FormColor = 0, UserColor, RecvColor, SysColor, LinkColor };

    // `settings` and `settingsPath` are the owning main window's; the
    // translucency acts on `mainWindow`, which is also the parent.
    TForm4(AppSettings& settings, const QString& settingsPath, QWidget* mainWindow);

    // Where the periodic list timer is read from when the dialog is shown.
    void setListTimerSource(std::function<ListTimerSettings()> source) { listTimerSource_ = std::move(source); }
    void setChoosers(Choosers choosers) { choosers_ = std::move(choosers); }
    const OptionsPages& ui() const { return ui_; }

    // Handlers named after their controls.
    void btOKClick();
    void btRecvDirClick();
    void btSoundClick(int number);
    void btFontClick();
    void chooseColor(ColorRole role);

    // Cancel, Escape and closing the window.
    void reject() override;

signals:
    // After a successful OK, in this order: the new list timer, then every
    // other setting (already in the owner's AppSettings and the file).
    void listTimerChanged(const ListTimerSettings& timer);
    void optionsApplied();
    // "今すぐ確認": the update check is wanted now.
    void checkNowRequested();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void selectPage(int row);
    void fill();
    void fillAddress();
    void showPreview();
    void alphaChanged();
    void message(const QString& text, QWidget* focus);
    // A number field's value: text that is not a number, or below 0, is 0.
    static qint64 fieldValue(const QLineEdit* field);
    static Choosers platformChoosers();

    AppSettings& settings_;
    QString settingsPath_;
    QWidget* mainWindow_;
    std::function<ListTimerSettings()> listTimerSource_;
    Choosers choosers_;
    bool filling_ = false;
    bool alphaOnAtShow_ = false;
    int alphaAtShow_ = 255;
    std::array<QColor, 5> colors_;
    QFont font_;

    OptionsPages ui_;
};

} // namespace corvid

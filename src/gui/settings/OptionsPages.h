#pragma once
#include <array>

class QButtonGroup;
class QCheckBox;
class QDialog;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSlider;
class QStackedWidget;
class QWidget;

namespace corvid {

// The controls of the options dialog and their layout: the page list, the
// header, the five pages and the two buttons. Behaviour lives in TForm4.
struct OptionsPages {
    static constexpr int kWidth = 516;
    static constexpr int kHeight = 368;
    static constexpr int kPageCount = 5;

    // Creates every control inside `dialog`, which owns them.
    void setupUi(QDialog* dialog);

    QListWidget* lbPages = nullptr;
    QLabel* lbHeader = nullptr;
    QStackedWidget* pages = nullptr;
    QPushButton* btOK = nullptr;
    QPushButton* btCancel = nullptr;

    // General
    QLineEdit* edUserName = nullptr;
    QLineEdit* edRecvDir = nullptr;
    QPushButton* btRecvDir = nullptr;
    QLabel* lbAddress = nullptr;
    QCheckBox* cbVerCheck = nullptr;
    QPushButton* btCheckNow = nullptr;
    QCheckBox* cbUseUPnP = nullptr;
    QCheckBox* cbAlpha = nullptr;
    QSlider* tbAlpha = nullptr;

    // Messages, in the order of the message flags
    std::array<QCheckBox*, 6> cbMessage{};

    // Sounds; fields and buttons by sound number (message, typing, send)
    QCheckBox* cbSoundMessage = nullptr;
    QCheckBox* cbSoundRecv = nullptr;
    QCheckBox* cbSoundSys = nullptr;
    QCheckBox* cbSoundOnType = nullptr;
    QCheckBox* cbSoundSend = nullptr;
    std::array<QLineEdit*, 3> edSound{};
    std::array<QPushButton*, 3> btSound{};
    QButtonGroup* rgCase = nullptr; // ids 0, 1, 2 = Case

    // Colours
    QFrame* pnPreview = nullptr;
    std::array<QLabel*, 4> lbColor{}; // sent, received, system, link
    QPushButton* btFont = nullptr;

    // File transfer
    QCheckBox* cbAutoRecv = nullptr;
    QCheckBox* cbAutoAccept = nullptr;
    QCheckBox* cbCheckTimer = nullptr;
    QLineEdit* edCheckMin = nullptr;
    QLineEdit* edBufSize = nullptr;
    QLineEdit* edPrioritySize = nullptr;

private:
    QWidget* buildGeneralPage();
    QWidget* buildMessagesPage();
    QWidget* buildSoundsPage(QDialog* dialog);
    QWidget* buildColorsPage();
    QWidget* buildTransferPage();
};

} // namespace corvid

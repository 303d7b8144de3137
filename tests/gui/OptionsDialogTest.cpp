#include "core/session/ChatLog.h"
#include "core/session/SessionController.h"
#include "core/settings/IniFile.h"
#include "gui/session/ChatLogView.h"
#include "gui/session/TForm1.h"
#include "gui/settings/OptionsPages.h"
#include "gui/settings/TForm4.h"
#include "gui/settings/WindowTranslucency.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

#include "support/WaitFor.h"

#include <sys/stat.h>
#include <functional>
#include <memory>

using namespace corvid;
using corvid::test::waitFor;

namespace {

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A main window with its own folder and corvid.ini, written as given.
struct Window {
    QTemporaryDir dir;
    std::unique_ptr<TForm1> form;

    explicit Window(const QByteArray& extra = {})
    {
        QFile f(ini());
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[Option]\nUseUPnP=0\nVerCheck=0\nUserName=Aki\nRecvDir=" + QFile::encodeName(folder()) + "\n"
                + extra);
        f.close();
        form = std::make_unique<TForm1>(ini());
        form->show();
    }
    QString ini() const { return dir.filePath(QStringLiteral("corvid.ini")); }
    QString folder() const { return dir.path() + QLatin1Char('/'); }
    QByteArray file() const { return readFile(ini()); }
    TForm4* dialog() { return form->optionsDialog(); }
    const OptionsPages& ui() { return dialog()->ui(); }
    TForm4* open()
    {
        dialog()->show();
        return dialog();
    }
};

struct BoxSeen {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int count = 0;
};

// Runs `action`, closing every message box it opens and noting the last.
BoxSeen answerBoxes(const std::function<void()>& action)
{
    BoxSeen seen;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            seen = {box->windowTitle(), box->text(), box->icon(), seen.count + 1};
            box->close();
        }
    });
    poll.start();
    action();
    return seen;
}

QColor textColor(const QWidget* w)
{
    return w->palette().color(QPalette::WindowText);
}

TEST(OptionsDialog, FillsEveryControlFromTheSettingsEachTimeItIsShown)
{
    Window w("Alpha=1\nAlphaValue=120\nFormColor=#102030\nUserColor=#405060\nRecvColor=#708090\n"
             "SysColor=#A0B0C0\nLinkColor=#D0E0F0\nFontName=IPAGothic\nFontSize=14\n"
             "[Transfer]\nBufSize=32\nPrioritySize=7\nAutoAccept=1\nAutoRecv=0\nCheckTimer=1\nCheckMin=3\n"
             "[Message]\nsdBegin=0\nsdSuccess=1\nsdFail=0\nrvBegin=1\nrvSuccess=0\nrvFail=1\n"
             "[Sound]\nMessage=0\nRecv=1\nSys=0\nOnType=1\nSend=1\nSoundMsg=/a/m.wav\nSoundType=/a/t.wav\n"
             "SoundSend=/a/s.wav\nCase=1\n");
    // Translucency at start.
    EXPECT_TRUE(WindowTranslucency::isOn(w.form.get()));
    EXPECT_NEAR(w.form->windowOpacity(), 120 / 255.0, 0.01);

    w.open();
    const OptionsPages& ui = w.ui();
    EXPECT_EQ(w.dialog()->windowTitle(), QStringLiteral("オプション"));
    EXPECT_EQ(w.dialog()->size(), QSize(516, 368));
    EXPECT_EQ(ui.lbHeader->text(), QStringLiteral("一般"));
    EXPECT_EQ(ui.edUserName->text(), QStringLiteral("Aki"));
    EXPECT_EQ(ui.edRecvDir->text(), w.folder());
    EXPECT_TRUE(ui.edRecvDir->isReadOnly());
    EXPECT_TRUE(ui.cbAlpha->isChecked());
    EXPECT_TRUE(ui.tbAlpha->isEnabled());
    EXPECT_EQ(ui.tbAlpha->value(), 120);
    EXPECT_FALSE(ui.cbVerCheck->isChecked());
    EXPECT_FALSE(ui.cbUseUPnP->isChecked());
    EXPECT_TRUE(ui.lbAddress->text().endsWith(QStringLiteral("  (ローカルIP)"))
                || ui.lbAddress->text().endsWith(QStringLiteral("  (グローバルIP)")));

    const bool flags[6] = {false, true, false, true, false, true};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(ui.cbMessage[i]->isChecked(), flags[i]) << i;

    EXPECT_FALSE(ui.cbSoundMessage->isChecked());
    EXPECT_TRUE(ui.cbSoundRecv->isChecked());
    EXPECT_FALSE(ui.cbSoundSys->isChecked());
    EXPECT_TRUE(ui.cbSoundOnType->isChecked());
    EXPECT_TRUE(ui.cbSoundSend->isChecked());
    EXPECT_EQ(ui.edSound[0]->text(), QStringLiteral("/a/m.wav"));
    EXPECT_EQ(ui.edSound[1]->text(), QStringLiteral("/a/t.wav"));
    EXPECT_EQ(ui.edSound[2]->text(), QStringLiteral("/a/s.wav"));
    EXPECT_FALSE(ui.btSound[0]->isEnabled());
    EXPECT_TRUE(ui.btSound[1]->isEnabled());
    EXPECT_TRUE(ui.btSound[2]->isEnabled());
    EXPECT_EQ(ui.rgCase->checkedId(), 1);

    EXPECT_EQ(ui.pnPreview->palette().color(QPalette::Window), QColor(0x10, 0x20, 0x30));
    EXPECT_EQ(textColor(ui.lbColor[0]), QColor(0x40, 0x50, 0x60));
    EXPECT_EQ(textColor(ui.lbColor[1]), QColor(0x70, 0x80, 0x90));
    EXPECT_EQ(textColor(ui.lbColor[2]), QColor(0xA0, 0xB0, 0xC0));
    EXPECT_EQ(textColor(ui.lbColor[3]), QColor(0xD0, 0xE0, 0xF0));
    for (const QLabel* label : ui.lbColor) {
        EXPECT_EQ(label->font().family(), QStringLiteral("IPAGothic"));
        EXPECT_EQ(label->font().pointSize(), 14);
    }

    EXPECT_EQ(ui.edBufSize->text(), QStringLiteral("32"));
    EXPECT_EQ(ui.edPrioritySize->text(), QStringLiteral("7"));
    EXPECT_EQ(ui.edCheckMin->text(), QStringLiteral("3"));
    EXPECT_TRUE(ui.cbCheckTimer->isChecked());
    EXPECT_TRUE(ui.cbAutoAccept->isChecked());
    EXPECT_FALSE(ui.cbAutoRecv->isChecked());
    for (const QLineEdit* field : {ui.edBufSize, ui.edPrioritySize, ui.edCheckMin}) {
        EXPECT_TRUE(field->alignment() & Qt::AlignRight);
        EXPECT_FALSE(field->testAttribute(Qt::WA_InputMethodEnabled));
    }

    // Filled again from what the settings say now, not from the last show.
    w.dialog()->reject();
    w.form->settings().UserName = QStringLiteral("Ben");
    w.form->settings().SoundCase = 2;
    ui.edBufSize->setText(QStringLiteral("999"));
    w.open();
    EXPECT_EQ(ui.edUserName->text(), QStringLiteral("Ben"));
    EXPECT_EQ(ui.rgCase->checkedId(), 2);
    EXPECT_EQ(ui.edBufSize->text(), QStringLiteral("32"));
}

TEST(OptionsDialog, EachCheckStopsOkWithItsMessageAndWritesNothing)
{
    struct Check {
        const char* what;
        std::function<void(const OptionsPages&)> edit;
        QString text;
        QString title; // empty: the main window's title
        QMessageBox::Icon icon;
        const char* focused;
    };
    const QString noName = QStringLiteral("名前を入力してください");
    const QString badFolder = QStringLiteral("受信フォルダのパスは無効です");
    const QString badBuffer = QStringLiteral("バッファサイズは1以上の数値でなければなりません");
    const Check checks[] = {
        {"empty name", [](const OptionsPages& ui) { ui.edUserName->clear(); }, noName, {},
         QMessageBox::Information, "edUserName"},
        {"missing folder", [](const OptionsPages& ui) { ui.edRecvDir->setText(QStringLiteral("/no/such/dir")); },
         badFolder, {}, QMessageBox::Information, "edRecvDir"},
        {"buffer 0", [](const OptionsPages& ui) { ui.edBufSize->setText(QStringLiteral("0")); }, badBuffer,
         QStringLiteral("Corvid"), QMessageBox::Warning, "edBufSize"},
        {"empty buffer", [](const OptionsPages& ui) { ui.edBufSize->clear(); }, badBuffer,
         QStringLiteral("Corvid"), QMessageBox::Warning, "edBufSize"},
        {"pasted text in the buffer", [](const OptionsPages& ui) { ui.edBufSize->setText(QStringLiteral("12kb")); },
         badBuffer, QStringLiteral("Corvid"), QMessageBox::Warning, "edBufSize"},
        {"pasted negative buffer", [](const OptionsPages& ui) { ui.edBufSize->setText(QStringLiteral("-5")); },
         badBuffer, QStringLiteral("Corvid"), QMessageBox::Warning, "edBufSize"},
        // The name is checked before the folder, the folder before the buffer.
        {"name before folder",
         [](const OptionsPages& ui) {
             ui.edUserName->clear();
             ui.edRecvDir->setText(QStringLiteral("/no/such/dir"));
         },
         noName, {}, QMessageBox::Information, "edUserName"},
        {"folder before buffer",
         [](const OptionsPages& ui) {
             ui.edRecvDir->setText(QStringLiteral("/no/such/dir"));
             ui.edBufSize->setText(QStringLiteral("0"));
         },
         badFolder, {}, QMessageBox::Information, "edRecvDir"},
    };
    for (const Check& c : checks) {
        Window w;
        const QByteArray before = w.file();
        TForm4* d = w.open();
        QSignalSpy applied(d, &TForm4::optionsApplied);
        c.edit(w.ui());
        const BoxSeen box = answerBoxes([&] { w.ui().btOK->click(); });
        EXPECT_EQ(box.count, 1) << c.what;
        EXPECT_EQ(box.text, c.text) << c.what;
        EXPECT_EQ(box.title, c.title.isEmpty() ? w.form->windowTitle() : c.title) << c.what;
        EXPECT_EQ(box.icon, c.icon) << c.what;
        ASSERT_NE(d->focusWidget(), nullptr) << c.what;
        EXPECT_EQ(d->focusWidget()->objectName(), QString::fromLatin1(c.focused)) << c.what;
        EXPECT_TRUE(d->isVisible()) << c.what;
        EXPECT_EQ(w.file(), before) << c.what;
        EXPECT_EQ(applied.count(), 0) << c.what;
        EXPECT_EQ(w.form->settings().UserName, QStringLiteral("Aki")) << c.what;
        d->reject();
    }
}

TEST(OptionsDialog, OkStoresTheValuesAndTheyActAtOnce)
{
    Window w("[Transfer]\nCheckTimer=0\nCheckMin=1\n");
    auto* view = w.form->findChild<ChatLogView*>(QStringLiteral("WB"));
    ASSERT_TRUE(waitFor([&] { return w.form->chatLog().isReady(); }));
    w.form->chatLog().AddLogLine(QStringLiteral("before"), LineOwn);
    w.form->chatLog().Timer3Timer();
    ASSERT_EQ(view->lineCount(), 1);
    TForm4* d = w.open();
    const OptionsPages& ui = w.ui();
    TForm4::Choosers choosers;
    choosers.color = [](QWidget*, const QColor&) { return QColor(0x11, 0x22, 0x33); };
    choosers.font = [](QWidget*, const QFont&) -> std::optional<QFont> {
        QFont f(QStringLiteral("IPAGothic"), 16);
        f.setBold(true);
        return f;
    };
    d->setChoosers(choosers);
    ui.edUserName->setText(QStringLiteral("Cho"));
    ui.edBufSize->setText(QStringLiteral("128"));
    ui.edPrioritySize->setText(QStringLiteral("9"));
    ui.cbCheckTimer->setChecked(true);
    ui.edCheckMin->setText(QStringLiteral("2"));
    ui.cbSoundSend->setChecked(true);
    ui.rgCase->button(2)->setChecked(true);
    QTest::mouseClick(ui.lbColor[0], Qt::LeftButton); // sent-message colour
    d->btFontClick();
    EXPECT_EQ(ui.lbColor[0]->font().family(), QStringLiteral("IPAGothic"));
    EXPECT_FALSE(ui.lbColor[0]->font().bold()); // face and size only

    QSignalSpy timer(d, &TForm4::listTimerChanged);
    const BoxSeen box = answerBoxes([&] { ui.btOK->click(); });
    EXPECT_EQ(box.count, 0) << box.text.toStdString();
    EXPECT_FALSE(d->isVisible());

    const AppSettings& s = w.form->settings();
    EXPECT_EQ(s.ChunkSize, 131072);
    EXPECT_EQ(s.shared().ChunkSize, 131072);
    EXPECT_EQ(s.PrioritySize, 9 * 1048576);
    EXPECT_EQ(s.shared().PrioritySize, 9 * 1048576);
    EXPECT_EQ(s.shared().UserName, QStringLiteral("Cho"));
    EXPECT_TRUE(s.SoundSend);
    EXPECT_EQ(s.SoundCase, 2);
    ASSERT_EQ(timer.count(), 1);
    EXPECT_TRUE(w.form->listTimer().Enabled);
    EXPECT_EQ(w.form->listTimer().IntervalMs, 120000);

    const IniFile ini(w.ini());
    EXPECT_EQ(ini.readInteger("Transfer", "BufSize", -1), 128);
    EXPECT_EQ(ini.readInteger("Transfer", "PrioritySize", -1), 9);
    EXPECT_EQ(ini.readInteger("Transfer", "CheckMin", -1), 2);
    EXPECT_TRUE(ini.readBool("Transfer", "CheckTimer", false));
    EXPECT_EQ(ini.readString("Option", "UserColor", {}), QStringLiteral("#112233"));
    EXPECT_EQ(ini.readString("Option", "FontName", {}), QStringLiteral("IPAGothic"));
    EXPECT_EQ(ini.readInteger("Option", "FontSize", -1), 16);
    EXPECT_EQ(ini.readString("Option", "RecvDir", {}), w.folder());

    // The window shows the new name, and the log and the input box the new
    // colours and font.
    EXPECT_EQ(w.form->findChild<QLabel*>(QStringLiteral("StatusPanel0"))->text(), QStringLiteral("Cho"));
    EXPECT_EQ(w.form->session().userName(), QStringLiteral("Cho"));
    const ChatLogStyle style = w.form->chatLog().style();
    EXPECT_EQ(style.userColor, QStringLiteral("#112233"));
    EXPECT_EQ(style.fontName, QStringLiteral("IPAGothic"));
    EXPECT_EQ(style.fontSize, 16);
    // The line shown before takes the new colour as well.
    QTextCursor line(view->document()->findBlockByNumber(0));
    line.movePosition(QTextCursor::EndOfBlock);
    EXPECT_EQ(line.charFormat().foreground().color(), QColor(0x11, 0x22, 0x33));
    EXPECT_EQ(view->document()->defaultFont().family(), QStringLiteral("IPAGothic"));
    auto* input = w.form->findChild<QTextEdit*>(QStringLiteral("reInput"));
    EXPECT_TRUE(waitFor([&] { return input->palette().color(QPalette::Text) == QColor(0x11, 0x22, 0x33); }));
}

TEST(OptionsDialog, MinutesZeroClearsTheIntervalBoxAndNoFolderMeansTheProgramsOwn)
{
    Window w("[Transfer]\nCheckTimer=1\nCheckMin=5\n");
    w.open();
    ASSERT_TRUE(w.ui().cbCheckTimer->isChecked());
    w.ui().edCheckMin->setText(QStringLiteral("0"));
    w.ui().edRecvDir->clear();
    EXPECT_EQ(answerBoxes([&] { w.ui().btOK->click(); }).count, 0);
    EXPECT_FALSE(w.ui().cbCheckTimer->isChecked());
    EXPECT_FALSE(w.form->listTimer().Enabled);
    EXPECT_EQ(w.form->listTimer().IntervalMs, 0);
    const IniFile ini(w.ini());
    EXPECT_EQ(ini.readInteger("Transfer", "CheckTimer", -1), 0);
    EXPECT_EQ(ini.readInteger("Transfer", "CheckMin", -1), 0);
    EXPECT_EQ(w.form->settings().RecvDir, AppSettings::executableDir());
    EXPECT_EQ(ini.readString("Option", "RecvDir", {}), AppSettings::executableDir());
}

TEST(OptionsDialog, OkWritesEveryKeyInTheDialogsOrder)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("corvid.ini"));
    QWidget main;
    AppSettings settings(dir.path());
    settings.UserName = QStringLiteral("Aki");
    TForm4 d(settings, path, &main);
    d.show();
    d.ui().cbSoundRecv->setChecked(true);
    d.ui().edSound[1]->setText(QStringLiteral("/x/t.wav"));
    d.ui().cbMessage[4]->setChecked(false);
    d.ui().cbAutoRecv->setChecked(true);
    EXPECT_EQ(answerBoxes([&] { d.ui().btOK->click(); }).count, 0);
    // Starting from no file, every key lands in the order it was written.
    const QByteArray expected = "[Option]\n"
                                "UserName=Aki\n"
                                "RecvDir=" + QFile::encodeName(dir.path()) + "/\n"
                                "Alpha=0\n"
                                "AlphaValue=255\n"
                                "FormColor=#000000\n"
                                "UserColor=#FFFFFF\n"
                                "RecvColor=#FFFF00\n"
                                "SysColor=#C0C0C0\n"
                                "LinkColor=#0080FF\n"
                                "FontName=MS UI GOTHIC\n"
                                "FontSize=11\n"
                                "UseUPnP=1\n"
                                "VerCheck=1\n"
                                "[Message]\n"
                                "sdBegin=1\nsdSuccess=1\nsdFail=1\nrvBegin=1\nrvSuccess=0\nrvFail=1\n"
                                "[Sound]\n"
                                "Message=0\nOnType=0\nSend=0\nRecv=1\nSys=0\n"
                                "SoundMsg=\nSoundType=/x/t.wav\nSoundSend=\nCase=0\n"
                                "[Transfer]\n"
                                "BufSize=64\nPrioritySize=5\nCheckMin=1\nCheckTimer=0\nAutoAccept=0\nAutoRecv=1\n";
    EXPECT_EQ(readFile(path), expected);
}

TEST(OptionsDialog, ARefusedWriteShowsItsMessageAndStopsThere)
{
    Window w;
    const QByteArray before = w.file();
    // Without write permission bits; refused for root as well.
    ASSERT_EQ(::chmod(QFile::encodeName(w.ini()).constData(), 0444), 0);
    TForm4* d = w.open();
    QSignalSpy applied(d, &TForm4::optionsApplied);
    QSignalSpy timer(d, &TForm4::listTimerChanged);
    w.ui().edUserName->setText(QStringLiteral("Dan"));
    w.ui().edBufSize->setText(QStringLiteral("128"));
    const BoxSeen box = answerBoxes([&] { w.ui().btOK->click(); });
    ::chmod(QFile::encodeName(w.ini()).constData(), 0644);
    EXPECT_EQ(box.count, 1);
    EXPECT_EQ(box.text, w.ini() + QStringLiteral(" に書き込めません"));
    EXPECT_EQ(box.icon, QMessageBox::Critical);
    EXPECT_TRUE(d->isVisible());
    EXPECT_EQ(w.file(), before);
    // Nothing after the refused key is stored or applied.
    EXPECT_EQ(w.form->settings().UserName, QStringLiteral("Aki"));
    EXPECT_EQ(w.form->settings().ChunkSize, 65536);
    EXPECT_EQ(w.form->settings().shared().ChunkSize, 65536);
    EXPECT_EQ(applied.count(), 0);
    EXPECT_EQ(timer.count(), 0);
    EXPECT_EQ(w.form->findChild<QLabel*>(QStringLiteral("StatusPanel0"))->text(), QStringLiteral("Aki"));
    d->reject();
}

TEST(OptionsDialog, TranslucencyFollowsTheSliderAndCancelTakesItBack)
{
    Window w("[Sound]\nCase=1\n");
    const QByteArray before = w.file();
    EXPECT_DOUBLE_EQ(w.form->windowOpacity(), 1.0);
    w.open();
    const OptionsPages& ui = w.ui();
    EXPECT_FALSE(ui.cbAlpha->isChecked());
    EXPECT_FALSE(ui.tbAlpha->isEnabled());
    ui.cbAlpha->setChecked(true);
    EXPECT_TRUE(ui.tbAlpha->isEnabled());
    ui.tbAlpha->setValue(100);
    EXPECT_NEAR(w.form->windowOpacity(), 100 / 255.0, 0.01);
    ui.edUserName->setText(QStringLiteral("Eri"));
    ui.rgCase->button(0)->setChecked(true);
    ui.btCancel->click();
    EXPECT_FALSE(w.dialog()->isVisible());
    EXPECT_DOUBLE_EQ(w.form->windowOpacity(), 1.0);
    EXPECT_FALSE(WindowTranslucency::isOn(w.form.get()));
    EXPECT_EQ(w.file(), before);
    EXPECT_EQ(w.form->settings().UserName, QStringLiteral("Aki"));
    EXPECT_EQ(w.form->settings().SoundCase, 1);

    // Switched on and confirmed, it stays; unticking turns it off at once.
    w.open();
    ui.cbAlpha->setChecked(true);
    ui.tbAlpha->setValue(200);
    EXPECT_EQ(answerBoxes([&] { ui.btOK->click(); }).count, 0);
    EXPECT_NEAR(w.form->windowOpacity(), 200 / 255.0, 0.01);
    const IniFile ini(w.ini());
    EXPECT_TRUE(ini.readBool("Option", "Alpha", false));
    EXPECT_EQ(ini.readInteger("Option", "AlphaValue", -1), 200);
    w.open();
    EXPECT_TRUE(ui.cbAlpha->isChecked());
    EXPECT_EQ(ui.tbAlpha->value(), 200);
    ui.cbAlpha->setChecked(false);
    EXPECT_DOUBLE_EQ(w.form->windowOpacity(), 1.0);
    QTest::keyClick(w.dialog(), Qt::Key_Escape); // Escape is Cancel
    EXPECT_NEAR(w.form->windowOpacity(), 200 / 255.0, 0.01);
}

TEST(OptionsDialog, PagesChoosersAndFieldsBehave)
{
    Window w("[Sound]\nMessage=1\nSoundMsg=/snd/bell.wav\n");
    TForm4* d = w.open();
    const OptionsPages& ui = w.ui();

    // Page list: the header names the page shown.
    ASSERT_EQ(ui.lbPages->count(), 5);
    const char* pages[5] = {"一般", "メッセージ", "音設定", "色設定", "ファイル転送"};
    for (int i = 4; i >= 0; --i) {
        ui.lbPages->setCurrentRow(i);
        EXPECT_EQ(ui.lbHeader->text(), QString::fromUtf8(pages[i]));
        EXPECT_EQ(ui.pages->currentIndex(), i);
    }

    // Number fields take digits and Backspace only.
    ui.lbPages->setCurrentRow(OptionsPages::kPageCount - 1);
    ui.edBufSize->clear();
    QTest::keyClicks(ui.edBufSize, QStringLiteral("1a2-3 "));
    EXPECT_EQ(ui.edBufSize->text(), QStringLiteral("123"));
    QTest::keyClick(ui.edBufSize, Qt::Key_Backspace);
    EXPECT_EQ(ui.edBufSize->text(), QStringLiteral("12"));

    // A sound row's box enables its browse button only.
    ASSERT_TRUE(ui.btSound[0]->isEnabled());
    ui.cbSoundMessage->setChecked(false);
    EXPECT_FALSE(ui.btSound[0]->isEnabled());
    EXPECT_TRUE(ui.cbSoundRecv->isEnabled());
    EXPECT_TRUE(ui.cbSoundSys->isEnabled());
    EXPECT_TRUE(ui.rgCase->button(0)->isEnabled());
    ui.cbSoundSend->setChecked(true);
    EXPECT_TRUE(ui.btSound[2]->isEnabled());

    // The sound chooser starts at the field's file, or in the system's
    // sound folder when the field is empty.
    QStringList starts;
    TForm4::Choosers choosers;
    choosers.soundFile = [&](QWidget*, const QString& start, const QString& filter) {
        starts << start;
        EXPECT_EQ(filter, QStringLiteral("Waveファイル (*.wav)"));
        return QStringLiteral("/snd/new.wav");
    };
    QString folderTitle;
    const QString chosenDir = w.dir.filePath(QStringLiteral("in"));
    ASSERT_TRUE(QDir().mkpath(chosenDir));
    choosers.folder = [&](QWidget*, const QString& title, const QString& start) {
        folderTitle = title;
        EXPECT_EQ(start, w.folder());
        return chosenDir + QLatin1Char('/');
    };
    d->setChoosers(choosers);
    d->btSoundClick(0);
    d->btSoundClick(2);
    EXPECT_EQ(starts, QStringList({QStringLiteral("/snd/bell.wav"), QStringLiteral("/usr/share/sounds/")}));
    EXPECT_EQ(ui.edSound[0]->text(), QStringLiteral("/snd/new.wav"));
    EXPECT_EQ(ui.edSound[1]->text(), QString());
    EXPECT_EQ(ui.edSound[2]->text(), QStringLiteral("/snd/new.wav"));

    // The folder comes back without its separator; OK adds it.
    d->btRecvDirClick();
    EXPECT_EQ(folderTitle, QStringLiteral("受信フォルダを選択してください"));
    EXPECT_EQ(ui.edRecvDir->text(), chosenDir);
    EXPECT_EQ(answerBoxes([&] { ui.btOK->click(); }).count, 0);
    EXPECT_EQ(w.form->settings().RecvDir, chosenDir + QLatin1Char('/'));
    EXPECT_EQ(w.form->settings().shared().RecvDir, chosenDir + QLatin1Char('/'));
    EXPECT_EQ(w.form->settings().ChunkSize, 12 * 1024);
    EXPECT_EQ(w.form->settings().SoundFiles[2], QStringLiteral("/snd/new.wav"));
    EXPECT_FALSE(w.form->settings().SoundMessage);

    // "今すぐ確認" asks for the update check whatever its box says.
    w.open();
    QSignalSpy check(d, &TForm4::checkNowRequested);
    ui.btCheckNow->click();
    EXPECT_EQ(check.count(), 1);
    d->reject();
}

TEST(OptionsDialog, TheToolsMenuEntryOpensItModally)
{
    Window w;
    auto* tools = w.form->findChild<QToolButton*>(QStringLiteral("btTools"));
    ASSERT_NE(tools, nullptr);
    QAction* entry = nullptr;
    for (QAction* a : tools->menu()->actions()) {
        if (a->text() == QStringLiteral("オプション(&O)"))
            entry = a;
    }
    ASSERT_NE(entry, nullptr);
    EXPECT_TRUE(entry->isEnabled());
    QWidget* seen = nullptr;
    QTimer::singleShot(0, [&] {
        seen = QApplication::activeModalWidget();
        if (auto* d = qobject_cast<QDialog*>(seen))
            d->reject();
    });
    entry->trigger();
    EXPECT_EQ(seen, w.dialog());
    EXPECT_FALSE(w.dialog()->isVisible());
}

// Every caption fits its control and every control lies inside the page;
// with CORVID_SHOT_DIR set, each page is also saved there as a picture.
TEST(OptionsDialog, NoCaptionIsCutOffOnAnyPage)
{
    Window w;
    TForm4* d = w.open();
    const QString shots = qEnvironmentVariable("CORVID_SHOT_DIR");
    for (int page = 0; page < OptionsPages::kPageCount; ++page) {
        w.ui().lbPages->setCurrentRow(page);
        QApplication::processEvents();
        const QPixmap picture = d->grab();
        EXPECT_EQ(picture.size() / picture.devicePixelRatio(), QSize(516, 368));
        if (!shots.isEmpty())
            picture.save(QStringLiteral("%1/options-page%2.png").arg(shots).arg(page + 1));
        const QRect inside = d->rect();
        QList<QWidget*> shown;
        for (QWidget* c : d->findChildren<QWidget*>()) {
            if (c->isVisibleTo(d) && (qobject_cast<QLabel*>(c) || qobject_cast<QAbstractButton*>(c)))
                shown << c;
        }
        ASSERT_FALSE(shown.isEmpty());
        for (QWidget* c : shown) {
            const QRect r(c->mapTo(d, QPoint(0, 0)), c->size());
            EXPECT_TRUE(inside.contains(r)) << page << " " << c->objectName().toStdString();
            EXPECT_GE(c->width(), c->minimumSizeHint().width())
                << page << " " << c->objectName().toStdString();
            EXPECT_GE(c->height(), c->minimumSizeHint().height())
                << page << " " << c->objectName().toStdString();
        }
    }
    d->reject();
}

} // namespace

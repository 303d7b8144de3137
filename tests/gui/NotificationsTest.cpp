#include "core/protocol/TransferResultCode.h"
#include "core/session/ChatLog.h"
#include "core/transfer/TransferCenter.h"
#include "core/settings/INotifyDesktop.h"
#include "core/settings/ISoundPlayer.h"
#include "core/settings/Notifier.h"
#include "gui/session/TForm1.h"
#include "core/session/UiHandOver.h"
#include "gui/settings/SoundPlayer.h"
#include "gui/settings/TypingSoundFilter.h"
#include "gui/settings/WindowNotifications.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QSignalSpy>
#include <QSoundEffect>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <gtest/gtest.h>

#include "support/WaitFor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

using namespace corvid;
using corvid::test::waitFor;

// The real player hands its sounds to Qt Multimedia's own loader threads
// inside the uninstrumented library; the thread checker cannot see that
// hand-over, so these tests run in the other builds. Our loader and its
// hand-over stay checked through the fake player's tests.
#if defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_THREAD_SANITIZER() GTEST_SKIP() << "Qt Multimedia's threads are not instrumented"
#else
#define SKIP_UNDER_THREAD_SANITIZER() (void)0
#endif

namespace {

class FakePlayer : public ISoundPlayer {
public:
    void PlaySoundFile(SoundSlot slot, const QString& path) override { played.push_back({slot, path}); }
    std::vector<std::pair<SoundSlot, QString>> played;
};

class FakeDesktop : public INotifyDesktop {
public:
    bool isApplicationActive() const override { return false; }
    bool isMinimised() const override { return false; }
    void showFlash(bool, bool) override {}
};

TEST(TypingSound, CharactersAndCompositionInTheInputBoxOnly)
{
    AppSettings s;
    s.SoundOnType = true;
    s.SoundFiles[1] = QStringLiteral("/s/type.wav");
    FakePlayer player;
    FakeDesktop desktop;
    Notifier notifier(s, player, desktop);
    QWidget top;
    auto* box = new QTextEdit(&top);
    auto* other = new QLineEdit(&top);
    top.show();
    TypingSoundFilter filter(box, notifier);
    qApp->installEventFilter(&filter);

    struct Typed {
        const char* what;
        std::function<void()> act;
        bool sound;
    };
    const Typed cases[] = {
        {"a letter", [&] { QTest::keyClick(box, Qt::Key_A); }, true},
        {"a digit", [&] { QTest::keyClick(box, Qt::Key_5); }, true},
        {"a blank", [&] { QTest::keyClick(box, Qt::Key_Space); }, true},
        {"Backspace", [&] { QTest::keyClick(box, Qt::Key_Backspace); }, false},
        {"held Backspace",
         [&] {
             QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier, QStringLiteral("\b"), true);
             QApplication::sendEvent(box, &repeat);
         },
         false},
        {"Enter", [&] { QTest::keyClick(box, Qt::Key_Return); }, false},
        {"keypad Enter", [&] { QTest::keyClick(box, Qt::Key_Enter, Qt::KeypadModifier); }, false},
        {"Ctrl+Enter", [&] { QTest::keyClick(box, Qt::Key_Return, Qt::ControlModifier); }, false},
        {"an arrow key", [&] { QTest::keyClick(box, Qt::Key_Left); }, false},
        {"a composition",
         [&] {
             QInputMethodEvent e(QStringLiteral("か"), {});
             QApplication::sendEvent(box, &e);
         },
         true},
        {"a committed composition",
         [&] {
             QInputMethodEvent e;
             e.setCommitString(QStringLiteral("漢字"));
             QApplication::sendEvent(box, &e);
         },
         true},
        {"a letter in another field", [&] { QTest::keyClick(other, Qt::Key_A); }, false},
    };
    for (const Typed& c : cases) {
        player.played.clear();
        c.act();
        if (c.sound) {
            ASSERT_EQ(player.played.size(), 1u) << c.what;
            EXPECT_EQ(player.played[0].first, SoundSlot::Type) << c.what;
            EXPECT_EQ(player.played[0].second, QStringLiteral("/s/type.wav")) << c.what;
        } else {
            EXPECT_TRUE(player.played.empty()) << c.what;
        }
    }
    s.SoundOnType = false;
    player.played.clear();
    QTest::keyClick(box, Qt::Key_B);
    EXPECT_TRUE(player.played.empty());
    qApp->removeEventFilter(&filter);
}

// A mono 16-bit PCM file of `samples` samples at 8000 Hz.
QByteArray wav(int samples)
{
    auto le32 = [](quint32 v) {
        QByteArray b(4, '\0');
        for (int i = 0; i < 4; ++i)
            b[i] = char((v >> (8 * i)) & 0xFF);
        return b;
    };
    auto le16 = [](quint16 v) {
        QByteArray b(2, '\0');
        b[0] = char(v & 0xFF);
        b[1] = char(v >> 8);
        return b;
    };
    const quint32 data = quint32(samples) * 2;
    QByteArray out = "RIFF" + le32(36 + data) + "WAVEfmt " + le32(16) + le16(1) + le16(1) + le32(8000)
                     + le32(16000) + le16(2) + le16(16) + "data" + le32(data);
    for (int i = 0; i < samples; ++i)
        out += le16(quint16((i % 40 < 20) ? 8000 : -8000));
    return out;
}

QString writeFile(const QTemporaryDir& dir, const char* name, const QByteArray& bytes)
{
    const QString path = dir.filePath(QString::fromLatin1(name));
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    return path;
}

TEST(SoundPlayer, BadFilesStaySilentAndANewSoundCutsOffTheLast)
{
    SKIP_UNDER_THREAD_SANITIZER();
    QTemporaryDir dir;
    const QString good = writeFile(dir, "ding.wav", wav(80000));
    const QString junk = writeFile(dir, "junk.wav", QByteArray(4096, 'x'));
    const QString fifo = dir.filePath(QStringLiteral("pipe.wav"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    UiHandOver ui;
    SoundPlayer player(ui);

    player.PlaySoundFile(SoundSlot::Msg, QString());
    EXPECT_EQ(player.requested(), 0); // an empty name plays nothing

    // Missing, and a FIFO that no one writes to: both silent, at once.
    player.PlaySoundFile(SoundSlot::Msg, dir.filePath(QStringLiteral("missing.wav")));
    player.PlaySoundFile(SoundSlot::Type, fifo);
    ASSERT_TRUE(waitFor([&] { return player.refused() == 2; }));
    EXPECT_EQ(player.effect(SoundSlot::Msg), nullptr);
    EXPECT_EQ(player.effect(SoundSlot::Type), nullptr);

    // Bytes that are no sound reach the player and stay silent there.
    player.PlaySoundFile(SoundSlot::Type, junk);
    ASSERT_TRUE(waitFor([&] { return player.effect(SoundSlot::Type) != nullptr; }));
    EXPECT_TRUE(waitFor([&] { return player.effect(SoundSlot::Type)->status() == QSoundEffect::Error; }));

    // The file that was missing is tried again once it exists.
    QFile::copy(good, dir.filePath(QStringLiteral("missing.wav")));
    player.PlaySoundFile(SoundSlot::Msg, dir.filePath(QStringLiteral("missing.wav")));
    ASSERT_TRUE(waitFor([&] { return player.effect(SoundSlot::Msg) != nullptr; }));
    EXPECT_TRUE(waitFor([&] { return player.effect(SoundSlot::Msg)->status() == QSoundEffect::Ready; }));
    ASSERT_TRUE(waitFor([&] { return player.effect(SoundSlot::Msg)->isPlaying(); }));
    // Without an audio device the player may report playing for ever; a new
    // sound in another slot stops it all the same.
    player.PlaySoundFile(SoundSlot::Send, good);
    EXPECT_FALSE(player.effect(SoundSlot::Msg)->isPlaying());
    ASSERT_TRUE(waitFor([&] { return player.effect(SoundSlot::Send) != nullptr; }));
    EXPECT_EQ(player.refused(), 2);
}

TEST(SoundPlayer, ALaterRequestForTheSameSlotWins)
{
    SKIP_UNDER_THREAD_SANITIZER();
    QTemporaryDir dir;
    const QString a = writeFile(dir, "a.wav", wav(800));
    const QString b = writeFile(dir, "b.wav", wav(1600));
    UiHandOver ui;
    SoundPlayer player(ui);
    QSignalSpy settled(&player, &SoundPlayer::settled);
    player.PlaySoundFile(SoundSlot::Type, a);
    player.PlaySoundFile(SoundSlot::Type, b);
    ASSERT_TRUE(waitFor([&] { return settled.count() == 2; }));
    ASSERT_NE(player.effect(SoundSlot::Type), nullptr);
    QFile played(player.effect(SoundSlot::Type)->source().toLocalFile());
    ASSERT_TRUE(played.open(QIODevice::ReadOnly));
    EXPECT_EQ(played.readAll(), wav(1600));
}

TEST(WindowNotifications, LinesOfTheLogPlayTheirSound)
{
    SKIP_UNDER_THREAD_SANITIZER();
    QTemporaryDir dir;
    const QString ding = writeFile(dir, "ding.wav", wav(8000));
    writeFile(dir, "corvid.ini",
              "[Option]\nUseUPnP=0\nVerCheck=0\nUserName=Aki\n[Sound]\nMessage=1\nSys=1\nCase=2\nSoundMsg="
                  + QFile::encodeName(ding) + "\n");
    TForm1 form(dir.filePath(QStringLiteral("corvid.ini")));
    form.show();
    SoundPlayer& player = form.notifications().player();
    form.chatLog().AddLogLine(QStringLiteral("hello"), LineSys);
    EXPECT_EQ(player.effect(SoundSlot::Msg), nullptr); // not before the line is shown
    EXPECT_EQ(player.requested(), 0);
    form.chatLog().Timer3Timer();
    EXPECT_EQ(player.requested(), 1);
    ASSERT_TRUE(waitFor([&] { return player.effect(SoundSlot::Msg) != nullptr; }));
    QFile played(player.effect(SoundSlot::Msg)->source().toLocalFile());
    ASSERT_TRUE(played.open(QIODevice::ReadOnly));
    EXPECT_EQ(played.readAll(), wav(8000));
    // Own lines stay silent with Send off.
    form.chatLog().AddLogLine(QStringLiteral("mine"), LineOwn);
    form.chatLog().Timer3Timer();
    EXPECT_EQ(player.requested(), 1);
}

// A file list arriving flashes the window's own series, the one the log
// lines use (its rules are the notifier's tests): none in the foreground,
// one for a burst in the background. Offscreen, a shown window keeps the
// application active, so the series ends at its first step, in the
// normal look.
TEST(WindowNotifications, AListArrivalRunsTheLogLinesFlashSeries)
{
    QTemporaryDir dir;
    writeFile(dir, "corvid.ini", "[Option]\nUseUPnP=0\nVerCheck=0\nUserName=Aki\n");
    TForm1 form(dir.filePath(QStringLiteral("corvid.ini")));
    form.show();
    ASSERT_TRUE(waitFor([] { return QGuiApplication::applicationState() == Qt::ApplicationActive; }));
    Notifier& notifier = form.notifications().notifier();

    form.transfer().NotifyTransferEvent(RcListArrived, {});
    EXPECT_FALSE(notifier.flash().running());
    EXPECT_FALSE(notifier.flashTimer()->isActive());

    form.setWindowState(Qt::WindowMinimized);
    ASSERT_TRUE(waitFor([&] { return form.isMinimized(); }));
    form.transfer().NotifyTransferEvent(RcListArrived, {});
    EXPECT_TRUE(notifier.flash().running());
    EXPECT_TRUE(notifier.flashTimer()->isActive());
    EXPECT_EQ(notifier.flashTimer()->interval(), FlashSeries::kStepMs);
    form.transfer().NotifyTransferEvent(RcListArrived, {});
    EXPECT_TRUE(notifier.flash().running());
    EXPECT_EQ(notifier.flash().counter(), 0);

    ASSERT_TRUE(waitFor([&] { return !notifier.flash().running(); }));
    EXPECT_FALSE(notifier.flash().highlighted());
    EXPECT_FALSE(notifier.flashTimer()->isActive());
}

} // namespace

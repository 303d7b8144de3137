#include "core/settings/INotifyDesktop.h"
#include "core/settings/ISoundPlayer.h"
#include "core/settings/Notifier.h"

#include <gtest/gtest.h>

#include "settings/PrintQt.h"

#include <optional>
#include <vector>

using namespace corvid;

namespace {

struct Played {
    SoundSlot slot;
    QString path;
};

class FakePlayer : public ISoundPlayer {
public:
    void PlaySoundFile(SoundSlot slot, const QString& path) override { played.push_back({slot, path}); }
    std::vector<Played> played;
};

class FakeDesktop : public INotifyDesktop {
public:
    bool isApplicationActive() const override { return active; }
    bool isMinimised() const override { return minimised; }
    void showFlash(bool highlighted, bool seriesEnded) override { flashes.push_back({highlighted, seriesEnded}); }

    bool active = false;
    bool minimised = false;
    std::vector<std::pair<bool, bool>> flashes; // highlighted, series ended
};

AppSettings soundSettings()
{
    AppSettings s;
    s.SoundFiles = {QStringLiteral("/s/msg.wav"), QStringLiteral("/s/type.wav"), QStringLiteral("/s/send.wav")};
    return s;
}

struct SoundCase {
    const char* what;
    bool message, recv, sys, send;
    int soundCase;
    int kind;
    bool active, minimised;
    std::optional<SoundSlot> expected;
};

TEST(Notifier, LineSoundFollowsTheFlagsAndTheCondition)
{
    const auto msg = SoundSlot::Msg;
    const auto send = SoundSlot::Send;
    const std::optional<SoundSlot> none;
    const SoundCase cases[] = {
        // flags: Message Recv Sys Send; Case; kind; active minimised
        {"received needs Message and Recv", true, true, false, false, 2, 1, false, false, msg},
        {"Recv off keeps received lines silent", true, false, true, false, 2, 1, false, false, none},
        {"system needs Message and Sys", true, false, true, false, 2, 2, false, false, msg},
        {"Sys without Message is silent", false, true, true, false, 2, 2, false, false, none},
        {"Recv without Message is silent", false, true, true, true, 2, 1, false, false, none},
        {"own line plays the send sound", false, false, false, true, 2, 0, false, false, send},
        {"own line with Send off is silent", true, true, true, false, 2, 0, false, false, none},
        {"an unknown kind is silent", true, true, true, true, 2, 3, false, false, none},
        {"Case 0, active and shown: silent", true, true, true, true, 0, 1, true, false, none},
        {"Case 0, active but minimised: plays", true, true, true, true, 0, 1, true, true, msg},
        {"Case 0, in the background: plays", true, true, true, true, 0, 2, false, false, msg},
        {"Case 1, in the background: silent", true, true, true, true, 1, 1, false, false, none},
        {"Case 1, active and minimised: plays", true, true, true, true, 1, 1, true, true, msg},
        {"Case 2 while active: plays", true, true, true, true, 2, 0, true, false, send},
        {"an unknown Case never plays", true, true, true, true, 3, 1, false, false, none},
        {"a negative Case never plays", true, true, true, true, -1, 1, false, false, none},
    };
    for (const SoundCase& c : cases) {
        AppSettings s = soundSettings();
        s.SoundMessage = c.message;
        s.SoundRecv = c.recv;
        s.SoundSys = c.sys;
        s.SoundSend = c.send;
        s.SoundCase = c.soundCase;
        FakePlayer player;
        FakeDesktop desktop;
        desktop.active = c.active;
        desktop.minimised = c.minimised;
        Notifier n(s, player, desktop);
        n.LineNotification(c.kind);
        if (!c.expected) {
            EXPECT_TRUE(player.played.empty()) << c.what;
            continue;
        }
        ASSERT_EQ(player.played.size(), 1u) << c.what;
        EXPECT_EQ(player.played[0].slot, *c.expected) << c.what;
        EXPECT_EQ(player.played[0].path, s.soundFile(*c.expected)) << c.what;
    }
}

TEST(Notifier, SettingsAreReadAtEachLine)
{
    AppSettings s = soundSettings();
    FakePlayer player;
    FakeDesktop desktop;
    Notifier n(s, player, desktop);
    n.LineNotification(0);
    EXPECT_TRUE(player.played.empty());
    s.SoundSend = true;
    s.SoundFiles[2] = QStringLiteral("/s/other.wav");
    n.LineNotification(0);
    ASSERT_EQ(player.played.size(), 1u);
    EXPECT_EQ(player.played[0].path, QStringLiteral("/s/other.wav"));
}

TEST(Notifier, TypingSoundIgnoresTheCondition)
{
    AppSettings s = soundSettings();
    s.SoundCase = 0; // would keep line sounds silent while active
    FakePlayer player;
    FakeDesktop desktop;
    desktop.active = true;
    Notifier n(s, player, desktop);
    n.TypingNotification();
    EXPECT_TRUE(player.played.empty()); // OnType off
    s.SoundOnType = true;
    n.TypingNotification();
    ASSERT_EQ(player.played.size(), 1u);
    EXPECT_EQ(player.played[0].slot, SoundSlot::Type);
    EXPECT_EQ(player.played[0].path, QStringLiteral("/s/type.wav"));
}

TEST(Notifier, ThreeBackgroundLinesMakeOneSeriesOfNineSteps)
{
    AppSettings s = soundSettings();
    FakePlayer player;
    FakeDesktop desktop;
    Notifier n(s, player, desktop);
    for (int kind : {1, 2, 0})
        n.LineNotification(kind);
    ASSERT_TRUE(n.flashTimer()->isActive());
    EXPECT_EQ(n.flashTimer()->interval(), 1000);
    EXPECT_TRUE(player.played.empty()); // flashing does not depend on the sounds

    // More lines during the series neither restart nor add one.
    for (int step = 0; step < 9; ++step) {
        ASSERT_TRUE(n.flashTimer()->isActive()) << step;
        n.LineNotification(1);
        n.FlashTimerTimer();
    }
    EXPECT_FALSE(n.flashTimer()->isActive());
    ASSERT_EQ(desktop.flashes.size(), 9u);
    for (size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(desktop.flashes[i].first, i % 2 == 0) << i; // on, off, on, ...
        EXPECT_EQ(desktop.flashes[i].second, i == 8) << i;
    }
    // The series ended highlighted; the next background line starts another.
    n.LineNotification(2);
    EXPECT_TRUE(n.flashTimer()->isActive());
}

TEST(Notifier, NoSeriesWhileActiveButOneWhenMinimised)
{
    AppSettings s = soundSettings();
    FakePlayer player;
    FakeDesktop desktop;
    desktop.active = true;
    Notifier n(s, player, desktop);
    for (int kind : {0, 1, 2})
        n.LineNotification(kind);
    EXPECT_FALSE(n.flashTimer()->isActive());
    n.FlashTimerTimer(); // a stray tick does nothing
    EXPECT_TRUE(desktop.flashes.empty());

    desktop.minimised = true;
    n.LineNotification(1);
    EXPECT_TRUE(n.flashTimer()->isActive());
}

TEST(Notifier, ComingBackEndsTheSeriesInTheNormalLook)
{
    // Return after `stepsAway` steps; the next step ends the series, normal,
    // also when that is the ninth step, which would otherwise stay lit.
    for (int stepsAway : {1, 2, 3, 8}) {
        AppSettings s = soundSettings();
        FakePlayer player;
        FakeDesktop desktop;
        Notifier n(s, player, desktop);
        n.LineNotification(1);
        for (int i = 0; i < stepsAway; ++i)
            n.FlashTimerTimer();
        desktop.active = true;
        n.FlashTimerTimer();
        EXPECT_FALSE(n.flashTimer()->isActive()) << stepsAway;
        ASSERT_EQ(desktop.flashes.size(), size_t(stepsAway + 1)) << stepsAway;
        EXPECT_EQ(desktop.flashes.back(), std::make_pair(false, true)) << stepsAway;
        EXPECT_FALSE(n.flash().highlighted()) << stepsAway;
        EXPECT_EQ(n.flash().counter(), 0) << stepsAway;
    }
}

} // namespace

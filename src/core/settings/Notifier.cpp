#include "core/settings/Notifier.h"

#include "core/settings/INotifyDesktop.h"
#include "core/settings/ISoundPlayer.h"

namespace corvid {

Notifier::Notifier(const AppSettings& settings, ISoundPlayer& player, INotifyDesktop& desktop,
                   QObject* parent)
    : QObject(parent)
    , settings_(settings)
    , player_(player)
    , desktop_(desktop)
{
    flashTimer_.setInterval(FlashSeries::kStepMs);
    connect(&flashTimer_, &QTimer::timeout, this, &Notifier::FlashTimerTimer);
}

std::optional<SoundSlot> Notifier::soundForLine(const AppSettings& s, int kind)
{
    switch (kind) {
    case 0:
        if (s.SoundSend)
            return SoundSlot::Send;
        break;
    case 1:
        if (s.SoundMessage && s.SoundRecv)
            return SoundSlot::Msg;
        break;
    case 2:
        if (s.SoundMessage && s.SoundSys)
            return SoundSlot::Msg;
        break;
    default:
        break;
    }
    return std::nullopt;
}

bool Notifier::casePermits(int soundCase, bool active, bool minimised)
{
    switch (soundCase) {
    case 0:
        return !active || minimised;
    case 1:
        return active;
    case 2:
        return true;
    default:
        return false;
    }
}

bool Notifier::isTypedCharacter(int key, const QString& text)
{
    if (text.isEmpty())
        return false;
    return key != Qt::Key_Return && key != Qt::Key_Enter && key != Qt::Key_Backspace;
}

bool Notifier::inBackground() const
{
    return !desktop_.isApplicationActive() || desktop_.isMinimised();
}

void Notifier::LineNotification(int kind)
{
    if (const auto slot = soundForLine(settings_, kind)) {
        if (casePermits(settings_.SoundCase, desktop_.isApplicationActive(), desktop_.isMinimised()))
            player_.PlaySoundFile(*slot, settings_.soundFile(*slot));
    }
    // Every line of every kind, whatever the sound settings.
    StartFlashing();
}

void Notifier::StartFlashing()
{
    if (flash_.lineShown(inBackground()))
        flashTimer_.start();
}

void Notifier::TypingNotification()
{
    // Case does not apply to the typing sound.
    if (settings_.SoundOnType)
        player_.PlaySoundFile(SoundSlot::Type, settings_.soundFile(SoundSlot::Type));
}

void Notifier::FlashTimerTimer()
{
    const FlashSeries::Step step = flash_.tick(desktop_.isApplicationActive());
    if (step.inversions > 0)
        desktop_.showFlash(step.highlighted, step.ended);
    if (step.ended)
        flashTimer_.stop();
}

} // namespace corvid

#pragma once
#include "core/settings/AppSettings.h"
#include "core/settings/FlashSeries.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

namespace corvid {

class INotifyDesktop;
class ISoundPlayer;

// Sounds for chat-log lines and typing, and the taskbar flash series.
// The settings are read at each event, so the options dialog's changes
// count from the next one. GUI thread only.
class Notifier : public QObject {
    Q_OBJECT
public:
    Notifier(const AppSettings& settings, ISoundPlayer& player, INotifyDesktop& desktop,
             QObject* parent = nullptr);

    // The sound a line of this kind (0 own, 1 received, 2 system) asks for.
    static std::optional<SoundSlot> soundForLine(const AppSettings& settings, int kind);
    // Whether `Case` lets a line's sound play now.
    static bool casePermits(int soundCase, bool active, bool minimised);
    // Whether a key press is a typed character for the typing sound: any key
    // that types text but Enter and Backspace (also when held down).
    static bool isTypedCharacter(int key, const QString& text);

    // A line was shown in the chat log: its sound, then flashing when the
    // program is in the background.
    void LineNotification(int kind);
    // Starts the flash series when the program is in the background and
    // none is running (every log line, and a file list's arrival).
    void StartFlashing();
    // A character or an input-method composition reached the input box.
    void TypingNotification();
    // One step of the flash series (the flash timer's handler).
    void FlashTimerTimer();

    QTimer* flashTimer() { return &flashTimer_; }
    const FlashSeries& flash() const { return flash_; }

private:
    bool inBackground() const;

    const AppSettings& settings_;
    ISoundPlayer& player_;
    INotifyDesktop& desktop_;
    FlashSeries flash_;
    QTimer flashTimer_;
};

} // namespace corvid

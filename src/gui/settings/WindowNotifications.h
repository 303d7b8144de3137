#pragma once
#include "core/settings/INotifyDesktop.h"

#include <QObject>
#include <QPointer>
#include <memory>

class QWidget;

namespace corvid {

class AppSettings;
class ChatLog;
class Notifier;
class SoundPlayer;
class UiHandOver;
class TypingSoundFilter;

// The notifications of one main window: the sound players, the flash series
// on its taskbar button, the sound for each chat-log line and the typing
// sound of its input box.
class WindowNotifications : public QObject, public INotifyDesktop {
    Q_OBJECT
public:
    WindowNotifications(const AppSettings& settings, UiHandOver& ui, QWidget* window, QWidget* inputBox, ChatLog& log,
                        QObject* parent = nullptr);
    ~WindowNotifications() override;

    Notifier& notifier() { return *notifier_; }
    SoundPlayer& player() { return *player_; }
    // A file list arrived: flash as for a log line, without a sound.
    void StartFlashing();

    // INotifyDesktop
    bool isApplicationActive() const override;
    bool isMinimised() const override;
    void showFlash(bool highlighted, bool seriesEnded) override;

private:
    QPointer<QWidget> window_;
    std::unique_ptr<SoundPlayer> player_;
    std::unique_ptr<Notifier> notifier_;
    std::unique_ptr<TypingSoundFilter> typing_;
};

} // namespace corvid

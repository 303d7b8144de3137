#pragma once
#include "core/settings/ISoundPlayer.h"

#include <QObject>
#include <QString>
#include <array>
#include <memory>

class QSoundEffect;

namespace corvid {

class UiHandOver;

// Sound files through Qt Multimedia, one player per sound slot. The chosen
// file is read on a loader thread into a local copy (see SoundFileCache)
// and only that copy reaches the player, so a slow, missing or broken file
// never holds up the GUI thread; without an audio device nothing is heard.
class SoundPlayer : public QObject, public ISoundPlayer {
    Q_OBJECT
public:
    // Longest wait at destruction for a loader stuck in a read.
    static constexpr int kStopWaitMs = 2000;

    // Results of the loader come back through `ui`, which must outlive this.
    explicit SoundPlayer(UiHandOver& ui, QObject* parent = nullptr);
    ~SoundPlayer() override;

    void PlaySoundFile(SoundSlot slot, const QString& path) override;

    // The slot's player, or nullptr before its first playable sound.
    QSoundEffect* effect(SoundSlot slot) const { return effects_[static_cast<int>(slot)]; }
    // Sounds asked for so far, and those whose file turned out unplayable
    // (missing, not a regular file, too big) and stayed silent.
    int requested() const { return requested_; }
    int refused() const { return refused_; }

signals:
    // A request has been dealt with: started, or dropped as unplayable or
    // overtaken by a newer request for the same slot.
    void settled();

private:
    struct Loader;
    void startCopy(SoundSlot slot, quint64 ticket, const QString& copy);

    std::array<QSoundEffect*, 3> effects_{}; // children of this object
    std::array<quint64, 3> tickets_{};
    int requested_ = 0;
    int refused_ = 0;
    UiHandOver& ui_;
    // Shared with the loader thread, which may outlive this object when it
    // is stuck in a read at exit; it then touches only this state.
    std::shared_ptr<Loader> loader_;
    std::shared_ptr<void> alive_ = std::make_shared<int>(0);  // results run only while this lives
};

} // namespace corvid

#pragma once
#include "core/base/ThreadOwner.h"
#include "core/settings/ISoundPlayer.h"
#include "core/settings/SoundFileCache.h"

#include <QObject>
#include <QString>
#include <array>

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
    // Results of the loader come back through `ui`, which must outlive this.
    explicit SoundPlayer(UiHandOver& ui, QObject* parent = nullptr);
    // Drops files not yet read and joins the loader.
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
    void startCopy(SoundSlot slot, quint64 ticket, const QString& copy);

    std::array<QSoundEffect*, 3> effects_{}; // children of this object
    std::array<quint64, 3> tickets_{};
    int requested_ = 0;
    int refused_ = 0;
    UiHandOver& ui_;
    SoundFileCache cache_;  // loader thread only
    // The loader: files are copied one after another on its one thread,
    // made with the first sound. Its token drops results once this is going.
    ThreadOwner loader_;
};

} // namespace corvid

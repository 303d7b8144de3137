#pragma once
#include "core/settings/ISoundPlayer.h"

#include <QObject>
#include <array>

class QSoundEffect;

namespace corvid {

// Sound files through Qt Multimedia, one player per sound slot. Loading and
// decoding run on Qt's sample loader thread, so a slow, missing or broken
// file never holds up the caller; without an audio device nothing is heard.
class SoundPlayer : public QObject, public ISoundPlayer {
    Q_OBJECT
public:
    explicit SoundPlayer(QObject* parent = nullptr);

    void PlaySoundFile(SoundSlot slot, const QString& path) override;

    // The slot's player, or nullptr before its first sound.
    QSoundEffect* effect(SoundSlot slot) const { return effects_[static_cast<int>(slot)]; }

private:
    std::array<QSoundEffect*, 3> effects_{}; // children of this object
};

} // namespace corvid

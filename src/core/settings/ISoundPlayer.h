#pragma once
#include "core/settings/AppSettings.h"

#include <QString>

namespace corvid {

// Plays sound files for the notifications; implemented over the desktop's
// audio and by fakes in tests.
class ISoundPlayer {
public:
    virtual ~ISoundPlayer() = default;
    // Starts the file and returns at once; a new sound cuts off the one
    // playing. An empty path, a missing or unplayable file plays nothing and
    // reports nothing.
    virtual void PlaySoundFile(SoundSlot slot, const QString& path) = 0;
};

} // namespace corvid

#include "gui/settings/SoundPlayer.h"

#include <QSoundEffect>
#include <QUrl>

namespace corvid {

SoundPlayer::SoundPlayer(QObject* parent)
    : QObject(parent)
{
}

void SoundPlayer::PlaySoundFile(SoundSlot slot, const QString& path)
{
    if (path.isEmpty())
        return;
    // A new sound cuts off the one playing, in any slot.
    for (QSoundEffect* e : effects_) {
        if (e)
            e->stop();
    }
    QSoundEffect*& effect = effects_[static_cast<int>(slot)];
    if (!effect) {
        // Created on first use: a program whose sounds stay off never
        // touches the audio system.
        effect = new QSoundEffect(this);
    }
    const QUrl url = QUrl::fromLocalFile(path);
    // A file that failed before (missing, say) gets another try.
    if (effect->source() != url || effect->status() == QSoundEffect::Error) {
        effect->setSource(QUrl());
        effect->setSource(url);
    }
    // While the file is still loading, the player starts once it is ready.
    effect->play();
}

} // namespace corvid

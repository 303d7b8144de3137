#include "gui/settings/SoundPlayer.h"

#include "core/session/UiHandOver.h"

#include <QSoundEffect>
#include <QUrl>

namespace corvid {

SoundPlayer::SoundPlayer(UiHandOver& ui, QObject* parent)
    : QObject(parent)
    , ui_(ui)
{
}

SoundPlayer::~SoundPlayer()
{
    loader_.stopAll();
}

void SoundPlayer::PlaySoundFile(SoundSlot slot, const QString& path)
{
    if (path.isEmpty())
        return;
    ++requested_;
    // A new sound cuts off the one playing, in any slot.
    for (QSoundEffect* e : effects_) {
        if (e)
            e->stop();
    }
    const quint64 ticket = ++tickets_[static_cast<int>(slot)];
    // Started with the first sound: windows whose sounds stay off run no
    // loader.
    loader_.queue([this, slot, ticket, path] {
        const QString copy = cache_.localCopy(path);
        // `this` is used on the UI thread only, and only while alive.
        ui_.post(loader_.token(), [this, slot, ticket, copy] { startCopy(slot, ticket, copy); });
    });
}

void SoundPlayer::startCopy(SoundSlot slot, quint64 ticket, const QString& copy)
{
    const int i = static_cast<int>(slot);
    if (ticket != tickets_[i]) {
        emit settled(); // a newer sound for this slot is on its way
        return;
    }
    if (copy.isEmpty()) {
        ++refused_;
        emit settled();
        return;
    }
    QSoundEffect*& effect = effects_[i];
    if (!effect) {
        // Created on first use: a program whose sounds stay off never
        // touches the audio system.
        effect = new QSoundEffect(this);
    }
    for (QSoundEffect* e : effects_) {
        if (e && e != effect)
            e->stop();
    }
    const QUrl url = QUrl::fromLocalFile(copy);
    if (effect->source() != url)
        effect->setSource(url);
    // While the copy is still being decoded, the player starts once ready;
    // a copy that is no sound leaves it silent.
    effect->play();
    emit settled();
}

} // namespace corvid

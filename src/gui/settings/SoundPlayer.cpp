#include "gui/settings/SoundPlayer.h"

#include "core/settings/SoundFileCache.h"

#include <QPointer>
#include <QSoundEffect>
#include <QThread>
#include <QUrl>

namespace corvid {

SoundPlayer::SoundPlayer(QObject* parent)
    : QObject(parent)
    , thread_(new QThread(this))
    , loaderContext_(new QObject)
    , cache_(std::make_shared<SoundFileCache>())
{
    thread_->setObjectName(QStringLiteral("SoundLoader"));
    loaderContext_->moveToThread(thread_);
}

SoundPlayer::~SoundPlayer()
{
    thread_->quit();
    if (!thread_->wait(kStopWaitMs)) {
        // Stuck reading a file that never answers: the thread touches only
        // its cache and its context object, so both are left to it and the
        // process ends around them.
        thread_->setParent(nullptr);
        return;
    }
    delete loaderContext_; // its thread has ended
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
    // Started with the first sound: windows whose sounds stay off run no
    // loader.
    if (!thread_->isRunning())
        thread_->start(QThread::LowPriority);
    const int i = static_cast<int>(slot);
    const quint64 ticket = ++tickets_[i];
    QPointer<SoundPlayer> self(this);
    std::shared_ptr<SoundFileCache> cache = cache_;
    QMetaObject::invokeMethod(loaderContext_, [self, cache, slot, ticket, path] {
        const QString copy = cache->localCopy(path);
        if (!self)
            return;
        QMetaObject::invokeMethod(self.data(), [self, slot, ticket, copy] {
            if (self)
                self->startCopy(slot, ticket, copy);
        });
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

#include "gui/settings/SoundPlayer.h"

#include "core/settings/SoundFileCache.h"

#include "core/session/UiHandOver.h"

#include <QSoundEffect>
#include <QUrl>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace corvid {

// The loader: one thread, a locked queue of files to copy.
struct SoundPlayer::Loader {
    struct Job {
        SoundSlot slot;
        quint64 ticket;
        QString path;
    };
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Job> jobs;
    bool stop = false;
    bool finished = false;
    SoundFileCache cache;  // loader thread only
    std::thread thread;
};

SoundPlayer::SoundPlayer(UiHandOver& ui, QObject* parent)
    : QObject(parent)
    , ui_(ui)
    , loader_(std::make_shared<Loader>())
{
}

SoundPlayer::~SoundPlayer()
{
    Loader& l = *loader_;
    if (!l.thread.joinable())
        return;
    std::unique_lock lock(l.mutex);
    l.stop = true;
    l.jobs.clear();
    l.cv.notify_all();
    if (l.cv.wait_for(lock, std::chrono::milliseconds(kStopWaitMs), [&] { return l.finished; })) {
        lock.unlock();
        l.thread.join();
    } else {
        // Stuck reading a file that never answers: the thread owns a share
        // of its state and touches nothing else, so it is let go.
        lock.unlock();
        l.thread.detach();
    }
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
    const int i = static_cast<int>(slot);
    const quint64 ticket = ++tickets_[i];
    std::shared_ptr<Loader> loader = loader_;
    std::lock_guard lock(loader->mutex);
    loader->jobs.push_back({slot, ticket, path});
    loader->cv.notify_one();
    // Started with the first sound: windows whose sounds stay off run no
    // loader.
    if (loader->thread.joinable())
        return;
    UiHandOver* ui = &ui_;
    std::weak_ptr<void> alive = alive_;
    loader->thread = std::thread([loader, ui, alive, this] {
        std::unique_lock l(loader->mutex);
        for (;;) {
            loader->cv.wait(l, [&] { return loader->stop || !loader->jobs.empty(); });
            if (loader->stop)
                break;
            const Loader::Job job = loader->jobs.front();
            loader->jobs.pop_front();
            l.unlock();
            const QString copy = loader->cache.localCopy(job.path);
            l.lock();
            if (loader->stop)
                break;
            // `this` is used on the UI thread only, and only while alive.
            ui->post(alive, [this, job, copy] { startCopy(job.slot, job.ticket, copy); });
        }
        loader->finished = true;
        loader->cv.notify_all();
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

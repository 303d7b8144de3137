#include "core/session/UiHandOver.h"

#include <QThread>
#include <memory>

namespace corvid {

namespace {
// One runAndWait call, shared by the waiter and the queued step.
struct Pending {
    bool running = false;
    bool done = false;
    bool abandoned = false;
};
} // namespace

UiHandOver::UiHandOver(QObject* parent)
    : QObject(parent)
{
}

UiHandOver::~UiHandOver()
{
    beginShutdown();
}

bool UiHandOver::onUiThread() const
{
    return QThread::currentThread() == thread();
}

bool UiHandOver::shuttingDown() const
{
    std::lock_guard lock(mutex_);
    return shutdown_;
}

void UiHandOver::beginShutdown()
{
    {
        std::lock_guard lock(mutex_);
        shutdown_ = true;
    }
    cv_.notify_all();
}

void UiHandOver::post(std::function<void()> step)
{
    post(this, std::move(step));
}

void UiHandOver::post(QObject* context, std::function<void()> step)
{
    if (shuttingDown())
        return;
    QMetaObject::invokeMethod(
        context,
        [this, step = std::move(step)] {
            if (!shuttingDown())
                step();
        },
        Qt::QueuedConnection);
}

bool UiHandOver::runAndWait(const std::function<void()>& step, const std::function<bool()>& giveUp)
{
    if (onUiThread()) {
        if (shuttingDown())
            return false;
        step();
        return true;
    }
    auto pending = std::make_shared<Pending>();
    {
        std::lock_guard lock(mutex_);
        if (shutdown_)
            return false;
    }
    // The step refers to the waiter's stack; it runs only while the waiter
    // still waits, which `abandoned` tells under the lock.
    QMetaObject::invokeMethod(
        this,
        [this, pending, &step] {
            {
                std::lock_guard lock(mutex_);
                if (pending->abandoned)
                    return;
                pending->running = true;
            }
            step();
            {
                std::lock_guard lock(mutex_);
                pending->done = true;
            }
            cv_.notify_all();
        },
        Qt::QueuedConnection);

    std::unique_lock lock(mutex_);
    for (;;) {
        const auto settled = [&] { return pending->done || (shutdown_ && !pending->running); };
        if (cv_.wait_for(lock, std::chrono::milliseconds(50), settled))
            break;
        if (giveUp && !pending->running) {
            lock.unlock();
            const bool stop = giveUp();
            lock.lock();
            if (stop && !pending->running && !pending->done)
                break;
        }
    }
    if (!pending->done)
        pending->abandoned = true;
    return pending->done;
}

} // namespace corvid

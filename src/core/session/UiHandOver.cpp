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
    if (shuttingDown())
        return;
    QMetaObject::invokeMethod(this, std::move(step), Qt::QueuedConnection);
}

bool UiHandOver::runAndWait(const std::function<void()>& step)
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
    cv_.wait(lock, [&] { return pending->done || (shutdown_ && !pending->running); });
    if (!pending->done)
        pending->abandoned = true;
    return pending->done;
}

} // namespace corvid

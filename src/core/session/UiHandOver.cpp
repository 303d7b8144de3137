#include "core/session/UiHandOver.h"

#include <QSocketNotifier>

#include <cerrno>
#include <chrono>
#include <memory>

#include <sys/eventfd.h>
#include <unistd.h>

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
    , wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (wakeFd_ >= 0) {
        notifier_ = new QSocketNotifier(wakeFd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] {
            quint64 count = 0;
            while (::read(wakeFd_, &count, sizeof count) > 0)
                ;
            drain();
        });
    }
}

UiHandOver::~UiHandOver()
{
    beginShutdown();
    delete notifier_;
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

bool UiHandOver::shuttingDown() const
{
    std::lock_guard lock(mutex_);
    return shutdown_;
}

void UiHandOver::beginShutdown()
{
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(mutex_);
        shutdown_ = true;
        dropped.swap(steps_);
    }
    cv_.notify_all();
}

void UiHandOver::enqueue(std::function<void()> step)
{
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (shutdown_)
            return;
        wake = steps_.empty();
        steps_.push_back(std::move(step));
    }
    if (!wake)
        return;
    if (onUiThread()) {
        // Still after the current event, like a post from anywhere else.
        QMetaObject::invokeMethod(this, [this] { drain(); }, Qt::QueuedConnection);
    } else if (wakeFd_ >= 0) {
        const quint64 one = 1;
        while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR)
            ;
    }
}

void UiHandOver::drain()
{
    // A burst of steps (say, twenty failed sends each logging a long line)
    // is spread over several turns of the event loop so that input and
    // painting get their turn in between.
    constexpr auto kTurn = std::chrono::milliseconds(20);
    const auto until = std::chrono::steady_clock::now() + kTurn;
    for (;;) {
        std::function<void()> step;
        {
            std::lock_guard lock(mutex_);
            if (shutdown_ || steps_.empty())
                return;
            if (std::chrono::steady_clock::now() >= until) {
                QMetaObject::invokeMethod(this, [this] { drain(); }, Qt::QueuedConnection);
                return;
            }
            step = std::move(steps_.front());
            steps_.pop_front();
        }
        step();
    }
}

void UiHandOver::post(std::function<void()> step)
{
    enqueue(std::move(step));
}

void UiHandOver::post(std::weak_ptr<void> alive, std::function<void()> step)
{
    enqueue([alive = std::move(alive), step = std::move(step)] {
        if (!alive.expired())
            step();
    });
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
    enqueue([this, pending, &step] {
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
    });

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

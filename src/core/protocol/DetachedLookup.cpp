#include "core/protocol/DetachedLookup.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace corvid {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kCancelSlice = std::chrono::milliseconds(50);

// Trivially destructible, so a helper that ends after exit has begun still
// finds it.
std::atomic<int> helpers{0};

// What the caller and its helper share; the last of the two to let go
// frees it.
struct Shared {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::shared_ptr<DetachedLookup::Job> job;
};

} // namespace

DetachedLookup::Outcome DetachedLookup::run(const std::shared_ptr<Job>& job, int timeoutMs,
                                            const std::atomic<bool>* cancel)
{
    if (cancel && cancel->load())
        return Outcome::Cancelled;
    if (helpers.fetch_add(1) >= kMaxHelpers) {
        helpers.fetch_sub(1);
        return Outcome::Busy;
    }
    auto shared = std::make_shared<Shared>();
    shared->job = job;
    try {
        std::thread([shared]() mutable {
            shared->job->run();
            {
                std::lock_guard lock(shared->mutex);
                shared->finished = true;
            }
            shared->done.notify_all();
            // Let go of the job (and what it holds) before counting out.
            shared.reset();
            helpers.fetch_sub(1);
        }).detach();
    } catch (const std::system_error&) {
        helpers.fetch_sub(1);
        return Outcome::Busy;
    }

    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    std::unique_lock lock(shared->mutex);
    for (;;) {
        if (shared->finished)
            return Outcome::Done;
        if (cancel && cancel->load())
            return Outcome::Cancelled;
        const auto now = Clock::now();
        if (timeoutMs >= 0 && now >= end)
            return Outcome::TimedOut;
        auto wait = timeoutMs >= 0 ? end - now : Clock::duration(std::chrono::hours(1));
        if (cancel && wait > kCancelSlice)
            wait = kCancelSlice;
        shared->done.wait_for(lock, wait);
    }
}

int DetachedLookup::helpersAlive()
{
    return helpers.load();
}

} // namespace corvid

#pragma once
#include <atomic>
#include <memory>

namespace corvid {

// Runs a blocking call that cannot be cut short (a name lookup) on a
// helper thread, and waits for it only as long as the caller wants: up to
// a time limit, or until a cancel flag turns true. A caller that gives up
// leaves the helper behind. The helper shares nothing with the caller but
// the job, which it keeps alive until the call has returned, so it never
// touches memory the caller has freed. That is why the helper is the one
// thread of the program that nobody joins: it could only be joined by
// waiting out the name service.
class DetachedLookup {
public:
    // The blocking call and its result. run() is called once, on the
    // helper; the caller reads the result only after Outcome::Done.
    class Job {
    public:
        virtual ~Job() = default;
        virtual void run() = 0;
    };
    enum class Outcome { Done, TimedOut, Cancelled, Busy };

    // Helpers alive at once, process-wide: a name service that never answers
    // costs at most this many threads however often it is asked; past it a
    // lookup fails at once (Busy).
    static constexpr int kMaxHelpers = 8;

    // timeoutMs < 0: no time limit (the cancel flag still ends the wait,
    // within about 50 ms).
    static Outcome run(const std::shared_ptr<Job>& job, int timeoutMs, const std::atomic<bool>* cancel = nullptr);
    // Helpers that have not let go of their job yet.
    static int helpersAlive();
};

} // namespace corvid

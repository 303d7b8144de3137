#pragma once
#include "core/base/Liveness.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace corvid {

// The owner of a set of threads: every thread the program makes, but a
// name lookup's detached helper, is started by one of these and joined by
// it.
//
// start() runs a job on a thread of its own; threads whose job has ended
// are joined at the next start() or reap(). queue() runs jobs one after
// another on a single thread, made on first use. stopAll() refuses new
// work, drops queued jobs that have not begun, calls the stop function of
// every running job (it makes the job return soon: shut its socket, cancel
// its lookup) and joins every thread. The destructor does the same.
//
// Any thread may start, queue and reap; stopAll() must not be called from
// one of the owner's own threads.
class ThreadOwner {
public:
    using Job = std::function<void()>;

    ThreadOwner() = default;
    ~ThreadOwner();
    ThreadOwner(const ThreadOwner&) = delete;
    ThreadOwner& operator=(const ThreadOwner&) = delete;

    // False (and nothing runs) once stopAll() has begun, or when no thread
    // can be made.
    bool start(Job job, Job stop = {});
    // False once stopAll() has begun, or when the queue's thread cannot be made. `stop` is called by stopAll() while
    // this job runs.
    bool queue(Job job, Job stop = {});
    void reap();
    void stopAll();

    bool stopping() const;
    // Threads of start() whose job has not ended, and the queue's job in
    // hand plus those waiting.
    int running() const;
    // Expires when stopAll() begins: posted steps that hold it are dropped
    // once the owner is going.
    std::weak_ptr<void> token() const;

private:
    struct Entry {
        std::thread thread;
        Job stop;
        bool done = false;  // under mutex_
    };
    struct Queued {
        Job job;
        Job stop;
    };
    void runQueue();

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool stopping_ = false;
    Liveness alive_;
    std::list<Entry> threads_;
    std::deque<Queued> queued_;
    Job queueStop_;         // the stop of the queue's job in hand
    bool queueBusy_ = false;
    std::thread queueThread_;
};

} // namespace corvid

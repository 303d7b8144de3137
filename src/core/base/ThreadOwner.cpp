#include "core/base/ThreadOwner.h"

#include <system_error>

namespace corvid {

ThreadOwner::~ThreadOwner()
{
    stopAll();
}

bool ThreadOwner::start(Job job, Job stop)
{
    reap();
    std::lock_guard lock(mutex_);
    if (stopping_)
        return false;
    threads_.emplace_back();
    Entry& e = threads_.back();
    e.stop = std::move(stop);
    // The entry stays in the list until its thread is joined, so the
    // reference outlives the job.
    try {
        e.thread = std::thread([this, &e, job = std::move(job)] {
            job();
            std::lock_guard done(mutex_);
            e.done = true;
        });
    } catch (const std::system_error&) {
        // Out of threads: nothing runs, and no entry is left to join.
        threads_.pop_back();
        return false;
    }
    return true;
}

bool ThreadOwner::queue(Job job, Job stop)
{
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return false;
        queued_.push_back({std::move(job), std::move(stop)});
        if (!queueThread_.joinable()) {
            try {
                queueThread_ = std::thread([this] { runQueue(); });
            } catch (const std::system_error&) {
                queued_.pop_back();
                return false;
            }
        }
    }
    cv_.notify_all();
    return true;
}

void ThreadOwner::runQueue()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
        if (stopping_)
            return;
        Queued q = std::move(queued_.front());
        queued_.pop_front();
        queueStop_ = std::move(q.stop);
        queueBusy_ = true;
        lock.unlock();
        q.job();
        q = {};  // what the job holds goes on this thread, outside the lock
        lock.lock();
        queueBusy_ = false;
        queueStop_ = nullptr;
    }
}

void ThreadOwner::reap()
{
    std::list<Entry> ended;
    {
        std::lock_guard lock(mutex_);
        for (auto it = threads_.begin(); it != threads_.end();) {
            auto next = std::next(it);
            if (it->done)
                ended.splice(ended.end(), threads_, it);
            it = next;
        }
    }
    for (Entry& e : ended)
        e.thread.join();  // done: the thread is leaving
}

void ThreadOwner::stopAll()
{
    std::list<Entry> all;
    std::deque<Queued> dropped;
    std::thread queueThread;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        alive_.end();
        all.swap(threads_);
        dropped.swap(queued_);
        queueThread.swap(queueThread_);
        // Stop functions run under the lock: a job cannot end and take its
        // entry away meanwhile. They only wake the job, never wait for it.
        for (Entry& e : all)
            if (!e.done && e.stop)
                e.stop();
        if (queueBusy_ && queueStop_)
            queueStop_();
    }
    cv_.notify_all();
    dropped.clear();
    for (Entry& e : all)
        e.thread.join();
    if (queueThread.joinable())
        queueThread.join();
}

bool ThreadOwner::stopping() const
{
    std::lock_guard lock(mutex_);
    return stopping_;
}

int ThreadOwner::running() const
{
    std::lock_guard lock(mutex_);
    int n = int(queued_.size()) + (queueBusy_ ? 1 : 0);
    for (const Entry& e : threads_)
        n += e.done ? 0 : 1;
    return n;
}

std::weak_ptr<void> ThreadOwner::token() const
{
    std::lock_guard lock(mutex_);
    return alive_.token();
}

} // namespace corvid

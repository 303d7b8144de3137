#include "core/session/OutboundWriter.h"

namespace corvid {

OutboundWriter::~OutboundWriter()
{
    stop();
}

bool OutboundWriter::send(std::shared_ptr<TcpConnection> c, QByteArray wire, std::function<void(bool)> done)
{
    return enqueue({std::move(c), std::move(wire), {}, std::move(done)});
}

bool OutboundWriter::send(std::shared_ptr<TcpConnection> c, std::function<bool(QByteArray&)> prepare,
                          std::function<void(bool)> done)
{
    return enqueue({std::move(c), {}, std::move(prepare), std::move(done)});
}

bool OutboundWriter::enqueue(Job job)
{
    std::lock_guard lock(mutex_);
    if (stopped_)
        return false;
    jobs_.push_back(std::move(job));
    if (!thread_.joinable())
        thread_ = std::thread([this] { run(); });
    cv_.notify_one();
    return true;
}

void OutboundWriter::stop()
{
    std::deque<Job> dropped;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        dropped.swap(jobs_);
    }
    cv_.notify_one();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

void OutboundWriter::run()
{
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [this] { return stopped_ || !jobs_.empty(); });
            if (stopped_)
                return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        bool ok = false;
        // Nothing is encoded for a connection that has already gone: a
        // backlog of long messages then fails at once.
        const bool open = job.connection && job.connection->isOpen();
        const bool ready = open && (!job.prepare || job.prepare(job.wire));
        if (ready && job.connection->isOpen()) {
            // Block and body go out together, never split by another write.
            const auto lock = job.connection->lockWrites();
            ok = job.connection->writeAll(job.wire.constData(), job.wire.size(), stallMs_, nullptr);
        }
        if (job.done)
            job.done(ok);
    }
}

} // namespace corvid

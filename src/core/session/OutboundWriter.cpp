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
    return threads_.queue([this, job = std::move(job)]() mutable { write(job); });
}

void OutboundWriter::stop()
{
    threads_.stopAll();
}

void OutboundWriter::write(Job& job) const
{
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

} // namespace corvid

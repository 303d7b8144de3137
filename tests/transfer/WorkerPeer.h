#pragma once
// A peer for worker tests: a listener that serves every connection on a
// thread of its own, a gate that holds a serving copy loop after a given
// chunk, and a file server for pulls.
#include "TransferTestSupport.h"

#include "core/protocol/Commands.h"
#include "core/protocol/CopyObserver.h"
#include "core/protocol/HeaderBlock.h"
#include "core/protocol/TransferEngine.h"
#include "core/settings/Conversions.h"
#include "core/transfer/TransferQueue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace corvid::test {

// A listening peer: every accepted connection is served on a thread of its
// own by the current handler.
class Peer {
public:
    using Handler = std::function<void(TcpConnection&)>;
    explicit Peer(Handler h) : handler_(std::move(h))
    {
        EXPECT_TRUE(listener_.listen(0));
        accept_ = std::thread([this] {
            while (auto c = listener_.accept()) {
                std::lock_guard lock(mutex_);
                conns_.push_back(std::make_unique<TcpConnection>(std::move(*c)));
                TcpConnection* conn = conns_.back().get();
                threads_.emplace_back([this, conn] { handler_(*conn); });
            }
        });
    }
    ~Peer()
    {
        listener_.close();
        accept_.join();
        std::lock_guard lock(mutex_);
        for (auto& c : conns_)
            c->shutdown();
        for (auto& t : threads_)
            t.join();
    }
    quint16 port() const { return listener_.port(); }
    int accepted()
    {
        std::lock_guard lock(mutex_);
        return int(conns_.size());
    }

private:
    Handler handler_;
    TcpListener listener_;
    std::thread accept_;
    std::mutex mutex_;
    std::list<std::unique_ptr<TcpConnection>> conns_;
    std::list<std::thread> threads_;
};

// Holds the serving peer after a given chunk until opened (or 15 s pass).
class Gate : public CopyObserver {
public:
    explicit Gate(int afterChunk) : afterChunk_(afterChunk) {}
    void OnChunk(qint64) override
    {
        std::unique_lock lock(mutex_);
        if (++chunks_ != afterChunk_)
            return;
        reached_ = true;
        cv_.notify_all();
        cv_.wait_for(lock, std::chrono::seconds(15), [&] { return open_; });
    }
    bool reached()
    {
        std::lock_guard lock(mutex_);
        return reached_;
    }
    void open()
    {
        std::lock_guard lock(mutex_);
        open_ = true;
        cv_.notify_all();
    }

private:
    const int afterChunk_;
    std::mutex mutex_;
    std::condition_variable cv_;
    int chunks_ = 0;
    bool reached_ = false;
    bool open_ = false;
};

// Serves file pulls from a send folder of its own, with an optional gate.
struct FileServer {
    QString folder;
    QByteArray content;
    Gate* gate = nullptr;
    std::atomic<qint64> lastStart{-1};

    void serve(TcpConnection& c)
    {
        HeaderBlock b;
        if (Commands::ReadCommand(c, b, 3000) != CmdRecv || Header::GetContentType(b) != CtFile)
            return;
        TransferQueue q(QueueKind::Send);
        q.RunButton()->SetPressed(true);
        const QString name = QString::fromUtf8(Header::Value(b, "FileName"));
        const RowRef row = q.Append(name, Conversions::FormatThousands(qint64(content.size())), folder + "/",
                                    RowState::Transferring);
        auto rec = q.MakeRecord(row);
        rec->StartPosition = Header::IntValue(b, "StartPosition").value_or(0);
        rec->DoneBytes = rec->StartPosition;
        rec->Observer = gate;
        lastStart = rec->StartPosition;
        TransferEngine::ServeFile(c, kToken, *rec, 65536);
    }
};

} // namespace corvid::test

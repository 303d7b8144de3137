#pragma once
// Hostile peers on loopback for the session benchmark, written on raw
// connections: one that trickles a message, one that never reads, one that
// never answers the handshake and a port that never accepts; and program
// sides (a session controller with its log and hand-over) to face them.
#include "UiProbe.h"

#include "core/protocol/Commands.h"
#include "core/protocol/TcpConnection.h"
#include "core/protocol/TcpListener.h"
#include "core/protocol/Transport.h"
#include "core/session/ILogSink.h"
#include "core/session/SessionController.h"
#include "core/session/UiHandOver.h"

#include <QStringList>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace bench {

using corvid::HeaderBlock;
using corvid::TcpConnection;

// Keeps the log's lines (shared, not copied); its questions search in
// place, so that neither costs the UI thread anything measurable even with
// megabyte lines: what is measured is the program.
class WatchLog : public corvid::ILogSink {
public:
    void AddLogLine(const QString& text, int kind) override
    {
        std::lock_guard lock(mutex_);
        lines_ << text;
        kinds_ << kind;
    }
    bool contains(const QString& text) const
    {
        std::lock_guard lock(mutex_);
        return lines_.contains(text);
    }
    bool anyStartsWith(const QString& prefix) const
    {
        std::lock_guard lock(mutex_);
        return std::any_of(lines_.begin(), lines_.end(), [&](const QString& l) { return l.startsWith(prefix); });
    }
    int kindOf(const QString& text) const
    {
        std::lock_guard lock(mutex_);
        const auto i = lines_.indexOf(text);
        return i < 0 ? -1 : kinds_[i];
    }

private:
    mutable std::mutex mutex_;
    QStringList lines_;
    QList<int> kinds_;
};

// One program instance's session.
struct Side {
    WatchLog log;
    corvid::UiHandOver ui;
    corvid::SessionController ctl{log, ui};
    explicit Side(const QString& name = QStringLiteral("Ben")) { ctl.setUserName(name); }
    // Connects and waits for the outcome; true when connected.
    bool connect(const QString& port)
    {
        if (ctl.connectToPeer(QStringLiteral("127.0.0.1"), port) != corvid::SessionController::ConnectOutcome::Pending)
            return false;
        return waitUntil([&] { return !ctl.isConnecting(); }, 10000) && ctl.isClientConnected();
    }
};

struct ServerSide : Side {
    explicit ServerSide(const QString& name = QStringLiteral("Aki")) : Side(name)
    {
        ctl.startServer(0);
        ctl.setServerMode(true);
    }
};

// A thread that stops at once when told, between steps of its work.
class Stoppable {
public:
    ~Stoppable() { stop(); }
    void start(std::function<void(Stoppable&)> body)
    {
        thread_ = std::thread([this, body = std::move(body)] { body(*this); });
    }
    // Waits up to ms; false when told to stop.
    bool pause(int ms)
    {
        std::unique_lock lock(mutex_);
        return !cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_; });
    }
    void stop()
    {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

inline const HeaderBlock kAccept{"Command=Connect", "Accept=True", "Protocol=1", "UserAgent=CRV2/", "Name=Raw", ""};
inline const HeaderBlock kConnect{"Command=Connect", "Protocol=1", "UserAgent=CRV2/", "Name=Raw", ""};

using After = std::function<void(Stoppable&, TcpConnection&)>;

// Announces a 100,000-byte message and sends one byte of it every 200 ms.
inline void trickle(Stoppable& s, TcpConnection& c)
{
    corvid::Transport::WriteHeader(
        c, {"Command=Send", "UserAgent=CRV2/", "ContentType=Message", "ContentLength=100,000", ""});
    while (s.pause(200) && c.writeAll(QByteArray("x")))
        ;
}

// A peer that listens and answers the handshake (unless told not to), runs
// `after`, then holds the connection open and unread.
struct RawServer {
    corvid::TcpListener listener;
    TcpConnection conn;
    Stoppable worker;
    explicit RawServer(After after, bool answer = true)
    {
        listener.listen(0);
        worker.start([this, after, answer](Stoppable& s) {
            auto c = listener.accept();
            if (!c)
                return;
            conn = std::move(*c);
            HeaderBlock b;
            corvid::Commands::ReadCommand(conn, b, 3000);
            if (answer)
                corvid::Transport::WriteHeader(conn, kAccept);
            if (after)
                after(s, conn);
            while (s.pause(50))
                ;
        });
    }
    ~RawServer()
    {
        listener.close();
        conn.shutdown();
        worker.stop();
    }
    QString port() const { return QString::number(listener.port()); }
};

// A raw client that shakes hands with a listening side, then runs `after`.
struct RawClient {
    TcpConnection conn;
    Stoppable worker;
    bool shookHands = false;
    RawClient(quint16 port, After after)
    {
        HeaderBlock reply;
        shookHands = conn.connectTo(QStringLiteral("127.0.0.1"), port, 2000)
                     && corvid::Transport::WriteHeader(conn, kConnect)
                     && corvid::Commands::ReadCommand(conn, reply, 3000) == corvid::CmdConnect;
        worker.start([this, after](Stoppable& s) {
            if (after)
                after(s, conn);
        });
    }
    ~RawClient()
    {
        conn.shutdown();
        worker.stop();
    }
};

// A port whose accept queue is full, so that a new connect is never answered.
struct SilentPort {
    int listenFd = -1;
    std::vector<int> fillers;
    quint16 port = 0;
    SilentPort()
    {
        listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listenFd, 0);
        socklen_t len = sizeof a;
        ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        for (int i = 0; i < 2; ++i) {
            const int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ::connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
            fillers.push_back(f);
        }
        spin(100);  // the fillers' handshakes complete in the kernel
    }
    ~SilentPort()
    {
        for (int f : fillers)
            ::close(f);
        ::close(listenFd);
    }
};

} // namespace bench

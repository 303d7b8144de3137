#pragma once
// Hostile peers on loopback, written on raw connections: one that trickles
// a message, one that never reads, one that never answers the handshake and
// a port that never accepts; and a user who keeps sending meanwhile. Shared
// by the session tests and bench_hostile, so they report what they saw
// instead of checking it themselves.
#include "core/protocol/Commands.h"
#include "core/protocol/TcpConnection.h"
#include "core/protocol/TcpListener.h"
#include "core/protocol/Transport.h"
#include "core/session/SessionController.h"

#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace corvid::test {

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
inline const HeaderBlock kBigMessage{"Command=Send", "UserAgent=CRV2/", "ContentType=Message", "ContentLength=100,000",
                                     ""};

// What a raw peer does once the handshake is over.
using After = std::function<void(Stoppable&, TcpConnection&)>;

// Announces a 100,000-byte message and sends one byte of it every 200 ms.
inline void trickle(Stoppable& s, TcpConnection& c)
{
    Transport::WriteHeader(c, kBigMessage);
    while (s.pause(200) && c.writeAll(QByteArray("x")))
        ;
}

// A peer that listens and answers the handshake (unless told not to), runs
// `after`, then holds the connection open and unread.
struct RawServer {
    TcpListener listener;
    TcpConnection conn;
    Stoppable worker;
    bool listening = false;
    explicit RawServer(After after, bool answer = true)
    {
        listening = listener.listen(0);
        worker.start([this, after, answer](Stoppable& s) {
            auto c = listener.accept();
            if (!c)
                return;
            conn = std::move(*c);
            HeaderBlock b;
            Commands::ReadCommand(conn, b, 3000);
            if (answer)
                Transport::WriteHeader(conn, kAccept);
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
    bool connected = false;
    bool greeted = false;    // its handshake went out
    int reply = CmdNothing;  // the command that answered it
    RawClient(quint16 port, After after)
    {
        connected = conn.connectTo(QStringLiteral("127.0.0.1"), port, 2000);
        greeted = connected && Transport::WriteHeader(conn, kConnect);
        HeaderBlock b;
        if (greeted)
            reply = Commands::ReadCommand(conn, b, 3000);
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
        // The fillers' handshakes complete in the kernel; the event loop
        // runs meanwhile.
        QEventLoop loop;
        QTimer::singleShot(100, &loop, &QEventLoop::quit);
        loop.exec();
    }
    ~SilentPort()
    {
        for (int f : fillers)
            ::close(f);
        ::close(listenFd);
    }
};

// A user who holds Enter: sends `text` every 20 ms while the session lasts,
// 24 times at the most, far more than the socket buffers take.
class Typist {
public:
    Typist(SessionController& ctl, const QString& text)
    {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this, &ctl, text] {
            if (sent_ < 24 && ctl.hasSessionConnection() && ctl.SendChatMessage(text))
                ++sent_;
        });
        timer_.start();
    }
    void stop() { timer_.stop(); }
    int sent() const { return sent_; }

private:
    QTimer timer_;
    int sent_ = 0;
};

} // namespace corvid::test

#pragma once
// Test fakes on 127.0.0.1 built on plain POSIX sockets, sharing nothing
// with the code under test: an SSDP responder and a small HTTP server that
// record every byte they get and answer as a script says.
#include <QByteArray>
#include <QList>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace corvid::test {

inline quint16 boundPort(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

inline int loopbackSocket(int type)
{
    const int s = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0)
        throw std::runtime_error("loopback bind failed");
    return s;
}

inline bool sendAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

// Answers SSDP searches: `reply` maps each datagram to the answer (empty:
// no answer). Every datagram is kept.
class FakeSsdp {
public:
    using Reply = std::function<QByteArray(const QByteArray& datagram)>;
    explicit FakeSsdp(Reply reply) : reply_(std::move(reply)), fd_(loopbackSocket(SOCK_DGRAM))
    {
        thread_ = std::thread([this] { run(); });
    }
    ~FakeSsdp()
    {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    quint16 port() const { return boundPort(fd_); }
    QList<QByteArray> datagrams() const
    {
        std::lock_guard lock(mutex_);
        return QList<QByteArray>(datagrams_.begin(), datagrams_.end());
    }

private:
    void run()
    {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            QByteArray buf(65536, '\0');
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(fd_, buf.data(), size_t(buf.size()), 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0)
                continue;
            buf.resize(n);
            {
                std::lock_guard lock(mutex_);
                datagrams_.append(buf);
            }
            const QByteArray answer = reply_(buf);
            if (!answer.isEmpty())
                ::sendto(fd_, answer.constData(), size_t(answer.size()), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    }
    Reply reply_;
    int fd_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    QList<QByteArray> datagrams_;
    std::thread thread_;
};

// A web server on loopback. Each request (head up to the blank line, then
// Content-Length bytes) is kept whole; `answer` then writes the reply on
// the raw socket and may take its time (it should watch stopping()).
class FakeHttp {
public:
    using Answer = std::function<void(int fd, const QByteArray& request, const FakeHttp& server)>;
    explicit FakeHttp(Answer answer) : answer_(std::move(answer)), fd_(loopbackSocket(SOCK_STREAM))
    {
        ::listen(fd_, 16);
        thread_ = std::thread([this] { run(); });
    }
    ~FakeHttp()
    {
        stop_ = true;
        thread_.join();
        for (std::thread& t : served_)
            t.join();
        ::close(fd_);
    }
    quint16 port() const { return boundPort(fd_); }
    bool stopping() const { return stop_; }
    QList<QByteArray> requests() const
    {
        std::lock_guard lock(mutex_);
        return QList<QByteArray>(requests_.begin(), requests_.end());
    }
    // For polls: the requests that start with `prefix`, counted in place.
    int requestCount(const QByteArray& prefix = {}) const
    {
        std::lock_guard lock(mutex_);
        return int(std::count_if(requests_.begin(), requests_.end(),
                                 [&](const QByteArray& r) { return r.startsWith(prefix); }));
    }
    int connections() const { return connections_; }

    // A canned reply: status line, headers with Content-Length, body.
    static QByteArray reply(const QByteArray& status, const QByteArray& body, const QByteArray& extra = {})
    {
        return "HTTP/1.1 " + status + "\r\n" + extra + "Content-Length: " + QByteArray::number(body.size())
               + "\r\n\r\n" + body;
    }

private:
    void run()
    {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            ++connections_;
            served_.emplace_back([this, c] { serve(c); });
        }
    }
    void serve(int c)
    {
        QByteArray got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        qsizetype need = -1;
        while (!stop_ && std::chrono::steady_clock::now() < end) {
            if (need < 0) {
                const qsizetype blank = got.indexOf("\r\n\r\n");
                if (blank >= 0) {
                    qsizetype length = 0;
                    const QByteArray head = got.left(blank).toLower();
                    const qsizetype at = head.indexOf("content-length:");
                    if (at >= 0)
                        length = head.mid(at + 15, head.indexOf('\r', at) - at - 15).trimmed().toLongLong();
                    need = blank + 4 + length;
                }
            }
            if (need >= 0 && got.size() >= need)
                break;
            pollfd p{c, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            char buf[4096];
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            got.append(buf, n);
        }
        {
            std::lock_guard lock(mutex_);
            requests_.append(got);
        }
        answer_(c, got, *this);
        ::shutdown(c, SHUT_RDWR);
        ::close(c);
    }
    Answer answer_;
    int fd_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    QList<QByteArray> requests_;
    std::thread thread_;
    std::list<std::thread> served_;
};

// Sleeps in small steps until the server stops or `ms` pass.
inline void idle(const FakeHttp& server, int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!server.stopping() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

} // namespace corvid::test

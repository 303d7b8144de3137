#pragma once
// The parent's side of the exchange benchmark: program instances in child
// processes spoken to through pipes, a free loopback port, and the plain
// TCP copy that serves as the yardstick.
#include "InstanceDriver.h"
#include "ProcStats.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace bench {

// One program instance in a child process (fork before any QApplication).
class Instance {
public:
    Instance(const QString& dir, const QString& user)
        : Instance([&](int inFd, int outFd) { return runInstance(dir, user, inFd, outFd); })
    {
    }
    // A child whose whole life is `body(inFd, outFd)`, its ends of the pipes.
    explicit Instance(const std::function<int(int, int)>& body)
    {
        int toChild[2], fromChild[2];
        if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0)
            return;
        std::fflush(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(toChild[1]);
            ::close(fromChild[0]);
            ::_exit(body(toChild[0], fromChild[1]));
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        to_ = toChild[1];
        from_ = fromChild[0];
    }
    ~Instance()
    {
        if (pid_ > 0 && !killed_) {
            command("quit", 5000);
            ::close(to_);
            wait(10000);
        }
        ::close(from_);
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    pid_t pid() const { return pid_; }
    void kill()
    {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        ::close(to_);
        killed_ = true;
    }
    void post(const std::string& line)
    {
        const std::string l = line + "\n";
        (void)!::write(to_, l.data(), l.size());
    }
    // The reply line, or "fail ..." when none came in time.
    std::string reply(int timeoutMs)
    {
        const double end = now() + timeoutMs / 1000.0;
        for (;;) {
            const size_t nl = buf_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                return line;
            }
            pollfd p {from_, POLLIN, 0};
            const int left = int((end - now()) * 1000);
            if (left <= 0 || ::poll(&p, 1, left) <= 0)
                return "fail no reply";
            char b[1024];
            const ssize_t n = ::read(from_, b, sizeof b);
            if (n <= 0)
                return "fail instance gone";
            buf_.append(b, size_t(n));
        }
    }
    std::string command(const std::string& line, int timeoutMs = 30000)
    {
        post(line);
        return reply(timeoutMs);
    }
    bool ok(const std::string& line, int timeoutMs = 30000)
    {
        const std::string r = command(line, timeoutMs);
        if (r.rfind("ok", 0) != 0)
            std::printf("  '%s': %s\n", line.c_str(), r.c_str());
        return r.rfind("ok", 0) == 0;
    }
    // The numbers after "ok"; empty when the reply was not ok.
    std::vector<double> numbers(const std::string& line, int timeoutMs = 30000)
    {
        const std::string r = command(line, timeoutMs);
        std::vector<double> out;
        if (r.rfind("ok", 0) != 0) {
            std::printf("  '%s': %s\n", line.c_str(), r.c_str());
            return out;
        }
        const char* p = r.c_str() + 2;
        for (char* end = nullptr;; p = end) {
            const double v = std::strtod(p, &end);
            if (end == p)
                break;
            out.push_back(v);
        }
        return out;
    }

private:
    void wait(int timeoutMs)
    {
        for (const double end = now() + timeoutMs / 1000.0; now() < end; ::usleep(10000))
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_)
                return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
    bool killed_ = false;
    std::string buf_;
};

// Figures of one reception as the receiving instance reports them.
struct Reception {
    bool ok = false;
    double done = -1;   // s from "受信開始" to all rows Done
    double first = -1;  // s from "受信開始" to the first data byte on disk
    double span = -1;   // s from the first to the last data byte
    long memKiB = -1;   // peak RSS growth
    double watchCpu = 0;  // CPU seconds of the benchmark's own file watch
};

inline Reception parseReception(const std::string& line)
{
    Reception r;
    char word[16] = {};
    if (std::sscanf(line.c_str(), "%15s %lf %lf %lf %ld %lf", word, &r.done, &r.first, &r.span, &r.memKiB,
                    &r.watchCpu)
        == 6)
        r.ok = std::strcmp(word, "ok") == 0;
    if (!r.ok)
        std::printf("  reception: %s\n", line.c_str());
    return r;
}

inline quint16 freePort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    quint16 port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
        && ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

// A listening instance ("server", user Ben) and a connecting one ("client",
// user Aki), each in its own folder under `base`.
struct Pair {
    QString base;
    std::unique_ptr<Instance> server, client;
    quint16 port = 0;

    explicit Pair(const QString& b) : base(b) {}
    QString dir(const char* who) const { return base + QLatin1Char('/') + QLatin1String(who); }
    QString recv(const char* who) const { return dir(who) + QStringLiteral("/recv/"); }
    bool startServer()
    {
        QDir().mkpath(dir("server"));
        server = std::make_unique<Instance>(dir("server"), QStringLiteral("Ben"));
        port = freePort();
        return server->ok("listen " + std::to_string(port));
    }
    bool startClient()
    {
        QDir().mkpath(dir("client"));
        client = std::make_unique<Instance>(dir("client"), QStringLiteral("Aki"));
        return client->ok("connect " + std::to_string(port)) && server->ok("session");
    }
};

// The yardstick: `source` copied to `dest` over loopback, one read and one
// send per chunk, one write per chunk.
struct PlainCopy {
    double span = -1;  // the receiver's seconds from the first to the last byte; -1: failed
    double cpu = 0;    // CPU seconds of both sides
    double recvCpu = 0;  // of which the receiver's
};

inline PlainCopy plainCopy(const QString& source, const QString& dest, qint64 size, qint64 chunk)
{
    const int ls = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(ls, 1) != 0
        || ::getsockname(ls, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(ls);
        return {};
    }
    int result[2];
    if (::pipe(result) != 0)
        return {};
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        const int c = ::accept(ls, nullptr, nullptr);
        const int fd = ::open(QFile::encodeName(dest).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char> buf(static_cast<size_t>(chunk));
        const double cpu0 = processCpu();
        double t0 = 0, figures[2] = {-1, 0};  // span, CPU
        qint64 pos = 0;
        while (c >= 0 && fd >= 0 && pos < size) {
            const qint64 n = std::min(chunk, size - pos);
            qint64 got = 0;
            while (got < n) {
                const ssize_t r = ::recv(c, buf.data() + got, size_t(n - got), 0);
                if (r <= 0)
                    break;
                if (t0 == 0)
                    t0 = now();
                got += r;
            }
            if (got != n || ::write(fd, buf.data(), size_t(n)) != n)
                break;
            pos += n;
        }
        if (pos == size)
            figures[0] = now() - t0;
        figures[1] = processCpu() - cpu0;
        (void)!::write(result[1], figures, sizeof figures);
        ::_exit(0);
    }
    ::close(result[1]);
    const double cpu0 = processCpu();
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    const int fd = ::open(QFile::encodeName(source).constData(), O_RDONLY);
    bool sent = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && fd >= 0;
    std::vector<char> buf(static_cast<size_t>(chunk));
    for (qint64 pos = 0; sent && pos < size;) {
        const qint64 n = std::min(chunk, size - pos);
        sent = ::pread(fd, buf.data(), size_t(n), pos) == n;
        for (qint64 done = 0; sent && done < n;) {
            const ssize_t w = ::send(s, buf.data() + done, size_t(n - done), MSG_NOSIGNAL);
            sent = w > 0;
            done += w;
        }
        pos += n;
    }
    const double sendCpu = processCpu() - cpu0;
    double figures[2] = {-1, 0};
    if (::read(result[0], figures, sizeof figures) != ssize_t(sizeof figures))
        figures[0] = -1;
    ::close(result[0]);
    ::close(s);
    ::close(fd);
    ::close(ls);
    ::waitpid(child, nullptr, 0);
    QFile::remove(dest);
    return {sent ? figures[0] : -1, sendCpu + figures[1], figures[1]};
}

} // namespace bench

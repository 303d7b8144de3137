#include "LoopbackPeer.h"

#include <QFile>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace corvid::test {
namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point end)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

// A raw IPv4 loopback listener with an ephemeral port.
int rawListen(quint16* port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 || ::listen(s, 4) < 0)
        throw std::runtime_error("loopback listen failed");
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return s;
}

} // namespace

RawPeer::~RawPeer()
{
    close();
}

bool RawPeer::send(const QByteArray& bytes)
{
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::send(fd_, p, size_t(left), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

QByteArray RawPeer::read(qsizetype n, int timeoutMs)
{
    QByteArray out;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, msLeft(end)) <= 0)
            break;
        char buf[65536];
        const ssize_t got = ::recv(fd_, buf, size_t(qMin<qsizetype>(n - out.size(), sizeof buf)), 0);
        if (got <= 0)
            break;
        out.append(buf, got);
    }
    return out;
}

QByteArray RawPeer::readUntilClosed(bool* closed, int timeoutMs)
{
    QByteArray out;
    bool eof = false;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, msLeft(end)) <= 0)
            break;
        char buf[65536];
        const ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
        if (got <= 0) {
            eof = true;
            break;
        }
        out.append(buf, got);
    }
    if (closed)
        *closed = eof;
    return out;
}

void RawPeer::closeWrite()
{
    ::shutdown(fd_, SHUT_WR);
}

void RawPeer::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

RawPair makeRawPair()
{
    quint16 port = 0;
    const int listener = rawListen(&port);
    RawPair pair;
    QString error;
    if (!pair.conn.connectTo(QStringLiteral("127.0.0.1"), port, 5000, &error))
        throw std::runtime_error(("connect failed: " + error).toStdString());
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
    pair.peer = std::make_unique<RawPeer>(fd);
    return pair;
}

ConnPair makeConnPair()
{
    TcpListener listener;
    if (!listener.listen(0))
        throw std::runtime_error("listen failed");
    ConnPair pair;
    if (!pair.client.connectTo(QStringLiteral("127.0.0.1"), listener.port(), 5000))
        throw std::runtime_error("connect failed");
    std::optional<TcpConnection> accepted = listener.accept();
    if (!accepted)
        throw std::runtime_error("accept failed");
    pair.server = std::move(*accepted);
    return pair;
}

quint16 unusedPort()
{
    quint16 port = 0;
    ::close(rawListen(&port));
    return port;
}

int currentTid()
{
    return int(::syscall(SYS_gettid));
}

bool waitUntilBlocked(int tid, int timeoutMs)
{
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(tid));
    while (Clock::now() < end) {
        if (stat.open(QIODevice::ReadOnly)) {
            const QByteArray text = stat.readAll();
            stat.close();
            // The state letter follows the parenthesised command name.
            const qsizetype close = text.lastIndexOf(')');
            if (close >= 0 && close + 2 < text.size() && text[close + 2] == 'S')
                return true;
        }
        QThread::usleep(1000);
    }
    return false;
}

qint64 peakVirtualMemory()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmPeak:"))
            return line.mid(7).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

} // namespace corvid::test

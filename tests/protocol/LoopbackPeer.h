#pragma once
// Test helpers: a plain POSIX socket on the far side of a loopback
// connection, so that the bytes our classes put on the wire are checked by
// code that shares nothing with them.
#include "core/protocol/TcpConnection.h"
#include "core/protocol/TcpListener.h"

#include <QByteArray>

#include <memory>
#include <utility>

namespace corvid::test {

class RawPeer {
public:
    explicit RawPeer(int fd) : fd_(fd) {}
    ~RawPeer();
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool send(const QByteArray& bytes);
    // Up to n bytes; fewer when the time runs out or the connection closes.
    QByteArray read(qsizetype n, int timeoutMs = 5000);
    // Every byte until the other side closes; `closed` tells whether it did
    // within the time.
    QByteArray readUntilClosed(bool* closed = nullptr, int timeoutMs = 5000);
    void closeWrite();  // sends FIN, keeps reading possible
    void close();

private:
    int fd_;
};

// Our TcpConnection (connected with connectTo) facing a raw peer.
struct RawPair {
    TcpConnection conn;
    std::unique_ptr<RawPeer> peer;
};
RawPair makeRawPair();

// Two TcpConnections: `client` made by connectTo, `server` by TcpListener.
struct ConnPair {
    TcpConnection client;
    TcpConnection server;
};
ConnPair makeConnPair();

// A port on which nothing listens.
quint16 unusedPort();

// Waits until the thread with the given id sleeps in the kernel (e.g. in
// poll or accept), so a test can wake it knowing that it really blocked.
bool waitUntilBlocked(int tid, int timeoutMs = 5000);
int currentTid();

// Peak virtual memory of this process in bytes.
qint64 peakVirtualMemory();

} // namespace corvid::test

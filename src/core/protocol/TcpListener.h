#pragma once
#include "core/protocol/TcpConnection.h"

#include <QString>
#include <atomic>
#include <optional>

namespace corvid {

// A listening TCP socket on all local addresses (IPv6 dual-stack when the
// host has it, IPv4 otherwise). accept() blocks until a peer arrives, its
// time limit runs out, or close() is called from another thread.
class TcpListener {
public:
    TcpListener() = default;
    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    bool listen(quint16 port, QString* error = nullptr);
    bool isListening() const { return fd_ >= 0 && !closing_; }
    quint16 port() const;  // the bound port (useful when listening on 0)

    // nullopt when the time ran out (timeoutMs >= 0) or once the listener
    // is closed or broken; isListening() tells which.
    std::optional<TcpConnection> accept(int timeoutMs = TcpConnection::kNoLimit);
    // Thread-safe: wakes a blocked accept().
    void close();
    // Owner only, after the accepting thread has ended: frees the port.
    void release();

private:
    int fd_ = -1;
    std::atomic<bool> closing_{false};
};

} // namespace corvid

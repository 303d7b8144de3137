#pragma once
#include "core/security/TlsStream.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace corvid {

class IHostResolver;

enum class ReadStatus {
    Ok,       // the wanted bytes / line are there
    Timeout,  // the time limit ran out first; buffered bytes stay buffered
    Closed,   // the peer closed, the socket was shut down, or a socket error
    TooLong,  // a line exceeded the limit
};

// A blocking TCP connection of our own (POSIX sockets, not QTcpSocket):
// one input buffer, one write lock, every wait with a time limit, and
// shutdown() from any thread to wake a blocked reader. Move-only; the
// socket is closed by the destructor.
class TcpConnection {
public:
    static constexpr int kNoLimit = -1;
    // A write that gets no byte taken for this long fails and shuts the
    // connection down, whoever the caller is.
    static constexpr int kDefaultWriteStallMs = 60000;

    TcpConnection() = default;
    explicit TcpConnection(int fd);  // adopts an accepted socket
    ~TcpConnection();
    TcpConnection(TcpConnection&& other) noexcept;
    TcpConnection& operator=(TcpConnection&& other) noexcept;
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    // Connects to host (dotted address or name) within timeoutMs, the name
    // lookup included. When `cancel` turns true the wait ends within about
    // 50 ms, also during the lookup (which then finishes on a helper thread
    // of its own, see DetachedLookup). TcpConnector does the finding.
    bool connectTo(const QString& host, quint16 port, int timeoutMs, QString* error = nullptr,
                   const std::atomic<bool>* cancel = nullptr);
    // The name service connectTo asks (the system's when none is set).
    void setResolver(std::shared_ptr<IHostResolver> resolver);

    // True while the socket is open and neither side has been seen closing.
    bool isOpen() const;

    // One line up to LF (LF and a CR right before it dropped). Waits at most
    // timeoutMs for the whole line (kNoLimit = no limit). A line longer than
    // maxLen bytes before its LF fails with TooLong.
    ReadStatus readLine(QByteArray& line, int timeoutMs, int maxLen = 16384);
    // Up to maxBytes (buffered bytes first, then one recv); waits at most
    // timeoutMs for the first byte. Appends to out.
    ReadStatus readSome(QByteArray& out, qint64 maxBytes, int timeoutMs);
    // Bytes the socket (or TLS) has ready now, straight into `data`, when
    // nothing is buffered: no wait, no copy through the input buffer. 0 when
    // none are ready or bytes are buffered (readSome then takes over, and
    // notices a close).
    qint64 takeReady(char* data, qint64 size);
    // Number of bytes already received and not yet taken.
    qint64 bufferedBytes() const;

    // Sends everything (retries partial writes and EINTR, never raises
    // SIGPIPE). Gives up when the peer takes no byte for the connection's
    // write stall limit; the connection is then shut down.
    bool writeAll(const char* data, qint64 size);
    bool writeAll(const QByteArray& data) { return writeAll(data.constData(), data.size()); }
    // The same with a stall limit of the caller's (kNoLimit = never).
    // `progress`, when set, is called after every send() with the bytes
    // accepted so far.
    bool writeAll(const char* data, qint64 size, int stallMs,
                  const std::function<void(qint64 accepted)>& progress);
    // The stall limit of writeAll(data, size); kDefaultWriteStallMs at first.
    void setWriteStallMs(int ms) { writeStallMs_ = ms; }
    int writeStallMs() const { return writeStallMs_; }

    // Held across a header block and its body so that no other thread's
    // write lands in between. writeAll takes it too (it is recursive).
    std::unique_lock<std::recursive_mutex> lockWrites() { return std::unique_lock(writeMutex_); }

    // Owner only, before any other thread uses the connection: from here on
    // every byte is TLS. Bytes that arrived in plaintext and were not taken
    // yet fail it (they would be an injection after the switch). A failure
    // shuts the connection down.
    TlsStream::Result startTls(const TlsContext& ctx, TlsRole role, int timeoutMs);
    bool encrypted() const { return tls_ != nullptr; }
    // The peer's key after startTls; empty before.
    QByteArray peerFingerprint() const { return tls_ ? tls_->peerFingerprint() : QByteArray(); }
    const TlsStream* tls() const { return tls_.get(); }
    // The first byte the peer sent, left unread (nothing may have been read
    // before). Timeout when none came in time.
    ReadStatus peekFirstByte(char& byte, int timeoutMs);

    // Thread-safe: wakes any blocked reader/writer; later reads report Closed.
    void shutdown();
    // Owner only: shuts down and releases the socket.
    void close();
    // Owner only: closes with a reset instead of an orderly close, so that
    // nothing of the connection lingers on this side.
    void abort();

    QString peerAddress() const;
    quint16 peerPort() const;
    quint16 localPort() const;
    int fd() const { return fd_; }

private:
    ReadStatus fill(int timeoutMs);  // one recv into the input buffer; Closed after the end
    ReadStatus fillTls(int timeoutMs);
    bool writeTls(const char* data, qint64 size, int stallMs, const std::function<void(qint64)>& progress);
    void takeFrom(TcpConnection& other) noexcept;  // caller holds the fd locks in use
    void adopt(int fd);
    void releaseFd();

    // fd_ is changed only by the owner (connect, close, move, destructor),
    // under fdMutex_, so that shutdown() from another thread never sees a
    // half-changed or reused descriptor.
    int fd_ = -1;
    mutable std::mutex fdMutex_;
    std::atomic<bool> open_{false};
    std::atomic<bool> shut_{false};  // shut down locally: reads fail at once
    bool eof_ = false;               // reader only: the peer closed or the socket failed
    QByteArray in_;                  // received, not yet taken
    qsizetype inPos_ = 0;            // start of the untaken bytes in in_
    qsizetype scanned_ = 0;          // bytes after inPos_ already searched for LF
    std::recursive_mutex writeMutex_;
    std::atomic<int> writeStallMs_{kDefaultWriteStallMs};
    int sendTimeoutMs_ = -1;  // the send timeout set on the socket (writers only); -1 none
    std::shared_ptr<IHostResolver> resolver_;  // owner only
    std::unique_ptr<TlsStream> tls_;           // set by the owner before sharing the connection
};

} // namespace corvid

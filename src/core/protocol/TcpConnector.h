#pragma once
#include <QString>

#include <atomic>
#include <memory>

namespace corvid {

class IHostResolver;

// Finding a peer and reaching it: the name lookup (on a helper when the
// host is a name, see DetachedLookup) and the connect to each address it
// gives, all within one time limit. TcpConnection adopts the socket.
class TcpConnector {
public:
    // A connected socket in blocking mode, or -1 with the reason in `error`.
    // When `cancel` turns true the wait ends within about 50 ms, also
    // during the lookup. `resolver` null: the system's name service.
    static int open(const QString& host, quint16 port, int timeoutMs, const std::shared_ptr<IHostResolver>& resolver,
                    QString* error, const std::atomic<bool>* cancel);
};

} // namespace corvid

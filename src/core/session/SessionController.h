#pragma once
#include "core/protocol/HeaderBlock.h"
#include "core/protocol/TcpConnection.h"
#include "core/session/ConnectionServer.h"
#include "core/session/ILogSink.h"
#include "core/session/RecentPeers.h"

#include <QObject>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace corvid {

class ISessionDispatch;

// The session state and both roles, without any window: the main window
// forwards its buttons here and renders the signals.
class SessionController : public QObject, private ConnectionServer::Handler {
    Q_OBJECT
public:
    static constexpr const char* kAppTitle = "Corvid";
    enum class ConnectOutcome { MissingInput, NotFound, Refused, Connected };

    explicit SessionController(ILogSink& log, QObject* parent = nullptr);
    ~SessionController() override;

    void setUserName(const QString& name);
    QString userName() const;
    QString peerName() const;
    int protocolNumber() const { return protocol_; }
    bool serverMode() const { return serverMode_; }
    void setServerMode(bool on) { serverMode_ = on; }
    RecentPeers& recentPeers() { return recentPeers_; }
    void setDispatch(ISessionDispatch* dispatch) { dispatch_ = dispatch; }
    // Told of every change of the peer name at once, on the thread that
    // made it (before that thread logs anything about it). Set before use.
    void setPeerNameObserver(std::function<void(const QString&)> fn) { peerNameObserver_ = std::move(fn); }

    // Client role (GUI thread). Blocks for at most the connect and answer
    // time limits.
    ConnectOutcome connectToPeer(const QString& host, const QString& portText);
    bool isClientConnected() const { return client_.isOpen(); }
    // Closes the client connection; ClientDisconnected follows.
    void disconnectClient();
    void Timer1Timer();
    bool pollActive() const { return timer1_.isActive(); }

    // Server role.
    bool startServer(quint16 port, QString* error = nullptr);
    void stopServer();
    bool isListening() const { return server_.isListening(); }
    quint16 listeningPort() const { return server_.port(); }
    bool hasServerSession() const;
    std::shared_ptr<TcpConnection> serverSessionConnection() const;
    // Threads of connections accepted while a session existed, in order.
    std::vector<std::thread::id> acceptedConnectionThreads() const;
    // The accepted connection served by the given thread (for pushed files).
    std::shared_ptr<TcpConnection> FindConnection(std::thread::id id);

    // Sends typed text as a chat message on the session connection of the
    // current role and logs it (or the failure). False when not sent.
    bool SendChatMessage(const QString& text);
    // The wire body of typed text: its HTML, every line followed by CR LF.
    static QString MessageBody(const QString& text);
    bool hasSessionConnection() const;

    // Orderly end: stop polling and listening, close every connection and
    // join every thread. Safe to call more than once.
    void shutdown();

signals:
    void titleChanged(const QString& title);
    // Enabled states and the server mode flag must be recomputed.
    void connectionStateChanged();
    // The client connection ended (btClient must pop up).
    void clientDisconnected();
    void recentPeersChanged();

private:
    void onConnect(AcceptedConnection& c) override;
    void onExecute(AcceptedConnection& c) override;
    void onDisconnect(AcceptedConnection& c) override;

    void serverHandshake(AcceptedConnection& c, HeaderBlock& block);
    void ReceiveChatMessage(TcpConnection& c, const HeaderBlock& block, bool haveSession);
    void ClientDisconnected();
    void setPeerName(const QString& name);
    void notifyPeerName(const QString& name);

    ILogSink& log_;
    ISessionDispatch* dispatch_ = nullptr;
    std::function<void(const QString&)> peerNameObserver_;
    std::atomic<int> protocol_{1};
    std::atomic<bool> serverMode_{false};
    mutable std::mutex mutex_;  // guards the fields below
    QString userName_;
    QString peerName_;
    std::shared_ptr<TcpConnection> serverSession_;
    std::vector<std::thread::id> acceptedThreads_;
    std::mutex handshakeMutex_;  // one Connect answered at a time

    RecentPeers recentPeers_;
    TcpConnection client_;
    QTimer timer1_;
    ConnectionServer server_;
};

} // namespace corvid

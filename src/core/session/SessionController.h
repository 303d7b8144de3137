#pragma once
#include "core/base/Liveness.h"
#include "core/protocol/HeaderBlock.h"
#include "core/protocol/TcpConnection.h"
#include "core/session/ClientLink.h"
#include "core/session/ConnectionServer.h"
#include "core/session/ILogSink.h"
#include "core/session/OutboundWriter.h"
#include "core/session/RecentPeers.h"
#include "core/session/SessionServer.h"
#include "core/session/SessionState.h"
#include "core/session/SessionTexts.h"

#include <QObject>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>

namespace corvid {

class ISessionDispatch;
class Identity;
class PeerPins;
class UiHandOver;

// The session state and both roles, without any window: the main window
// forwards its buttons here and renders the signals. Public calls belong to
// the UI thread; signals are emitted there. The network never blocks that
// thread: the client's connect, handshake and reading run on the thread of
// its ClientLink, accepted connections on theirs (SessionServer), and writes
// on the session connection go through the outbound writer.
class SessionController : public QObject, private ClientLink::Owner, private SessionServer::Owner {
    Q_OBJECT
public:
    static constexpr const char* kAppTitle = SessionTexts::kAppTitle;
    enum class ConnectOutcome { MissingInput, Busy, Pending, NotFound, Refused, Connected };
    Q_ENUM(ConnectOutcome)

    SessionController(ILogSink& log, UiHandOver& ui, QObject* parent = nullptr);
    ~SessionController() override;

    void setUserName(const QString& name) { state_.setUserName(name); }
    QString userName() const { return state_.userName(); }
    QString peerName() const { return state_.peerName(); }
    int protocolNumber() const { return state_.protocolNumber(); }
    // The number offered in handshakes: 2, or 1 to play an original peer.
    void setOwnProtocol(int n) { state_.setOwnProtocol(n); }
    // The key this side proves to peers of our own. A controller starts
    // with one made in memory; the program gives the one kept on disk.
    // Without one (null) the controller offers the original protocol only.
    void setIdentity(std::shared_ptr<const Identity> identity);
    std::shared_ptr<const Identity> identity() const;
    // The peers' keys as pinned (in memory until the program gives the file's).
    void setPeerPins(std::shared_ptr<PeerPins> pins) { state_.setPins(std::move(pins)); }
    std::shared_ptr<PeerPins> peerPins() const { return state_.pins(); }
    // How long a TLS handshake and the confirmation after it may take.
    void setTlsTimeoutMs(int ms) { state_.setTlsTimeoutMs(ms); }
    // The key the current role's partner proved; empty when the session is
    // plaintext or there is none. Any thread.
    QByteArray partnerKey() const;
    std::shared_ptr<const TlsContext> tlsContext() const { return state_.tlsContext(); }
    // The code both users may read aloud; empty when not encrypted.
    QString verificationCode() const { return code_; }
    // The user checked the new key of a peer whose key had changed: it
    // replaces the pinned one, and the next connect goes through.
    void acceptPeerKey(const QString& name, const QString& address, const QByteArray& key);
    bool serverMode() const { return serverMode_; }
    void setServerMode(bool on) { serverMode_ = on; }
    RecentPeers& recentPeers() { return recentPeers_; }
    // Set before listening or connecting; the object must outlive shutdown().
    void setDispatch(ISessionDispatch* dispatch) { dispatch_ = dispatch; }
    // A write on the session connection that makes no progress for this long
    // fails (the connection is then closed as a failed one).
    void setSendStallMs(int ms) { writer_.setStallMs(ms); }

    // Client role. Starts connecting and the handshake and returns Pending;
    // connectFinished tells the outcome. MissingInput and Busy (an attempt
    // or a session already exists) return at once and change nothing.
    ConnectOutcome connectToPeer(const QString& host, const QString& portText);
    bool isConnecting() const { return connecting_; }
    bool isClientConnected() const;
    // Closes the client connection; ClientDisconnected follows.
    void disconnectClient();
    void Timer1Timer();
    bool pollActive() const { return timer1_.isActive(); }

    // Server role.
    // Caps on accepted connections and the idle limit before a first block
    // (ConnectionServer::Limits has the defaults).
    void setConnectionLimits(const ConnectionServer::Limits& limits) { server_.connections().setLimits(limits); }
    quint64 refusedConnections() const { return server_.connections().refusedCount(); }
    bool startServer(quint16 port, QString* error = nullptr);
    void stopServer();
    bool isListening() const { return server_.connections().isListening(); }
    quint16 listeningPort() const { return server_.connections().port(); }
    bool hasServerSession() const { return state_.hasServerSession(); }
    // The session partner's address as the listener sees it (the peer
    // address of the connection that shook hands); empty without a session.
    QString partnerAddress() const { return state_.partnerAddress(); }

    // Sends typed text as a chat message on the session connection of the
    // current role; messages go out in order. False, with the failure line,
    // when it cannot go out (nothing connected, or a body the peer would
    // refuse). When the write ends, chatSent tells the text, or the failure
    // line is logged and the connection closed as a failed one.
    bool SendChatMessage(const QString& text);
    // Messages handed to the writer whose write has not ended yet.
    bool chatInFlight() const { return chatInFlight_ > 0; }
    // The wire body of typed text: its HTML, every line followed by CR LF.
    static QString MessageBody(const QString& text);
    bool hasSessionConnection() const;
    // Queues bytes for the session connection of the current role; `done`
    // runs on the UI thread. False when there is no session connection.
    bool SendOnSession(QByteArray wire, std::function<void(bool ok)> done = {});
    bool SendOnSession(std::function<bool(QByteArray& wire)> prepare, std::function<void(bool ok)> done);

    // Orderly end: cancel a connect, stop polling and listening, close every
    // connection and join every thread. Safe to call more than once.
    void shutdown();
    // Client role: the host and port the session was asked to reach (as
    // given to connectToPeer), where transfer connections go; false while
    // not connected.
    bool clientPeer(QString& host, quint16& port) const;

signals:
    void titleChanged(const QString& title);
    // Enabled states and the server mode flag must be recomputed.
    void connectionStateChanged();
    // A connect attempt has ended (the outcome is also logged).
    void connectFinished(corvid::SessionController::ConnectOutcome outcome);
    // The client connection ended (btClient must pop up).
    void clientDisconnected();
    void recentPeersChanged();
    // A chat message went out; the input box may let go of `text`.
    void chatSent(const QString& text);
    // A peer showed another key than the pinned one; the connection has
    // ended. The user may accept `offered` after checking it.
    void peerKeyRefused(const QString& name, const QString& address, const QByteArray& pinned,
                        const QByteArray& offered);

private:
    void linkHandshakeEnded(ClientLink::Handshake result, const QString& host, quint16 port,
                            const QByteArray& peerName, const SecureOutcome& secure) override;
    void linkBlockArrived(const HeaderBlock& block, const IncomingChat& chat) override;
    void serverSessionBegan(const QString& peerName, const QString& code) override;
    void serverPeerRefused(const QString& name, const QString& address, const SecureOutcome& secure) override;
    void serverConnectionEnded(bool wasSession) override;

    void connectDone(ConnectOutcome outcome, const QString& host, quint16 port, const QByteArray& peer,
                     const SecureOutcome& secure = {});
    void ClientDisconnected();
    void endClientLink();
    void setPeerName(const QString& name);
    std::shared_ptr<TcpConnection> clientConnection() const;
    std::shared_ptr<TcpConnection> serverSessionConnection() const { return state_.serverSession(); }

    ILogSink& log_;
    UiHandOver& ui_;
    // Steps this object's threads post run only while it lives.
    Liveness alive_;
    const std::weak_ptr<void> aliveToken_ = alive_.token();  // taken here, handed to the threads
    std::atomic<ISessionDispatch*> dispatch_{nullptr};
    SessionState state_;
    std::atomic<bool> serverMode_{false};
    std::atomic<bool> stopped_{false};
    std::unique_ptr<ClientLink> client_;  // UI thread only
    QString clientHost_;                  // as typed: a scope id or a name stays (UI thread only)
    quint16 clientPort_ = 0;
    bool connecting_ = false;    // UI thread only
    int chatInFlight_ = 0;       // UI thread only
    QString code_;               // UI thread only
    RecentPeers recentPeers_;
    QTimer timer1_;
    OutboundWriter writer_;
    SessionServer server_;
};

} // namespace corvid

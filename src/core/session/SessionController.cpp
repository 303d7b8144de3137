#include "core/session/SessionController.h"

#include "core/protocol/ProtocolLevel.h"

#include "core/protocol/SjisCodec.h"
#include "core/security/Identity.h"
#include "core/security/PeerPins.h"
#include "core/security/TrustTexts.h"
#include "core/protocol/Transport.h"
#include "core/session/HtmlText.h"
#include "core/session/ISessionDispatch.h"
#include "core/session/UiHandOver.h"

#include <QRegularExpression>

namespace corvid {

SessionController::SessionController(ILogSink& log, UiHandOver& ui, QObject* parent)
    : QObject(parent)
    , log_(log)
    , ui_(ui)
    , server_(*this, ui, aliveToken_, state_, log, dispatch_)
{
    timer1_.setInterval(500);
    connect(&timer1_, &QTimer::timeout, this, &SessionController::Timer1Timer);
    setIdentity(Identity::Create());
}

void SessionController::setIdentity(std::shared_ptr<const Identity> identity)
{
    std::shared_ptr<const TlsContext> tls = identity ? TlsContext::Make(std::move(identity)) : nullptr;
    // Without a key there is nothing to encrypt with: only the original
    // protocol is offered, so no session of ours ever runs in plaintext.
    if (!tls)
        state_.setOwnProtocol(ProtocolLevel::kOriginal);
    state_.setTlsContext(std::move(tls));
}

std::shared_ptr<const Identity> SessionController::identity() const
{
    const auto tls = state_.tlsContext();
    return tls ? tls->identityPtr() : nullptr;
}

QByteArray SessionController::partnerKey() const
{
    return serverMode_ ? state_.serverPartnerKey() : state_.clientPartnerKey();
}

void SessionController::acceptPeerKey(const QString& name, const QString& address, const QByteArray& key)
{
    const auto pins = state_.pins();
    const bool saved = pins->pin(name, address, key);
    log_.AddLogLine(TrustTexts::KeyAccepted(name, address, key), LineSys);
    if (!saved)
        log_.AddLogLine(TrustTexts::PinUnsaved(pins->lastError()), LineSys);
}

SessionController::~SessionController()
{
    alive_.end();
    shutdown();
}

void SessionController::setPeerName(const QString& name)
{
    state_.setPeerName(name);
    log_.setPeerName(name);
}

std::shared_ptr<TcpConnection> SessionController::clientConnection() const
{
    return client_ && !connecting_ ? client_->connection() : nullptr;
}

bool SessionController::isClientConnected() const
{
    const auto c = clientConnection();
    return c && c->isOpen();
}

bool SessionController::hasSessionConnection() const
{
    return hasServerSession() || isClientConnected();
}

// ---- client role -------------------------------------------------------

SessionController::ConnectOutcome SessionController::connectToPeer(const QString& host, const QString& portText)
{
    const QString ownName = userName();
    if (host.isEmpty() || portText.isEmpty() || ownName.isEmpty())
        return ConnectOutcome::MissingInput;
    if (client_ || stopped_)
        return ConnectOutcome::Busy;

    bool portOk = false;
    const uint port = portText.toUInt(&portOk);
    if (!portOk || port == 0 || port > 65535) {
        connectDone(ConnectOutcome::NotFound, host, 0, {});
        return ConnectOutcome::NotFound;
    }
    connecting_ = true;
    clientHost_ = host;
    clientPort_ = quint16(port);
    ClientLink::Owner& owner = *this;
    state_.restartProtocol();
    client_ = std::make_unique<ClientLink>(owner, ui_, aliveToken_, state_);
    client_->start(host, quint16(port), SjisCodec::encode(ownName));
    return ConnectOutcome::Pending;
}

void SessionController::linkHandshakeEnded(ClientLink::Handshake result, const QString& host, quint16 port,
                                           const QByteArray& peerName, const SecureOutcome& secure)
{
    ConnectOutcome outcome = ConnectOutcome::NotFound;
    if (result == ClientLink::Handshake::Refused || result == ClientLink::Handshake::Untrusted)
        outcome = ConnectOutcome::Refused;
    else if (result == ClientLink::Handshake::Accepted)
        outcome = ConnectOutcome::Connected;
    connectDone(outcome, host, port, peerName, secure);
}

void SessionController::connectDone(ConnectOutcome outcome, const QString& host, quint16 port, const QByteArray& peer,
                                    const SecureOutcome& secure)
{
    connecting_ = false;
    if (stopped_)
        return;
    if (outcome == ConnectOutcome::NotFound) {
        endClientLink();
        emit connectionStateChanged();
        log_.AddLogLine(SessionTexts::ServerNotFound(), LineSys);
        emit connectFinished(outcome);
        return;
    }
    // The peer's name is taken over also from a refusal.
    const QString name = SjisCodec::decode(peer);
    setPeerName(name);
    if (outcome == ConnectOutcome::Refused) {
        emit connectionStateChanged();
        // A refusal for the key or the encryption says why instead.
        log_.AddLogLine(secure.line.isEmpty() ? SessionTexts::ConnectFailed() : secure.line, LineSys);
        emit connectFinished(outcome);
        disconnectClient();
        if (secure.verdict == TrustVerdict::KeyChanged)
            emit peerKeyRefused(name, host, secure.knownKey, secure.peerKey);
        return;
    }
    state_.setClientPartnerKey(secure.peerKey);
    code_ = secure.code;
    emit connectionStateChanged();
    log_.AddLogLine(SessionTexts::Connected(), LineSys);
    if (!ProtocolLevel::Extended(state_.protocolNumber()))
        log_.AddLogLine(SessionTexts::OriginalPeer(), LineSys);
    log_.AddLogLine(secure.line, LineSys);
    recentPeers_.AddRecentPeer(RecentPeers::FormatEntry(host, port, name));
    emit recentPeersChanged();
    emit titleChanged(name);
    timer1_.start();
    emit connectFinished(outcome);
}

void SessionController::linkBlockArrived(const HeaderBlock& block, const IncomingChat& chat)
{
    const int code = Header::Classify(block);
    const int type = Header::GetContentType(block);
    ISessionDispatch* dispatch = dispatch_;
    if (code == CmdSend && type == CtMessage)
        chat.log(log_);
    else if (!dispatch)
        return;
    else if (code == CmdSend && type == CtFileList)
        dispatch->PeerListChanged();
    else if (code == CmdRecv && type == CtFileList)
        dispatch->PeerAsksForList();
    else if (code == CmdRecv && type == CtFile)
        dispatch->PeerAsksForFile(block);
}

void SessionController::endClientLink()
{
    // Dropping the link shuts its connection and joins its thread.
    client_.reset();
}

void SessionController::disconnectClient()
{
    endClientLink();
    ClientDisconnected();
}

void SessionController::ClientDisconnected()
{
    emit titleChanged(SessionTexts::AppTitle());
    state_.setClientPartnerKey({});
    code_.clear();
    if (state_.clearPeerName()) {
        log_.setPeerName(QString());
        log_.AddLogLine(SessionTexts::Disconnected(), LineSys);
    }
    timer1_.stop();
    emit clientDisconnected();
    emit connectionStateChanged();
}

void SessionController::Timer1Timer()
{
    // The link hands blocks over as they arrive; the tick only notices a
    // connection that has ended.
    if (client_ && !connecting_ && (client_->finished() || !client_->connection()->isOpen()))
        disconnectClient();
}

// ---- chat ---------------------------------------------------------------

QString SessionController::MessageBody(const QString& text)
{
    // Typed line breaks arrive as LF; the HTML step expects CR LF.
    QString typed = text;
    typed.replace(QLatin1String("\r\n"), QLatin1String("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    typed.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    const QString html = HtmlText::TextToHtml(typed);
    QString body;
    for (const QString& line : html.split(QRegularExpression(QStringLiteral("\r\n|\r|\n"))))
        body += line + QLatin1String("\r\n");
    // A text that ends with a line break leaves no extra empty line.
    if (html.endsWith(QLatin1Char('\n')) || html.endsWith(QLatin1Char('\r')))
        body.chop(2);
    return body;
}

bool SessionController::SendOnSession(QByteArray wire, std::function<void(bool)> done)
{
    return SendOnSession([wire = std::move(wire)](QByteArray& out) {
        out = wire;
        return true;
    }, std::move(done));
}

bool SessionController::SendOnSession(std::function<bool(QByteArray&)> prepare, std::function<void(bool)> done)
{
    const std::shared_ptr<TcpConnection> c = serverMode_ ? serverSessionConnection() : clientConnection();
    if (!c || !c->isOpen())
        return false;
    // `done` is called on the writer's thread; the step it posts runs on ours.
    return writer_.send(c, std::move(prepare), [this, done = std::move(done)](bool ok) {
        if (done)
            ui_.post(aliveToken_, [done, ok] { done(ok); });
    });
}

namespace {
// A chat message on its way: made into wire bytes on the writer's thread.
struct OutgoingChat {
    QString text;
    QString body;
    QByteArray bytes;
    bool fits = false;
};
} // namespace

bool SessionController::SendChatMessage(const QString& text)
{
    const bool server = serverMode_;
    const std::shared_ptr<TcpConnection> c = server ? serverSessionConnection() : clientConnection();
    if (!c || !c->isOpen()) {
        log_.AddLogLine(SessionTexts::SendFailed() + MessageBody(text), LineSys);
        return false;
    }
    auto chat = std::make_shared<OutgoingChat>();
    chat->text = text;
    auto prepare = [chat](QByteArray& wire) {
        chat->body = MessageBody(chat->text);
        chat->bytes = SjisCodec::encode(chat->body);
        HeaderBlock block;
        Header::MakeSendHeader(block, QByteArray(kToken), QByteArrayLiteral("Message"), chat->bytes.size());
        // The peer refuses a body over its limit and drops the session: such
        // a body is not sent.
        chat->fits = chat->bytes.size() <= Transport::kMaxMessageBody && Transport::EncodeHeader(block, wire);
        wire += chat->bytes;
        return chat->fits;
    };
    auto finished = [this, chat, c, server](bool ok) {
        --chatInFlight_;
        if (!ok) {
            log_.AddLogLine(SessionTexts::SendFailed() + chat->body, LineSys);
            // A session whose write failed is not one any more; a message
            // that was never written leaves it as it is.
            if (!chat->fits)
                return;
            if (server)
                c->shutdown();
            else if (clientConnection() == c)
                disconnectClient();
            return;
        }
        log_.AddLogLine(SjisCodec::decode(chat->bytes), LineOwn);
        emit chatSent(chat->text);
    };
    ++chatInFlight_;
    if (!SendOnSession(std::move(prepare), finished)) {
        --chatInFlight_;
        log_.AddLogLine(SessionTexts::SendFailed() + MessageBody(text), LineSys);
        return false;
    }
    return true;
}

// ---- server role --------------------------------------------------------

bool SessionController::startServer(quint16 port, QString* error)
{
    return server_.connections().start(port, error);
}

void SessionController::stopServer()
{
    server_.connections().stop();
}

void SessionController::serverSessionBegan(const QString& peerName, const QString& code)
{
    code_ = code;
    emit titleChanged(peerName);
    emit connectionStateChanged();
}

void SessionController::serverPeerRefused(const QString& name, const QString& address, const SecureOutcome& secure)
{
    if (secure.verdict == TrustVerdict::KeyChanged)
        emit peerKeyRefused(name, address, secure.knownKey, secure.peerKey);
}

void SessionController::serverConnectionEnded(bool wasSession)
{
    if (wasSession) {
        code_.clear();
        emit titleChanged(SessionTexts::AppTitle());
    }
    emit connectionStateChanged();
}

void SessionController::shutdown()
{
    stopped_ = true;
    timer1_.stop();
    connecting_ = false;
    endClientLink();
    server_.connections().stop();
    writer_.stop();
}

bool SessionController::clientPeer(QString& host, quint16& port) const
{
    const auto c = clientConnection();
    if (!c || !c->isOpen())
        return false;
    // Transfer connections go where the session went, by the same words:
    // a link-local address keeps its scope id.
    host = clientHost_;
    port = clientPort_;
    return port != 0;
}

} // namespace corvid

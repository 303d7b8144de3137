#include "core/session/SessionController.h"

#include "core/protocol/Commands.h"
#include "core/protocol/SjisCodec.h"
#include "core/protocol/Transport.h"
#include "core/session/HtmlText.h"
#include "core/session/ISessionDispatch.h"
#include "core/session/UiHandOver.h"
#include "core/settings/Conversions.h"

#include <QRegularExpression>
#include <algorithm>

namespace corvid {

namespace {
const QString kConnected = QStringLiteral("接続成功");
const QString kConnectFailed = QStringLiteral("接続失敗");
const QString kNotFound = QStringLiteral("サーバが見つかりません");
const QString kDisconnected = QStringLiteral("切断");
const QString kReceiveFailed = QStringLiteral("メッセージ受信失敗");
const QString kSendFailed = QStringLiteral("メッセージ送信失敗：");

// A chat body read off the wire, or the reason it is not there.
struct MessageRead {
    bool ok = false;
    QString text;
};

MessageRead readMessage(TcpConnection& c, const HeaderBlock& block)
{
    MessageRead r;
    const qint64 n = Conversions::ParseThousands(QString::fromLatin1(Header::Value(block, "ContentLength")));
    r.ok = n > 0 && Transport::ReadMessageText(c, n, r.text);
    return r;
}
} // namespace

// The client role's session connection and the one thread that connects,
// shakes hands and then reads it.
struct SessionController::ClientLink {
    quint64 id = 0;  // steps of an earlier link are dropped
    std::shared_ptr<TcpConnection> connection = std::make_shared<TcpConnection>();
    std::atomic<bool> cancel{false};
    std::atomic<bool> finished{false};  // the thread has nothing more to do
    std::thread thread;

    ~ClientLink() { stop(); }
    void stop()
    {
        cancel = true;
        connection->shutdown();
        if (thread.joinable())
            thread.join();
    }
};

SessionController::SessionController(ILogSink& log, UiHandOver& ui, QObject* parent)
    : QObject(parent)
    , log_(log)
    , ui_(ui)
    , server_(*this)
{
    timer1_.setInterval(500);
    connect(&timer1_, &QTimer::timeout, this, &SessionController::Timer1Timer);
}

SessionController::~SessionController()
{
    shutdown();
}

void SessionController::onUi(std::function<void()> step)
{
    if (ui_.onUiThread())
        step();
    else
        ui_.post(alive_, std::move(step));
}

void SessionController::setUserName(const QString& name)
{
    std::lock_guard lock(mutex_);
    userName_ = name;
}

QString SessionController::userName() const
{
    std::lock_guard lock(mutex_);
    return userName_;
}

QString SessionController::peerName() const
{
    std::lock_guard lock(mutex_);
    return peerName_;
}

void SessionController::setPeerName(const QString& name)
{
    {
        std::lock_guard lock(mutex_);
        peerName_ = name;
    }
    log_.setPeerName(name);
}

bool SessionController::hasServerSession() const
{
    std::lock_guard lock(mutex_);
    return serverSession_ != nullptr;
}

std::shared_ptr<TcpConnection> SessionController::serverSessionConnection() const
{
    std::lock_guard lock(mutex_);
    return serverSession_;
}

QString SessionController::partnerAddress() const
{
    std::lock_guard lock(mutex_);
    return partnerAddress_;
}

std::vector<std::thread::id> SessionController::acceptedConnectionThreads() const
{
    std::lock_guard lock(mutex_);
    return acceptedThreads_;
}

std::shared_ptr<TcpConnection> SessionController::clientConnection() const
{
    return client_ && !connecting_ ? client_->connection : nullptr;
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
    client_ = std::make_unique<ClientLink>();
    client_->id = ++linkCount_;
    ClientLink& link = *client_;
    link.thread = std::thread([this, &link, host, port, name = SjisCodec::encode(ownName)] {
        clientThread(link, host, quint16(port), name);
    });
    return ConnectOutcome::Pending;
}

void SessionController::clientThread(ClientLink& link, QString host, quint16 port, QByteArray ownName)
{
    TcpConnection& c = *link.connection;
    ConnectOutcome outcome = ConnectOutcome::NotFound;
    QByteArray peer;
    if (c.connectTo(host, port, Transport::kConnectTimeoutMs, nullptr, &link.cancel) && !link.cancel) {
        outcome = Commands::RequestConnect(c, protocol_, QByteArray(kToken), peer, ownName) ? ConnectOutcome::Connected
                                                                                           : ConnectOutcome::Refused;
    }
    if (outcome != ConnectOutcome::Connected)
        link.finished = true;
    onUi([this, outcome, host, port, peer] { connectDone(outcome, host, port, peer); });
    if (outcome == ConnectOutcome::Connected)
        clientReader(link);
}

void SessionController::connectDone(ConnectOutcome outcome, const QString& host, quint16 port, const QByteArray& peer)
{
    connecting_ = false;
    if (stopped_)
        return;
    if (outcome == ConnectOutcome::NotFound) {
        endClientLink();
        emit connectionStateChanged();
        log_.AddLogLine(kNotFound, LineSys);
        emit connectFinished(outcome);
        return;
    }
    // The peer's name is taken over also from a refusal.
    const QString name = SjisCodec::decode(peer);
    setPeerName(name);
    if (outcome == ConnectOutcome::Refused) {
        emit connectionStateChanged();
        log_.AddLogLine(kConnectFailed, LineSys);
        emit connectFinished(outcome);
        disconnectClient();
        return;
    }
    emit connectionStateChanged();
    log_.AddLogLine(kConnected, LineSys);
    recentPeers_.AddRecentPeer(host + QLatin1Char(':') + QString::number(port) + QLatin1Char(' ') + name);
    emit recentPeersChanged();
    emit titleChanged(name);
    timer1_.start();
    emit connectFinished(outcome);
}

void SessionController::clientReader(ClientLink& link)
{
    TcpConnection& c = *link.connection;
    while (c.isOpen() && !link.cancel) {
        HeaderBlock block;
        const int code = Commands::ReadCommand(c, block, Transport::kServerPollMs);
        if (code <= CmdOther)
            continue;
        MessageRead message;
        if (code == CmdSend && Header::GetContentType(block) == CtMessage)
            message = readMessage(c, block);
        onUi([this, id = link.id, block, message] {
            if (client_ && client_->id == id)
                dispatchClientBlock(block, message.ok, message.text);
        });
    }
    link.finished = true;
}

void SessionController::dispatchClientBlock(const HeaderBlock& block, bool messageOk, const QString& text)
{
    const int code = Header::Classify(block);
    const int type = Header::GetContentType(block);
    ISessionDispatch* dispatch = dispatch_;
    if (code == CmdSend && type == CtMessage)
        log_.AddLogLine(messageOk ? text : kReceiveFailed, messageOk ? LineRecv : LineSys);
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
    // Dropping the link shuts its connection and joins its thread, which
    // wakes at once from the shutdown.
    client_.reset();
}

void SessionController::disconnectClient()
{
    endClientLink();
    ClientDisconnected();
}

void SessionController::ClientDisconnected()
{
    emit titleChanged(QString::fromLatin1(kAppTitle));
    bool hadPeer = false;
    {
        std::lock_guard lock(mutex_);
        hadPeer = !peerName_.isEmpty();
        peerName_.clear();
    }
    if (hadPeer) {
        log_.setPeerName(QString());
        log_.AddLogLine(kDisconnected, LineSys);
    }
    timer1_.stop();
    emit clientDisconnected();
    emit connectionStateChanged();
}

void SessionController::Timer1Timer()
{
    // The reader hands blocks over as they arrive; the tick only notices a
    // connection that has ended.
    if (client_ && !connecting_ && (client_->finished || !client_->connection->isOpen()))
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
    return writer_.send(c, std::move(prepare), [this, done = std::move(done)](bool ok) {
        if (done)
            onUi([done, ok] { done(ok); });
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
        log_.AddLogLine(kSendFailed + MessageBody(text), LineSys);
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
            log_.AddLogLine(kSendFailed + chat->body, LineSys);
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
        log_.AddLogLine(kSendFailed + MessageBody(text), LineSys);
        return false;
    }
    return true;
}

// ---- server role --------------------------------------------------------

bool SessionController::startServer(quint16 port, QString* error)
{
    return server_.start(port, error);
}

void SessionController::stopServer()
{
    server_.stop();
}

void SessionController::onConnect(AcceptedConnection& c)
{
    std::lock_guard lock(mutex_);
    // Judged by when the connection was accepted, not by when its thread
    // got going: a connection that came before the handshake is no
    // partner's, however late its thread starts.
    if (serverSession_ && c.acceptedAt >= sessionSince_)
        acceptedThreads_.push_back(c.threadId);
}

void SessionController::onExecute(AcceptedConnection& c)
{
    HeaderBlock block;
    const int code = Commands::ReadCommand(*c.connection, block, Transport::kServerPollMs);
    if (code <= CmdOther)
        return;
    // A block we serve: from here on the conversation's own limits rule.
    c.greeted = true;
    if (code == CmdConnect) {
        serverHandshake(c, block);
        return;
    }
    const int type = Header::GetContentType(block);
    if (code == CmdSend && type == CtMessage) {
        serverMessage(c, block);
        return;
    }
    ISessionDispatch* dispatch = dispatch_;
    if (!dispatch)
        return;
    TcpConnection& conn = *c.connection;
    if (code == CmdSend && type == CtFileList)
        dispatch->AcceptPushedList(conn, block);
    else if (code == CmdSend && type == CtFile)
        dispatch->AcceptPushedFile(conn, block);
    else if (code == CmdRecv && type == CtFileList)
        dispatch->ServeListRequest(conn, block);
    else if (code == CmdRecv && type == CtFile)
        dispatch->ServeFileRequest(conn, block);
}

void SessionController::serverMessage(AcceptedConnection& c, const HeaderBlock& block)
{
    // The body is read in every case, so the stream stays in step.
    const MessageRead message = readMessage(*c.connection, block);
    const std::shared_ptr<TcpConnection> session = serverSessionConnection();
    if (!session) {
        log_.AddLogLine(kReceiveFailed, LineSys);
        return;
    }
    // Only the partner that shook hands speaks in the log.
    if (session != c.connection)
        return;
    log_.AddLogLine(message.ok ? message.text : kReceiveFailed, message.ok ? LineRecv : LineSys);
}

void SessionController::serverHandshake(AcceptedConnection& c, HeaderBlock& block)
{
    std::lock_guard handshake(handshakeMutex_);
    const bool allowed = !hasServerSession();
    QByteArray peer = SjisCodec::encode(peerName());
    const bool accepted = Commands::AnswerConnect(*c.connection, protocol_, QByteArray(kToken), allowed, block, peer,
                                                  SjisCodec::encode(userName()));
    if (!accepted) {
        log_.AddLogLine(kConnectFailed, LineSys);
        return;
    }
    QString title;
    const QString address = c.address;
    server_.setPartnerAddress(address);
    {
        std::lock_guard lock(mutex_);
        serverSession_ = c.connection;
        sessionSince_ = std::chrono::steady_clock::now();
        partnerAddress_ = address;
        if (peerName_.isEmpty())
            peerName_ = SjisCodec::decode(peer);
        title = peerName_;
    }
    log_.setPeerName(title);
    log_.AddLogLine(kConnected, LineSys);
    onUi([this, title] {
        emit titleChanged(title);
        emit connectionStateChanged();
    });
}

void SessionController::onDisconnect(AcceptedConnection& c)
{
    bool wasSession = false;
    {
        std::lock_guard lock(mutex_);
        acceptedThreads_.erase(std::remove(acceptedThreads_.begin(), acceptedThreads_.end(), c.threadId),
                               acceptedThreads_.end());
        if (serverSession_ && serverSession_ == c.connection) {
            serverSession_.reset();
            partnerAddress_.clear();
            peerName_.clear();
            wasSession = true;
        }
    }
    if (wasSession) {
        {
            // Not while another peer shakes hands: its address may be set already.
            std::lock_guard handshake(handshakeMutex_);
            if (!hasServerSession())
                server_.setPartnerAddress(QString());
        }
        log_.setPeerName(QString());
        log_.AddLogLine(kDisconnected, LineSys);
    }
    onUi([this, wasSession] {
        if (wasSession)
            emit titleChanged(QString::fromLatin1(kAppTitle));
        emit connectionStateChanged();
    });
}

void SessionController::shutdown()
{
    stopped_ = true;
    timer1_.stop();
    connecting_ = false;
    endClientLink();
    server_.stop();
    writer_.stop();
}

bool SessionController::clientPeer(QString& host, quint16& port) const
{
    const auto c = clientConnection();
    if (!c || !c->isOpen())
        return false;
    host = c->peerAddress();
    port = c->peerPort();
    return port != 0;
}

} // namespace corvid

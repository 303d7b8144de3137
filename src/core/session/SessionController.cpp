#include "core/session/SessionController.h"

#include "core/protocol/Commands.h"
#include "core/protocol/SjisCodec.h"
#include "core/protocol/Transport.h"
#include "core/session/HtmlText.h"
#include "core/session/ISessionDispatch.h"
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
} // namespace

SessionController::SessionController(ILogSink& log, QObject* parent)
    : QObject(parent)
    , log_(log)
    , server_(*this)
{
    timer1_.setInterval(500);
    connect(&timer1_, &QTimer::timeout, this, &SessionController::Timer1Timer);
}

SessionController::~SessionController()
{
    shutdown();
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
    notifyPeerName(name);
}

void SessionController::notifyPeerName(const QString& name)
{
    if (peerNameObserver_)
        peerNameObserver_(name);
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

std::vector<std::thread::id> SessionController::acceptedConnectionThreads() const
{
    std::lock_guard lock(mutex_);
    return acceptedThreads_;
}

std::shared_ptr<TcpConnection> SessionController::FindConnection(std::thread::id id)
{
    std::shared_ptr<TcpConnection> found;
    server_.forEachConnection([&](AcceptedConnection& c) {
        if (c.threadId == id)
            found = c.connection;
    });
    return found;
}

bool SessionController::hasSessionConnection() const
{
    return hasServerSession() || client_.isOpen();
}

// ---- client role -------------------------------------------------------

SessionController::ConnectOutcome SessionController::connectToPeer(const QString& host, const QString& portText)
{
    const QString ownName = userName();
    if (host.isEmpty() || portText.isEmpty() || ownName.isEmpty())
        return ConnectOutcome::MissingInput;

    bool portOk = false;
    const uint port = portText.toUInt(&portOk);
    if (!portOk || port == 0 || port > 65535 || !client_.connectTo(host, quint16(port), Transport::kConnectTimeoutMs)) {
        client_.close();
        emit connectionStateChanged();
        log_.AddLogLine(kNotFound, LineSys);
        return ConnectOutcome::NotFound;
    }

    QByteArray peer;
    const bool accepted = Commands::RequestConnect(client_, protocol_, QByteArray(kToken), peer, SjisCodec::encode(ownName));
    // The peer's name is taken over also from a refusal.
    const QString peerName = SjisCodec::decode(peer);
    setPeerName(peerName);
    if (!accepted) {
        emit connectionStateChanged();
        log_.AddLogLine(kConnectFailed, LineSys);
        disconnectClient();
        return ConnectOutcome::Refused;
    }

    emit connectionStateChanged();
    log_.AddLogLine(kConnected, LineSys);
    recentPeers_.AddRecentPeer(host + QLatin1Char(':') + QString::number(port) + QLatin1Char(' ') + peerName);
    emit recentPeersChanged();
    emit titleChanged(peerName);
    timer1_.start();
    return ConnectOutcome::Connected;
}

void SessionController::disconnectClient()
{
    client_.close();
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
        log_.AddLogLine(kDisconnected, LineSys);
        notifyPeerName(QString());
    }
    timer1_.stop();
    emit clientDisconnected();
    emit connectionStateChanged();
}

void SessionController::Timer1Timer()
{
    if (!client_.isOpen()) {
        client_.close();
        ClientDisconnected();
        return;
    }
    HeaderBlock block;
    const int code = Commands::ReadCommand(client_, block, Transport::kClientPollMs);
    if (code == CmdNothing) {
        if (!client_.isOpen()) {
            client_.close();
            ClientDisconnected();
        }
        return;
    }
    const int type = Header::GetContentType(block);
    if (code == CmdSend && type == CtMessage) {
        ReceiveChatMessage(client_, block, true);
    } else if (dispatch_ && code == CmdSend && type == CtFileList) {
        dispatch_->PeerListChanged();
    } else if (dispatch_ && code == CmdRecv && type == CtFileList) {
        dispatch_->PeerAsksForList();
    } else if (dispatch_ && code == CmdRecv && type == CtFile) {
        dispatch_->PeerAsksForFile(block);
    }
    if (!client_.isOpen()) {
        client_.close();
        ClientDisconnected();
    }
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

bool SessionController::SendChatMessage(const QString& text)
{
    const QString body = MessageBody(text);
    const QByteArray wire = SjisCodec::encode(body);
    bool sent = false;
    if (wire.size() > Transport::kMaxMessageBody) {
        // The peer refuses such a body and drops the session: don't send.
    } else if (serverMode_) {
        std::shared_ptr<TcpConnection> c = serverSessionConnection();
        sent = c && Transport::SendContent(*c, QByteArray(kToken), QByteArrayLiteral("Message"), wire);
    } else {
        sent = client_.isOpen() && Transport::SendContent(client_, QByteArray(kToken), QByteArrayLiteral("Message"), wire);
    }
    if (sent)
        log_.AddLogLine(SjisCodec::decode(wire), LineOwn);
    else
        log_.AddLogLine(QStringLiteral("メッセージ送信失敗：") + body, LineSys);
    return sent;
}

void SessionController::ReceiveChatMessage(TcpConnection& c, const HeaderBlock& block, bool haveSession)
{
    const qint64 n = Conversions::ParseThousands(QString::fromLatin1(Header::Value(block, "ContentLength")));
    QString text;
    if (!haveSession || n <= 0 || !Transport::ReadMessageText(c, n, text)) {
        log_.AddLogLine(kReceiveFailed, LineSys);
        return;
    }
    log_.AddLogLine(text, LineRecv);
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
    if (serverSession_)
        acceptedThreads_.push_back(c.threadId);
}

void SessionController::onExecute(AcceptedConnection& c)
{
    HeaderBlock block;
    const int code = Commands::ReadCommand(*c.connection, block, Transport::kServerPollMs);
    if (code <= CmdOther)
        return;
    if (code == CmdConnect) {
        serverHandshake(c, block);
        return;
    }
    const int type = Header::GetContentType(block);
    if (code == CmdSend && type == CtMessage) {
        ReceiveChatMessage(*c.connection, block, hasServerSession());
        return;
    }
    if (!dispatch_)
        return;
    if (code == CmdSend && type == CtFileList)
        dispatch_->AcceptPushedList(c, block);
    else if (code == CmdSend && type == CtFile)
        dispatch_->AcceptPushedFile(c, block);
    else if (code == CmdRecv && type == CtFileList)
        dispatch_->ServeListRequest(c, block);
    else if (code == CmdRecv && type == CtFile)
        dispatch_->ServeFileRequest(c, block);
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
    {
        std::lock_guard lock(mutex_);
        serverSession_ = c.connection;
        if (peerName_.isEmpty())
            peerName_ = SjisCodec::decode(peer);
        title = peerName_;
    }
    notifyPeerName(title);
    log_.AddLogLine(kConnected, LineSys);
    emit titleChanged(title);
    emit connectionStateChanged();
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
            peerName_.clear();
            wasSession = true;
        }
    }
    if (wasSession) {
        emit titleChanged(QString::fromLatin1(kAppTitle));
        log_.AddLogLine(kDisconnected, LineSys);
        notifyPeerName(QString());
    }
    emit connectionStateChanged();
}

void SessionController::shutdown()
{
    timer1_.stop();
    if (client_.isOpen())
        client_.close();
    server_.stop();
}

} // namespace corvid

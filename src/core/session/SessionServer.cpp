#include "core/session/SessionServer.h"

#include "core/protocol/ProtocolLevel.h"

#include "core/protocol/Commands.h"
#include "core/protocol/SjisCodec.h"
#include "core/protocol/Transport.h"
#include "core/security/TrustTexts.h"
#include "core/session/ILogSink.h"
#include "core/session/ISessionDispatch.h"
#include "core/session/IncomingChat.h"
#include "core/session/SessionState.h"
#include "core/session/SessionTexts.h"
#include "core/session/UiHandOver.h"

namespace corvid {

SessionServer::SessionServer(Owner& owner, UiHandOver& ui, std::weak_ptr<void> ownerAlive, SessionState& state,
                             ILogSink& log, const std::atomic<ISessionDispatch*>& dispatch)
    : owner_(owner)
    , ui_(ui)
    , ownerAlive_(std::move(ownerAlive))
    , state_(state)
    , log_(log)
    , dispatch_(dispatch)
    , server_(*this)
{
}

void SessionServer::ServerConnect(AcceptedConnection&)
{
    // Nothing is decided at the door: every connection is served until it
    // closes, and the caps have been applied before its thread began.
}

void SessionServer::ServerExecute(AcceptedConnection& c)
{
    if (!c.opened) {
        // A TLS record starts with 22 (handshake); no header line does.
        char first = 0;
        const ReadStatus s = c.connection->peekFirstByte(first, Transport::kServerPollMs);
        if (s == ReadStatus::Timeout)
            return;
        if (s != ReadStatus::Ok) {
            c.connection->shutdown();
            return;
        }
        c.opened = true;
        if (first == TlsStream::kHandshakeByte) {
            acceptTlsTransfer(c);
            return;
        }
    }
    HeaderBlock block;
    const int code = Commands::ReadCommand(*c.connection, block, Transport::kServerPollMs);
    if (code <= CmdOther)
        return;
    // A block we serve: from here on the conversation's own limits rule.
    c.greeted = true;
    if (code == CmdConnect && c.connection->encrypted()) {
        // Only a plaintext connection may start a session; one already
        // encrypted is a session's or a transfer's.
        c.connection->shutdown();
        return;
    }
    if (code == CmdConnect) {
        serverHandshake(c, block);
        return;
    }
    const int type = Header::GetContentType(block);
    if (code == CmdSend && type == CtMessage) {
        ReceiveChatMessage(c, block);
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

void SessionServer::acceptTlsTransfer(AcceptedConnection& c)
{
    const QByteArray partner = state_.serverPartnerKey();
    const auto tls = state_.tlsContext();
    if (partner.isEmpty() || !tls) {
        // No encrypted session: nobody may open one.
        c.connection->shutdown();
        return;
    }
    const TlsStream::Result r = c.connection->startTls(*tls, TlsRole::Server, state_.tlsTimeoutMs());
    if (r.failure != TlsStream::Failure::None) {
        log_.AddLogLine(TrustTexts::TransferTlsFailed(c.address, r.failure, r.problem), LineSys);
        return;
    }
    if (c.connection->peerFingerprint() != partner) {
        log_.AddLogLine(TrustTexts::TransferKeyRefused(c.address), LineSys);
        c.connection->shutdown();
    }
}

void SessionServer::ReceiveChatMessage(AcceptedConnection& c, const HeaderBlock& block)
{
    // The body is read in every case, so the stream stays in step.
    const IncomingChat chat = IncomingChat::Read(*c.connection, block);
    const std::shared_ptr<TcpConnection> session = state_.serverSession();
    if (!session) {
        log_.AddLogLine(SessionTexts::ReceiveFailed(), LineSys);
        return;
    }
    // Only the partner that shook hands speaks in the log.
    if (session != c.connection)
        return;
    chat.log(log_);
}

void SessionServer::serverHandshake(AcceptedConnection& c, HeaderBlock& block)
{
    std::lock_guard handshake(handshakeMutex_);
    const bool allowed = !state_.hasServerSession();
    QByteArray peer = SjisCodec::encode(state_.peerName());
    // A new session starts from the own number; a refused Connect answers
    // with the running session's number and leaves it alone.
    std::atomic<int> number(allowed ? state_.ownProtocol() : state_.protocolNumber());
    const bool accepted = Commands::AnswerConnect(*c.connection, number, QByteArray(kToken), allowed, block, peer,
                                                  SjisCodec::encode(state_.userName()));
    if (accepted)
        state_.protocol() = number.load();
    if (!accepted) {
        log_.AddLogLine(SessionTexts::ConnectFailed(), LineSys);
        return;
    }
    const QString offered = SjisCodec::decode(peer);
    const SecureUpgrade::Peer who{number.load(), offered, c.address, SjisCodec::encode(state_.userName()), peer};
    const auto tls = state_.tlsContext();
    const SecureOutcome secure =
        SecureUpgrade::Run(*c.connection, TlsRole::Server, tls.get(), *state_.pins(), state_.tlsTimeoutMs(), who);
    if (!secure.proceed) {
        // No chat or file moves: the session never begins.
        log_.AddLogLine(secure.line, LineSys);
        ui_.post(ownerAlive_, [&owner = owner_, offered, address = c.address, secure] {
            owner.serverPeerRefused(offered, address, secure);
        });
        return;
    }
    server_.setPartnerAddress(c.address);
    const QString title = state_.beginServerSession(c.connection, c.address, offered, secure.peerKey);
    log_.setPeerName(title);
    log_.AddLogLine(SessionTexts::Connected(), LineSys);
    if (!ProtocolLevel::Extended(number))
        log_.AddLogLine(SessionTexts::OriginalPeer(), LineSys);
    log_.AddLogLine(secure.line, LineSys);
    ui_.post(ownerAlive_, [&owner = owner_, title, code = secure.code] { owner.serverSessionBegan(title, code); });
}

void SessionServer::ServerDisconnect(AcceptedConnection& c)
{
    const bool wasSession = state_.endServerSession(c.connection);
    if (wasSession) {
        {
            // Not while another peer shakes hands: its address may be set already.
            std::lock_guard handshake(handshakeMutex_);
            if (!state_.hasServerSession())
                server_.setPartnerAddress(QString());
        }
        log_.setPeerName(QString());
        log_.AddLogLine(SessionTexts::Disconnected(), LineSys);
    }
    ui_.post(ownerAlive_, [&owner = owner_, wasSession] { owner.serverConnectionEnded(wasSession); });
}

} // namespace corvid

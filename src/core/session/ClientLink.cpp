#include "core/session/ClientLink.h"

#include "core/protocol/Commands.h"
#include "core/protocol/SjisCodec.h"
#include "core/session/SessionState.h"
#include "core/protocol/Transport.h"
#include "core/session/UiHandOver.h"

namespace corvid {

ClientLink::ClientLink(Owner& owner, UiHandOver& ui, std::weak_ptr<void> ownerAlive, SessionState& state)
    : owner_(owner)
    , ui_(ui)
    , ownerAlive_(std::move(ownerAlive))
    , state_(state)
{
}

ClientLink::~ClientLink()
{
    alive_.end();
    thread_.stopAll();
}

void ClientLink::start(const QString& host, quint16 port, const QByteArray& ownName)
{
    host_ = host;
    port_ = port;
    thread_.start([this, ownName] { run(ownName); },
                  [this] {
                      cancel_ = true;
                      connection_->shutdown();
                  });
}

void ClientLink::run(QByteArray ownName)
{
    TcpConnection& c = *connection_;
    Handshake result = Handshake::Unreached;
    QByteArray peer;
    SecureOutcome secure;
    if (c.connectTo(host_, port_, Transport::kConnectTimeoutMs, nullptr, &cancel_) && !cancel_) {
        result = Commands::RequestConnect(c, state_.protocol(), QByteArray(kToken), peer, ownName)
                     ? Handshake::Accepted
                     : Handshake::Refused;
    }
    if (result == Handshake::Accepted) {
        // Nothing of the session moves before this: the peer's key is known
        // and judged, or the connection is over.
        const SecureUpgrade::Peer who{state_.protocolNumber(), SjisCodec::decode(peer), host_, ownName, peer};
        const auto tls = state_.tlsContext();
        secure = SecureUpgrade::Run(c, TlsRole::Client, tls.get(), *state_.pins(), state_.tlsTimeoutMs(), who);
        if (!secure.proceed)
            result = Handshake::Untrusted;
    }
    if (result != Handshake::Accepted)
        finished_ = true;
    ui_.post(ownerAlive_, [&owner = owner_, result, host = host_, port = port_, peer, secure] {
        owner.linkHandshakeEnded(result, host, port, peer, secure);
    });
    if (result == Handshake::Accepted)
        read();
}

void ClientLink::read()
{
    TcpConnection& c = *connection_;
    while (c.isOpen() && !cancel_) {
        HeaderBlock block;
        const int code = Commands::ReadCommand(c, block, Transport::kServerPollMs);
        if (code <= CmdOther)
            continue;
        IncomingChat chat;
        if (code == CmdSend && Header::GetContentType(block) == CtMessage)
            chat = IncomingChat::Read(c, block);
        // Only while this link is still the owner's.
        ui_.post(aliveToken_, [&owner = owner_, block, chat] { owner.linkBlockArrived(block, chat); });
    }
    finished_ = true;
}

} // namespace corvid

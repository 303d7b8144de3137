#include "core/session/ClientLink.h"

#include "core/protocol/Commands.h"
#include "core/protocol/Transport.h"
#include "core/session/UiHandOver.h"

namespace corvid {

ClientLink::ClientLink(Owner& owner, UiHandOver& ui, std::weak_ptr<void> ownerAlive, std::atomic<int>& protocol)
    : owner_(owner)
    , ui_(ui)
    , ownerAlive_(std::move(ownerAlive))
    , protocol_(protocol)
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
    if (c.connectTo(host_, port_, Transport::kConnectTimeoutMs, nullptr, &cancel_) && !cancel_) {
        result = Commands::RequestConnect(c, protocol_, QByteArray(kToken), peer, ownName) ? Handshake::Accepted
                                                                                          : Handshake::Refused;
    }
    if (result != Handshake::Accepted)
        finished_ = true;
    ui_.post(ownerAlive_, [&owner = owner_, result, host = host_, port = port_, peer] {
        owner.linkHandshakeEnded(result, host, port, peer);
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

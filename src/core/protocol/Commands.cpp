#include "core/protocol/Commands.h"

#include "core/protocol/Transport.h"

namespace corvid {

int Commands::ReadCommand(TcpConnection& c, HeaderBlock& b, int firstLineTimeoutMs)
{
    if (!Transport::ReadHeader(c, b, firstLineTimeoutMs))
        return CmdNothing;
    return Header::Classify(b);
}

bool Commands::ReadResult(TcpConnection& c)
{
    HeaderBlock b;
    return ReadCommand(c, b, Transport::kAnswerTimeoutMs) == CmdResult
        && Header::EqualsIgnoreCase(Header::Value(b, "Result"), "True");
}

bool Commands::SendResult(TcpConnection& c, const QByteArray& token, bool ok)
{
    HeaderBlock b;
    Header::MakeResultHeader(b, token, ok);
    return Transport::WriteHeader(c, b);
}

bool Commands::RequestConnect(TcpConnection& c, std::atomic<int>& protocol, const QByteArray& token,
                              QByteArray& peerName, const QByteArray& ownName)
{
    HeaderBlock b;
    Header::MakeConnectHeader(b, protocol.load(), token, ownName);
    if (!Transport::WriteHeader(c, b))
        return false;
    // The reply's command code does not matter; its Protocol does.
    if (!Transport::ReadHeader(c, b, Transport::kAnswerTimeoutMs))
        return false;
    const std::optional<qint32> number = Header::IntValue(b, "Protocol");
    if (!number)
        return false;
    protocol.store(*number);
    peerName = Header::Value(b, "Name");
    return Header::IsAccepted(b);
}

bool Commands::AnswerConnect(TcpConnection& c, std::atomic<int>& protocol, const QByteArray& token,
                             bool acceptAllowed, HeaderBlock& b, QByteArray& peerName, const QByteArray& ownName)
{
    bool accept = false;
    if (const std::optional<qint32> number = Header::IntValue(b, "Protocol")) {
        accept = true;
        // Only ever lowered; several connection threads may answer at once.
        int current = protocol.load();
        while (*number < current && !protocol.compare_exchange_weak(current, *number)) {
        }
    }
    QByteArray replyName;
    if (acceptAllowed) {
        replyName = ownName;
        peerName = Header::Value(b, "Name");
    } else {
        accept = false;
    }
    Header::MakeConnectHeader(b, protocol.load(), token, replyName);
    b.insert(1, QByteArray("Accept=") + Header::BoolText(accept));
    if (!Transport::WriteHeader(c, b)) {
        // The peer never heard the answer: there is no session to start.
        c.shutdown();
        return false;
    }
    if (!accept)
        c.shutdown();
    return accept;
}

} // namespace corvid

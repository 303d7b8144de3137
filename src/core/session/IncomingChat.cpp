#include "core/session/IncomingChat.h"

#include "core/protocol/Transport.h"
#include "core/session/ILogSink.h"
#include "core/session/SessionTexts.h"
#include "core/settings/Conversions.h"

namespace corvid {

IncomingChat IncomingChat::Read(TcpConnection& c, const HeaderBlock& block)
{
    IncomingChat r;
    const qint64 n = Conversions::ParseThousands(QString::fromLatin1(Header::Value(block, "ContentLength")));
    r.ok = n > 0 && Transport::ReadMessageText(c, n, r.text);
    return r;
}

void IncomingChat::log(ILogSink& sink) const
{
    sink.AddLogLine(ok ? text : SessionTexts::ReceiveFailed(), ok ? LineRecv : LineSys);
}

} // namespace corvid

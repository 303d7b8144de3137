#include "core/transfer/TransferEvents.h"

#include "core/protocol/TransferResultCode.h"
#include "core/transfer/TransferTexts.h"

namespace corvid {

QString TransferEvents::Text(int code)
{
    switch (code) {
    case RcSendStarted: return TransferTexts::SendStarted();
    case RcSent: return TransferTexts::Sent();
    case RcSendFailed: return TransferTexts::SendFailed();
    case RcReceiveStarted: return TransferTexts::ReceiveStarted();
    case RcReceived: return TransferTexts::Received();
    case RcReceiveFailed: return TransferTexts::ReceiveFailed();
    default: return {};
    }
}

std::optional<QString> TransferEvents::LogLine(int code, const QString& name,
                                               const std::array<bool, 6>& messageFlags, bool sendPressed)
{
    bool logged = false;
    if (code >= RcSendStarted && code <= RcSendFailed)
        logged = sendPressed && messageFlags[size_t(code - RcSendStarted)];
    else if (code >= RcReceiveStarted && code <= RcReceiveFailed)
        logged = messageFlags[size_t(3 + code - RcReceiveStarted)];
    if (!logged)
        return std::nullopt;
    return Text(code) + name;
}

} // namespace corvid

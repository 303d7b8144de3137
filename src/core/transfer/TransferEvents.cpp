#include "core/transfer/TransferEvents.h"

#include "core/protocol/TransferResultCode.h"

namespace corvid {

QString TransferEvents::Text(int code)
{
    switch (code) {
    case RcSendStarted: return QStringLiteral("ファイル送信開始：");
    case RcSent: return QStringLiteral("ファイル送信成功：");
    case RcSendFailed: return QStringLiteral("ファイル送信失敗：");
    case RcReceiveStarted: return QStringLiteral("ファイル受信開始：");
    case RcReceived: return QStringLiteral("ファイル受信成功：");
    case RcReceiveFailed: return QStringLiteral("ファイル受信失敗：");
    case RcVersionChecked: return QStringLiteral("バージョンチェック終了");
    case RcVersionCheckFailed: return QStringLiteral("バージョンチェック失敗");
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
    else if (code == RcVersionChecked || code == RcVersionCheckFailed)
        logged = true;
    if (!logged)
        return std::nullopt;
    return Text(code) + name;
}

} // namespace corvid

#pragma once
#include <QString>

namespace corvid {

// Everything the session shows the user in its own words: the window title
// without a partner and the system lines of the chat log.
class SessionTexts {
public:
    static constexpr const char* kAppTitle = "Corvid";

    static QString AppTitle() { return QString::fromLatin1(kAppTitle); }
    static QString Connected() { return QStringLiteral("接続成功"); }
    // After "接続成功" with a peer that speaks the original protocol.
    static QString OriginalPeer()
    {
        return QStringLiteral("相手は旧プロトコルです：2GB以上のファイルとフォルダは送受信できず、"
                              "受信ファイルの検証もできません");
    }
    static QString ConnectFailed() { return QStringLiteral("接続失敗"); }
    static QString ServerNotFound() { return QStringLiteral("サーバが見つかりません"); }
    static QString Disconnected() { return QStringLiteral("切断"); }
    static QString ReceiveFailed() { return QStringLiteral("メッセージ受信失敗"); }
    // Followed by the HTML of the message that did not go out.
    static QString SendFailed() { return QStringLiteral("メッセージ送信失敗："); }
};

} // namespace corvid

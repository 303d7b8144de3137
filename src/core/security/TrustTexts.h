#pragma once
#include "core/security/Fingerprint.h"
#include "core/security/TlsStream.h"

#include <QString>

namespace corvid {

// Every text of encryption and keys: system lines, captions, dialogs.
class TrustTexts {
public:
    // ---- system lines at each connect
    static QString Verified(const QString& code)
    {
        return QStringLiteral("暗号化して接続しました。相手の鍵は登録済みのものと一致しました（確認コード：%1）").arg(code);
    }
    static QString New(const QByteArray& fp, const QString& code)
    {
        return QStringLiteral("暗号化して接続しました。初めての相手の鍵を登録しました（指紋：%1、確認コード：%2）")
            .arg(Fingerprint::Grouped(fp), code);
    }
    static QString NotEncrypted()
    {
        return QStringLiteral("この接続は暗号化されていません（相手は旧プロトコルです）");
    }
    static QString KeyChanged(const QString& name, const QString& address, const QByteArray& pinned,
                              const QByteArray& offered)
    {
        return QStringLiteral("警告：%1（%2）の鍵が登録済みのものと違います。なりすましの恐れがあるため切断しました"
                              "（登録済みの指紋：%3、今回の指紋：%4）。相手に確かめてから、新しい鍵を受け入れてください")
            .arg(name, address, Fingerprint::Grouped(pinned), Fingerprint::Grouped(offered));
    }
    static QString Downgraded(const QString& name, const QString& address)
    {
        return QStringLiteral("警告：%1（%2）は以前は暗号化して接続した相手ですが、今回は暗号化しない旧プロトコルで"
                              "接続しようとしました。なりすましの恐れがあるため切断しました")
            .arg(name, address);
    }
    static QString InvitationMismatch(const QString& address, const QByteArray& expected, const QByteArray& offered)
    {
        return QStringLiteral("警告：%1 の鍵が招待の指紋と一致しないため切断しました（招待の指紋：%2、今回の指紋：%3）")
            .arg(address, Fingerprint::Grouped(expected), Fingerprint::Grouped(offered));
    }
    static QString TlsFailed(TlsStream::Failure f, CertProblem p)
    {
        return QStringLiteral("暗号化を開始できなかったため切断しました：%1").arg(Reason(f, p));
    }
    static QString ConfirmMismatch()
    {
        return QStringLiteral("暗号化後の確認で接続の内容が一致しないため切断しました");
    }
    static QString ConfirmIncomplete()
    {
        return QStringLiteral("相手が暗号化後の確認を終えなかったため切断しました（相手がこちらの鍵を受け入れなかった可能性があります）");
    }
    static QString PeerRefusedOurKey()
    {
        return QStringLiteral("相手がこちらの鍵を受け入れなかったため切断しました（相手の画面の警告を確かめてください）");
    }

    // ---- transfer connections of an encrypted session
    static QString TransferKeyRefused(const QString& address)
    {
        return QStringLiteral("セッションの相手と異なる鍵の転送接続を拒否しました（%1）").arg(address);
    }
    static QString TransferPlainRefused(const QString& address)
    {
        return QStringLiteral("暗号化されていない転送接続を拒否しました（%1）").arg(address);
    }
    static QString TransferTlsFailed(const QString& address, TlsStream::Failure f, CertProblem p)
    {
        return QStringLiteral("転送接続を暗号化できなかったため切断しました（%1）：%2").arg(address, Reason(f, p));
    }

    // ---- keys
    static QString KeyAccepted(const QString& name, const QString& address, const QByteArray& fp)
    {
        return QStringLiteral("%1（%2）の新しい鍵を登録しました（指紋：%3）").arg(name, address, Fingerprint::Grouped(fp));
    }
    static QString IdentityReplacedBroken(const QString& aside)
    {
        return QStringLiteral("鍵のファイルが読めないため、新しい鍵を作成しました。読めなかったファイルは %1 に残しました")
            .arg(aside);
    }
    static QString IdentityUnsaved(const QString& error)
    {
        return QStringLiteral("鍵のファイルを保存できません（%1）。この鍵は終了するまでしか使えません").arg(error);
    }
    static QString IdentityFailed(const QString& error)
    {
        return QStringLiteral("鍵を作成できません（%1）。暗号化できないため、旧プロトコルで接続します").arg(error);
    }
    static QString IdentityRenewed(const QByteArray& fp)
    {
        return QStringLiteral("新しい鍵を作成しました（指紋：%1）。これまでの相手には鍵が変わったと警告が表示されます")
            .arg(Fingerprint::Grouped(fp));
    }
    static QString InvitationRead(const QString& host, quint16 port)
    {
        return QStringLiteral("招待を読み込みました：%1（ポート %2）には招待の鍵を持つ相手とだけ接続します")
            .arg(host)
            .arg(port);
    }

    // ---- captions
    static QString FingerprintCaption() { return QStringLiteral("この端末の鍵の指紋"); }
    static QString CopyFingerprint() { return QStringLiteral("指紋をコピー"); }
    static QString CopyInvitation() { return QStringLiteral("招待リンクをコピー(&I)"); }
    static QString NewIdentityMenu() { return QStringLiteral("新しい鍵を作成(&K)..."); }
    static QString NewIdentityTitle() { return QStringLiteral("新しい鍵の作成"); }
    static QString NewIdentityWarning()
    {
        return QStringLiteral("新しい鍵を作成すると、これまでに接続した相手には「鍵が違う」と警告が表示され、"
                              "相手が新しい鍵を受け入れるまで接続できなくなります。\n\n"
                              "この端末をコピーした場合や、鍵が漏れた恐れがある場合にだけ作成してください。作成しますか？");
    }
    static QString KeyChangeTitle() { return QStringLiteral("相手の鍵が変わりました"); }
    static QString KeyChangeText(const QString& name, const QString& address, const QByteArray& pinned,
                                 const QByteArray& offered)
    {
        return QStringLiteral("%1（%2）の鍵が、登録済みのものと違います。\n\n登録済みの指紋：\n%3\n\n今回の指紋：\n%4\n\n"
                              "相手に指紋を読み上げてもらい、今回の指紋と一致したときだけ受け入れてください。")
            .arg(name, address, Fingerprint::Grouped(pinned), Fingerprint::Grouped(offered));
    }
    static QString AcceptNewKey() { return QStringLiteral("新しい鍵を受け入れる"); }
    static QString KeepOldKey() { return QStringLiteral("受け入れない"); }

    // ---- the main window's key controls
    static QString PinsUnreadable(const QString& error)
    {
        return QStringLiteral("登録済みの鍵のファイルが読めません（%1）。これまでの相手も初めての相手として扱われます。"
                              "ファイルは書き換えません")
            .arg(error);
    }
    static QString PinUnsaved(const QString& error)
    {
        return QStringLiteral("登録した鍵をファイルに保存できません（%1）。終了するまでは有効です").arg(error);
    }
    static QString IdentityRenewFailed(const QString& error)
    {
        return QStringLiteral("新しい鍵を作成できません（%1）。これまでの鍵を使い続けます").arg(error);
    }

private:
    static QString Reason(TlsStream::Failure f, CertProblem p)
    {
        switch (f) {
        case TlsStream::Failure::Timeout: return QStringLiteral("相手の応答が時間内にありません");
        case TlsStream::Failure::NotTls: return QStringLiteral("相手の応答が暗号化通信ではありません");
        case TlsStream::Failure::NoCertificate: return QStringLiteral("相手が鍵の証明書を示しません");
        case TlsStream::Failure::BadCertificate:
            if (p == CertProblem::Expired)
                return QStringLiteral("相手の証明書の期限が切れています");
            if (p == CertProblem::NotYetValid)
                return QStringLiteral("相手の証明書がまだ有効ではありません");
            return QStringLiteral("相手の証明書が壊れています");
        case TlsStream::Failure::Refused: return QStringLiteral("相手が暗号化を拒否しました");
        case TlsStream::Failure::Injected: return QStringLiteral("暗号化の開始前に余分なデータが届きました");
        case TlsStream::Failure::Closed:
        case TlsStream::Failure::None: break;
        }
        return QStringLiteral("接続が切れました");
    }
};

} // namespace corvid

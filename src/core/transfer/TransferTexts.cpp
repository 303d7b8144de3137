#include "core/transfer/TransferTexts.h"

#include "core/settings/Conversions.h"

namespace corvid {

namespace {

QString count(qint64 n)
{
    return Conversions::FormatThousands(n);
}

} // namespace

QString TransferTexts::SendStarted()
{
    return QStringLiteral("ファイル送信開始：");
}

QString TransferTexts::Sent()
{
    return QStringLiteral("ファイル送信成功：");
}

QString TransferTexts::SendFailed()
{
    return QStringLiteral("ファイル送信失敗：");
}

QString TransferTexts::ReceiveStarted()
{
    return QStringLiteral("ファイル受信開始：");
}

QString TransferTexts::Received()
{
    return QStringLiteral("ファイル受信成功：");
}

QString TransferTexts::ReceiveFailed()
{
    return QStringLiteral("ファイル受信失敗：");
}

QString TransferTexts::ReceiveFolderFull(const QString& name)
{
    return QStringLiteral("受信フォルダの空き容量が足りません：") + name;
}

QString TransferTexts::ListNotBuilt()
{
    return QStringLiteral("ファイルリスト作成失敗");
}

QString TransferTexts::ListCut(qint64 lines)
{
    return QStringLiteral("ファイルリストが長すぎるため、%1行で打ち切りました").arg(count(lines));
}

QString TransferTexts::ReceiveTooLarge(const QString& name)
{
    return QStringLiteral("2GB以上のファイルは受信できません：") + name;
}

QString TransferTexts::ReceiveBadSize(const QString& name)
{
    return QStringLiteral("サイズの正しくないファイルは受信できません：") + name;
}

QString TransferTexts::MoreRefused(qint64 n)
{
    return QStringLiteral("ほか%1件のファイルも受信できません").arg(count(n));
}

QString TransferTexts::ReceiveQueueFull(qint64 limit, qint64 notAppended)
{
    return QStringLiteral("受信リストが%1件に達したため、%2件のファイルを追加しませんでした")
        .arg(count(limit), count(notAppended));
}

QString TransferTexts::SendTooLarge(const QString& name)
{
    return QStringLiteral("2GB以上のファイルは送信できません：") + name;
}

QString TransferTexts::SendNameNotListable(const QString& name)
{
    return QStringLiteral("このファイル名は送信できません：") + name;
}

} // namespace corvid

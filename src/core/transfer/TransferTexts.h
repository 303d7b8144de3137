#pragma once
#include "core/settings/Conversions.h"

#include <QString>
#include <QtGlobal>

namespace corvid {

// Every line the transfer side shows the user, in one place. Counts are
// shown grouped in thousands.
class TransferTexts {
public:
    // The event table's lines; the file name follows each.
    static QString SendStarted() { return QStringLiteral("ファイル送信開始："); }
    static QString Sent() { return QStringLiteral("ファイル送信成功："); }
    static QString SendFailed() { return QStringLiteral("ファイル送信失敗："); }
    static QString ReceiveStarted() { return QStringLiteral("ファイル受信開始："); }
    static QString Received() { return QStringLiteral("ファイル受信成功："); }
    static QString ReceiveFailed() { return QStringLiteral("ファイル受信失敗："); }

    // A reception that failed because the receive folder's disk is full.
    static QString ReceiveFolderFull(const QString& name)
    {
        return QStringLiteral("受信フォルダの空き容量が足りません：") + name;
    }
    // A reception whose bytes are not the sender's (their digests differ).
    static QString ReceiveNotVerified(const QString& name)
    {
        return QStringLiteral("受信したファイルが送信元と一致しないため、破棄しました：") + name;
    }
    // A reception whose folder is blocked by a link or a file in the receive
    // folder: nothing is written through it.
    static QString ReceivePathBlocked(const QString& name)
    {
        return QStringLiteral("受信フォルダ内のリンクかファイルがフォルダの作成を妨げたため、受信しません：") + name;
    }
    // A row an original peer cannot be asked for.
    static QString NotForOriginalPeer(const QString& name)
    {
        return QStringLiteral("相手が旧プロトコルのため、2GB以上のファイルとフォルダ内のファイルは受信できません：")
            + name;
    }
    // "リスト送信" with an empty send queue.
    static QString ListNotBuilt() { return QStringLiteral("ファイルリスト作成失敗"); }

    // A received list: cut after `lines` lines; names refused for their
    // size, the first few by name and then a count; rows not appended
    // because the receive queue holds `limit` rows.
    static QString ListCut(qint64 lines)
    {
        return QStringLiteral("ファイルリストが長すぎるため、%1行で打ち切りました").arg(count(lines));
    }
    static QString ReceiveTooLarge(const QString& name)
    {
        return QStringLiteral("2GB以上のファイルは受信できません：") + name;
    }
    static QString ReceiveBadSize(const QString& name)
    {
        return QStringLiteral("サイズの正しくないファイルは受信できません：") + name;
    }
    // (protocol 2) A listed name the path rules refuse: absolute, "..",
    // empty or too long a part, a control character, too deep.
    static QString ReceiveNameRefused(const QString& name)
    {
        return QStringLiteral("このファイル名は受信できません：") + name;
    }
    static QString MoreRefused(qint64 n) { return QStringLiteral("ほか%1件のファイルも受信できません").arg(count(n)); }
    static QString ReceiveQueueFull(qint64 limit, qint64 notAppended)
    {
        return QStringLiteral("受信リストが%1件に達したため、%2件のファイルを追加しませんでした")
            .arg(count(limit), count(notAppended));
    }

    // A local file the send queue cannot take.
    static QString SendTooLarge(const QString& name) { return QStringLiteral("2GB以上のファイルは送信できません：") + name; }
    static QString SendNameNotListable(const QString& name)
    {
        return QStringLiteral("このファイル名は送信できません：") + name;
    }

    // A folder put into the send queue: how many of its files became rows,
    // and, when there are any, how many were listed already, could not be
    // sent or were past the most one folder adds (`cutAt`, 0 for none).
    static QString FolderAdded(const QString& folder, qint64 added, qint64 alreadyListed, qint64 skipped,
                               qint64 cutAt)
    {
        QString notes;
        const auto note = [&notes](const QString& text) { notes += (notes.isEmpty() ? u'（' : u'、') + text; };
        if (alreadyListed > 0)
            note(QStringLiteral("%1件は追加済み").arg(count(alreadyListed)));
        if (skipped > 0)
            note(QStringLiteral("送信できない%1件を除外").arg(count(skipped)));
        if (cutAt > 0)
            note(QStringLiteral("%1件で打ち切り").arg(count(cutAt)));
        if (!notes.isEmpty())
            notes += u'）';
        return QStringLiteral("フォルダのファイルを%1件追加しました").arg(count(added)) + notes + u'：' + folder;
    }
    static QString FolderNotRead(const QString& folder) { return QStringLiteral("フォルダを読み込めません：") + folder; }

    // A send row left out of the list for an original peer (protocol 1),
    // told the first time the row is left out.
    static QString LeftOutTooLarge(const QString& name)
    {
        return name + QStringLiteral(" は2GB以上のため、相手(旧プロトコル)には送信できません");
    }
    static QString LeftOutInFolder(const QString& name)
    {
        return name + QStringLiteral(" はフォルダ内のファイルのため、相手(旧プロトコル)には送信できません");
    }

private:
    static QString count(qint64 n) { return Conversions::FormatThousands(n); }
};

} // namespace corvid

#pragma once
#include <QString>
#include <QtGlobal>

namespace corvid {

// Every line the transfer side shows the user, in one place. Counts are
// shown grouped in thousands.
class TransferTexts {
public:
    // The event table's lines; the file name follows each.
    static QString SendStarted();
    static QString Sent();
    static QString SendFailed();
    static QString ReceiveStarted();
    static QString Received();
    static QString ReceiveFailed();

    // A reception that failed because the receive folder's disk is full.
    static QString ReceiveFolderFull(const QString& name);
    // "リスト送信" with an empty send queue.
    static QString ListNotBuilt();

    // A received list: cut after `lines` lines; names refused for their
    // size, the first few by name and then a count; rows not appended
    // because the receive queue holds `limit` rows.
    static QString ListCut(qint64 lines);
    static QString ReceiveTooLarge(const QString& name);
    static QString ReceiveBadSize(const QString& name);
    static QString MoreRefused(qint64 count);
    static QString ReceiveQueueFull(qint64 limit, qint64 notAppended);

    // A local file the send queue cannot take.
    static QString SendTooLarge(const QString& name);
    static QString SendNameNotListable(const QString& name);
};

} // namespace corvid

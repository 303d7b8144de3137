#pragma once
#include <QString>
#include <QStringList>

namespace corvid {

// The recent-peers list: at most ten captions "host:port name", most
// recent first. An IPv6 address is written in brackets, "[addr]:port name",
// so that its colons are not taken for the port's.
class RecentPeers {
public:
    static constexpr int kMaxEntries = 10;

    void AddRecentPeer(const QString& entry);
    const QStringList& entries() const { return entries_; }
    void clear() { entries_.clear(); }

    // The caption for a connection: "host:port name", or "[host]:port name"
    // when the host is an IPv6 address (it has a ":"; brackets it already
    // has are not doubled).
    static QString FormatEntry(const QString& host, quint16 port, const QString& name);
    // Splits an entry into the address before the first ":" and the port
    // after it up to the first blank (empty when there is no blank). An
    // entry starting "[addr]" gives the address inside the brackets, and the
    // port after "]:" up to the first blank. Unbracketed IPv6 entries from
    // older versions split as always, at their first ":".
    static void SplitEntry(const QString& entry, QString& host, QString& port);
    // Old entries were three fields separated by commas or blanks (a double-
    // quoted field may hold either); they become "f1:f2 f3". Others are kept.
    static QString ConvertOldEntry(const QString& entry);
    void convertOldEntries();

private:
    QStringList entries_;
};

} // namespace corvid

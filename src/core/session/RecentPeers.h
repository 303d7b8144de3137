#pragma once
#include <QString>
#include <QStringList>

namespace corvid {

// The recent-peers list: at most ten captions "host:port name", most
// recent first.
class RecentPeers {
public:
    static constexpr int kMaxEntries = 10;

    void AddRecentPeer(const QString& entry);
    const QStringList& entries() const { return entries_; }
    void clear() { entries_.clear(); }

    // Splits an entry into the address before the first ":" and the port
    // after it up to the first blank (empty when there is no blank).
    static void SplitEntry(const QString& entry, QString& host, QString& port);
    // Old entries were three fields separated by commas or blanks (a double-
    // quoted field may hold either); they become "f1:f2 f3". Others are kept.
    static QString ConvertOldEntry(const QString& entry);
    void convertOldEntries();

private:
    QStringList entries_;
};

} // namespace corvid

#include "core/session/RecentPeers.h"

#include <QRegularExpression>

namespace corvid {

void RecentPeers::AddRecentPeer(const QString& entry)
{
    if (entry.isEmpty())
        return;
    entries_.removeAll(entry);
    entries_.prepend(entry);
    while (entries_.size() > kMaxEntries)
        entries_.removeLast();
}

QString RecentPeers::FormatEntry(const QString& host, quint16 port, const QString& name)
{
    QString address = host;
    if (address.contains(QLatin1Char(':'))) {
        if (address.startsWith(QLatin1Char('[')) && address.endsWith(QLatin1Char(']')))
            address = address.mid(1, address.size() - 2);
        address = QLatin1Char('[') + address + QLatin1Char(']');
    }
    return address + QLatin1Char(':') + QString::number(port) + QLatin1Char(' ') + name;
}

void RecentPeers::SplitEntry(const QString& entry, QString& host, QString& port)
{
    const qsizetype firstBlank = entry.indexOf(QLatin1Char(' '));
    if (entry.startsWith(QLatin1Char('['))) {
        const qsizetype close = entry.indexOf(QLatin1Char(']'));
        // A "]" only in the name is no bracketed address.
        if (close > 0 && (firstBlank < 0 || close < firstBlank)) {
            host = entry.mid(1, close - 1);
            const bool hasPort = entry.mid(close + 1, 1) == QLatin1String(":");
            port = hasPort && firstBlank >= 0 ? entry.mid(close + 2, firstBlank - close - 2) : QString();
            return;
        }
    }
    const qsizetype colon = entry.indexOf(QLatin1Char(':'));
    if (colon < 0) {
        host = entry;
        port.clear();
        return;
    }
    host = entry.left(colon);
    const qsizetype blank = entry.indexOf(QLatin1Char(' '), colon + 1);
    port = blank < 0 ? QString() : entry.mid(colon + 1, blank - colon - 1);
}

QString RecentPeers::ConvertOldEntry(const QString& entry)
{
    // An entry already in the new form (a ":" in its first field) is left
    // alone, so a peer name with a blank in it is not taken apart.
    const qsizetype firstSep = entry.indexOf(QRegularExpression(QStringLiteral("[, ]")));
    const qsizetype colon = entry.indexOf(QLatin1Char(':'));
    if (colon >= 0 && (firstSep < 0 || colon < firstSep))
        return entry;
    // Comma/blank separated fields; quotes group a field.
    QStringList fields;
    QString field;
    bool inQuotes = false;
    bool haveField = false;
    for (qsizetype i = 0; i < entry.size(); ++i) {
        const QChar ch = entry.at(i);
        if (inQuotes) {
            if (ch == QLatin1Char('"')) {
                if (i + 1 < entry.size() && entry.at(i + 1) == QLatin1Char('"')) {
                    field += ch;
                    ++i;
                } else {
                    inQuotes = false;
                }
            } else {
                field += ch;
            }
        } else if (ch == QLatin1Char('"')) {
            inQuotes = true;
            haveField = true;
        } else if (ch == QLatin1Char(',') || ch == QLatin1Char(' ')) {
            if (haveField || ch == QLatin1Char(','))
                fields << field;
            field.clear();
            haveField = false;
        } else {
            field += ch;
            haveField = true;
        }
    }
    if (haveField)
        fields << field;
    if (fields.size() != 3)
        return entry;
    return fields[0] + QLatin1Char(':') + fields[1] + QLatin1Char(' ') + fields[2];
}

void RecentPeers::convertOldEntries()
{
    for (QString& e : entries_)
        e = ConvertOldEntry(e);
}

} // namespace corvid

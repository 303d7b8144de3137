#include "core/security/Invitation.h"

#include "core/security/Fingerprint.h"

namespace corvid {

namespace {

constexpr qsizetype kMaxHostLength = 253;

bool isHexDigit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// Hex digits, colons and an IPv4 tail; no zone (it means nothing on the
// partner's machine).
bool isIpv6Text(const QString& host)
{
    if (!host.contains(u':'))
        return false;
    for (const QChar c : host)
        if (!isHexDigit(c) && c != u':' && c != u'.')
            return false;
    return true;
}

// A name or an IPv4 address; letters of any script for names the resolver
// may know. Whatever could end the host or start another part is refused.
bool isHostName(const QString& host)
{
    for (const QChar c : host)
        if (!c.isLetterOrNumber() && c != u'-' && c != u'.' && c != u'_')
            return false;
    return true;
}

std::optional<quint16> parsePort(const QString& text)
{
    if (text.isEmpty() || text.size() > 5)
        return std::nullopt;
    uint value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + uint(c.unicode() - u'0');
    }
    if (value < 1 || value > 65535)
        return std::nullopt;
    return quint16(value);
}

} // namespace

QString Invitation::Format(const QString& host, quint16 port, const QByteArray& fp)
{
    const bool bracket = host.contains(u':') && !host.startsWith(u'[');
    return QLatin1String(Scheme) + (bracket ? u'[' + host + u']' : host) + u':'
        + QString::number(port) + u'#' + Fingerprint::Hex(fp);
}

std::optional<Invitation> Invitation::Parse(const QString& text)
{
    const QString line = text.trimmed();
    const QLatin1String scheme(Scheme);
    if (!line.startsWith(scheme, Qt::CaseInsensitive))
        return std::nullopt;
    const qsizetype hash = line.indexOf(u'#', scheme.size());
    if (hash < 0)
        return std::nullopt;
    const QString authority = line.mid(scheme.size(), hash - scheme.size());
    const auto fp = Fingerprint::Parse(line.mid(hash + 1));
    if (!fp)
        return std::nullopt;

    QString host;
    QString port;
    if (authority.startsWith(u'[')) {
        const qsizetype close = authority.indexOf(u']');
        if (close < 0 || authority.mid(close + 1, 1) != u":")
            return std::nullopt;
        host = authority.mid(1, close - 1);
        port = authority.mid(close + 2);
        if (!isIpv6Text(host))
            return std::nullopt;
    } else {
        const qsizetype colon = authority.lastIndexOf(u':');
        if (colon < 0)
            return std::nullopt;
        host = authority.left(colon);
        port = authority.mid(colon + 1);
        // An IPv6 address without brackets lands here with colons left.
        if (!isHostName(host))
            return std::nullopt;
    }
    const auto portNumber = parsePort(port);
    if (host.isEmpty() || host.size() > kMaxHostLength || !portNumber)
        return std::nullopt;
    return Invitation{ host, *portNumber, *fp };
}

} // namespace corvid

#include "core/netenv/AddressDiscovery.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace corvid {

QString AddressDiscovery::GetLocalHostName()
{
    char buf[512] = {};
    if (::gethostname(buf, sizeof buf) != 0)
        return QString();
    // A name that fills the buffer may come without its terminator.
    buf[sizeof buf - 1] = '\0';
    return QString::fromUtf8(buf);
}

QString AddressDiscovery::GetLocalAddress()
{
    const QString host = GetLocalHostName();
    if (host.isEmpty())
        return QString();
    // The host-name lookup keeps the resolver's own order (getaddrinfo would
    // sort the addresses), so the first entry is the resolver's first.
    hostent entry {};
    hostent* result = nullptr;
    int err = 0;
    std::vector<char> buf(8192);
    const QByteArray name = host.toUtf8();
    while (::gethostbyname_r(name.constData(), &entry, buf.data(), buf.size(), &result, &err) == ERANGE
           && buf.size() < (1u << 20))
        buf.resize(buf.size() * 2);
    if (!result || result->h_addrtype != AF_INET || !result->h_addr_list || !result->h_addr_list[0])
        return QString();
    char text[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, result->h_addr_list[0], text, sizeof text))
        return QString();
    return QString::fromLatin1(text);
}

bool AddressDiscovery::IsPrivateAddress(const QString& address)
{
    if (address.startsWith(QLatin1String("10.")) || address.startsWith(QLatin1String("192.168")))
        return true;
    if (!address.startsWith(QLatin1String("172.")))
        return false;
    const qsizetype start = 4;
    qsizetype end = address.indexOf(QLatin1Char('.'), start);
    if (end < 0)
        end = address.size();
    const QStringView second = QStringView(address).mid(start, end - start);
    if (second.isEmpty() || second.size() > 9)
        return false;
    int value = 0;
    for (const QChar c : second) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value >= 16 && value <= 31;
}

} // namespace corvid

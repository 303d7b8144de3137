#include "core/netenv/AddressDiscovery.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

namespace corvid {

namespace {

struct AddrInfoFree {
    void operator()(addrinfo* p) const { ::freeaddrinfo(p); }
};

} // namespace

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
    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    if (::getaddrinfo(host.toUtf8().constData(), nullptr, &hints, &raw) != 0 || !raw)
        return QString();
    const std::unique_ptr<addrinfo, AddrInfoFree> list(raw);
    for (const addrinfo* ai = list.get(); ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || !ai->ai_addr)
            continue;
        const auto* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
        char text[INET_ADDRSTRLEN] = {};
        if (!::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text))
            return QString();
        return QString::fromLatin1(text);
    }
    return QString();
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

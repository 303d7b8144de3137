#include "core/netenv/AddressDiscovery.h"

#include "core/protocol/DetachedLookup.h"
#include "core/protocol/HostResolver.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

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

namespace {

// The lookup of this machine's name, owned by whoever lets go of it last:
// the caller, or the helper when the caller gave up.
class LocalAddressJob : public DetachedLookup::Job {
public:
    LocalAddressJob(std::shared_ptr<IHostResolver> resolver, QByteArray name)
        : resolver_(std::move(resolver))
        , name_(std::move(name))
    {
    }
    void run() override { address_ = resolver_->firstIpv4(name_); }
    const QString& address() const { return address_; }

private:
    std::shared_ptr<IHostResolver> resolver_;
    const QByteArray name_;
    QString address_;
};

} // namespace

QString AddressDiscovery::GetLocalAddress(int limitMs, const std::atomic<bool>* cancel,
                                          const std::shared_ptr<IHostResolver>& resolver)
{
    const QString host = GetLocalHostName();
    if (host.isEmpty())
        return QString();
    auto job = std::make_shared<LocalAddressJob>(resolver ? resolver : IHostResolver::system(), host.toUtf8());
    if (DetachedLookup::run(job, limitMs, cancel) != DetachedLookup::Outcome::Done)
        return QString();
    return job->address();
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

namespace {

bool isGlobal(const in6_addr& a)
{
    return (a.s6_addr[0] & 0xE0) == 0x20;  // 2000::/3, the global unicast range
}

} // namespace

bool AddressDiscovery::IsGlobalIPv6(const QString& address)
{
    in6_addr a{};
    return inet_pton(AF_INET6, address.toLatin1().constData(), &a) == 1 && isGlobal(a);
}

QString AddressDiscovery::GetGlobalIPv6Address()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return {};
    QString found;
    for (const ifaddrs* i = list; i && found.isEmpty(); i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET6 || !(i->ifa_flags & IFF_UP))
            continue;
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(i->ifa_addr)->sin6_addr;
        char text[INET6_ADDRSTRLEN] = {};
        if (isGlobal(a) && inet_ntop(AF_INET6, &a, text, sizeof text))
            found = QString::fromLatin1(text);
    }
    freeifaddrs(list);
    return found;
}

} // namespace corvid

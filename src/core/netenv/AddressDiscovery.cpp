#include "core/netenv/AddressDiscovery.h"

#include "core/protocol/DetachedLookup.h"
#include "core/protocol/HostResolver.h"

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

} // namespace corvid

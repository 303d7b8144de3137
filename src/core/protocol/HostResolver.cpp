#include "core/protocol/HostResolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <vector>

namespace corvid {
namespace {

class SystemResolver : public IHostResolver {
public:
    int resolve(const char* name, const char* service, const addrinfo* hints, addrinfo** list) override
    {
        return ::getaddrinfo(name, service, hints, list);
    }
    void release(addrinfo* list) override { ::freeaddrinfo(list); }
    QString firstIpv4(const QByteArray& name) override
    {
        // The host-name lookup keeps the resolver's own order (getaddrinfo
        // would sort the addresses), so the first entry is the resolver's
        // first.
        hostent entry{};
        hostent* result = nullptr;
        int err = 0;
        std::vector<char> buf(8192);
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
};

} // namespace

std::shared_ptr<IHostResolver> IHostResolver::system()
{
    // A helper thread still in a lookup at exit keeps its own reference.
    static const std::shared_ptr<IHostResolver> resolver = std::make_shared<SystemResolver>();
    return resolver;
}

} // namespace corvid

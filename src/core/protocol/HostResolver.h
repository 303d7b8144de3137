#pragma once
#include <QByteArray>
#include <QString>

#include <memory>

struct addrinfo;

namespace corvid {

// What the program asks of the name service. The system's is the one in
// use; tests put in one that answers late or never. Calls may come from
// helper threads that outlive the caller, so a resolver is always held by
// shared_ptr.
class IHostResolver {
public:
    virtual ~IHostResolver() = default;
    // getaddrinfo's contract: 0 and a list to give back with release(), or
    // an EAI_ code.
    virtual int resolve(const char* name, const char* service, const addrinfo* hints, addrinfo** list) = 0;
    virtual void release(addrinfo* list) = 0;
    // The first IPv4 address the name service lists for a host name, in its
    // own order (not sorted), as dotted text; empty when there is none.
    virtual QString firstIpv4(const QByteArray& name) = 0;

    // The system's name service (hosts file, DNS, ...).
    static std::shared_ptr<IHostResolver> system();
};

} // namespace corvid

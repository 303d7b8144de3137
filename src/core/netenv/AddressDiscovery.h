#pragma once
#include <QString>

#include <atomic>
#include <memory>

namespace corvid {

class IHostResolver;

// This machine's own names and addresses. Every call does a fresh lookup.
class AddressDiscovery {
public:
    // How long a caller waits for the name service to name this machine.
    static constexpr int kLookupLimitMs = 3000;

    // The host name, or empty when it is not available.
    static QString GetLocalHostName();
    // The first IPv4 address the resolver lists for the host name, as dotted
    // text; empty when the lookup fails, takes longer than limitMs, or
    // `cancel` turns true. The lookup runs on a helper thread (see
    // DetachedLookup), so the wait really ends there. Use LocalAddressLookup
    // on the UI thread.
    static QString GetLocalAddress(int limitMs = kLookupLimitMs, const std::atomic<bool>* cancel = nullptr,
                                   const std::shared_ptr<IHostResolver>& resolver = {});
    // True for text starting with "10." or "192.168", or "172." followed by a
    // number from 16 to 31 as the second component. Text rules only.
    static bool IsPrivateAddress(const QString& address);

    // A global IPv6 address of this machine's interfaces (2000::/3: not
    // loopback, link-local, unique-local or IPv4-mapped), where a peer can
    // reach it without a router mapping; empty when there is none. Reads
    // the interface list only, no name service.
    static QString GetGlobalIPv6Address();
    static bool IsGlobalIPv6(const QString& address);
};

} // namespace corvid

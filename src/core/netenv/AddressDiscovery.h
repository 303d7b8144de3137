#pragma once
#include <QString>

namespace corvid {

// This machine's own names and addresses. Every call does a fresh lookup.
class AddressDiscovery {
public:
    // The host name, or empty when it is not available.
    static QString GetLocalHostName();
    // The first IPv4 address the resolver lists for the host name, as dotted
    // text; empty when the lookup fails. Blocks until the resolver answers.
    static QString GetLocalAddress();
    // True for text starting with "10." or "192.168", or "172." followed by a
    // number from 16 to 31 as the second component. Text rules only.
    static bool IsPrivateAddress(const QString& address);
};

} // namespace corvid

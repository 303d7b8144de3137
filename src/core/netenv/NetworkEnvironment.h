#pragma once
#include <QString>

namespace corvid {

// Process-wide network values set at start-up and read from any thread.
class NetworkEnvironment {
public:
    // The WAN address: dotted IPv4 text or empty.
    static QString wanAddress();
    static void setWanAddress(const QString& address);
};

} // namespace corvid

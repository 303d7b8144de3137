#pragma once
#include <QString>

namespace corvid {

// Process-wide network values set at start-up and read from any thread.
class NetworkEnvironment {
public:
    // The WAN address: dotted IPv4 text or empty.
    static QString wanAddress();
    static void setWanAddress(const QString& address);
    // The download link of the last update check: the version file's URL
    // or the maker's page; empty until a check has read a version file.
    // UPnPReady: a router was found at start-up.
    static bool upnpReady();
    static void setUPnPReady(bool ready);
    static QString downloadLink();
    static void setDownloadLink(const QString& link);
};

} // namespace corvid

#pragma once
#include <QString>

namespace corvid {

// Every line the router client and the update check show the user, in one
// place.
class NetEnvTexts {
public:
    // The router search at start-up found no router.
    static QString SearchFailed();
    // The listening port could not be mapped on the router.
    static QString MappingFailed();
    // The caption of the link line to a newer version.
    static QString NewerVersion();
    // The update check's result codes 11 and 12.
    static QString VersionChecked();
    static QString VersionCheckFailed();
};

} // namespace corvid

#pragma once
#include <QString>

namespace corvid {

// Every line the router client and the update check show the user, in one
// place.
class NetEnvTexts {
public:
    // The router search at start-up found no router.
    static QString SearchFailed() { return QStringLiteral("UPnP検出失敗"); }
    // The listening port could not be mapped on the router.
    static QString MappingFailed() { return QStringLiteral("ポートマッピング追加失敗"); }
    // The caption of the link line to a newer version.
    static QString NewerVersion() { return QStringLiteral("最新バージョンが利用できます"); }
    // The update check's result codes 11 and 12.
    static QString VersionChecked() { return QStringLiteral("バージョンチェック終了"); }
    static QString VersionCheckFailed() { return QStringLiteral("バージョンチェック失敗"); }
};

} // namespace corvid

#include "core/netenv/NetEnvTexts.h"

namespace corvid {

QString NetEnvTexts::SearchFailed()
{
    return QStringLiteral("UPnP検出失敗");
}

QString NetEnvTexts::MappingFailed()
{
    return QStringLiteral("ポートマッピング追加失敗");
}

QString NetEnvTexts::NewerVersion()
{
    return QStringLiteral("最新バージョンが利用できます");
}

QString NetEnvTexts::VersionChecked()
{
    return QStringLiteral("バージョンチェック終了");
}

QString NetEnvTexts::VersionCheckFailed()
{
    return QStringLiteral("バージョンチェック失敗");
}

} // namespace corvid

#include "core/settings/SettingsLocation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace corvid {

namespace {

QString withSlash(const QString& dir)
{
    if (dir.isEmpty() || dir.endsWith(QLatin1Char('/')))
        return dir;
    return dir + QLatin1Char('/');
}

} // namespace

bool SettingsLocation::isWritableFolder(const QString& dir)
{
    if (dir.isEmpty() || !QFileInfo(dir).isDir())
        return false;
    // A unique name, so two instances starting together do not collide, and
    // removed when the object goes.
    QTemporaryFile probe(withSlash(dir) + QStringLiteral(".corvid-write-test-XXXXXX"));
    return probe.open();
}

bool SettingsLocation::isSystemFolder(const QString& dir)
{
    static const QStringList system{QStringLiteral("/bin"), QStringLiteral("/sbin"), QStringLiteral("/usr/bin"),
                                    QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/bin"),
                                    QStringLiteral("/usr/games")};
    return system.contains(QDir::cleanPath(dir));
}

SettingsLocation SettingsLocation::decide(const QString& exeDir, const UserFolders& user)
{
    SettingsLocation l;
    if (!isSystemFolder(exeDir) && isWritableFolder(exeDir)) {
        l.portable_ = true;
        l.folder_ = withSlash(QDir::cleanPath(exeDir));
        l.receiveFolder_ = l.folder_;
        return l;
    }
    l.portable_ = false;
    l.folder_ = withSlash(QDir::cleanPath(user.config));
    if (!QDir().mkpath(l.folder_))
        l.folderError_ = QStringLiteral("cannot create the folder %1").arg(l.folder_);
    const bool haveDownload = !user.download.isEmpty() && QFileInfo(user.download).isDir();
    l.receiveFolder_ = withSlash(QDir::cleanPath(haveDownload ? user.download : user.home));
    return l;
}

SettingsLocation::UserFolders SettingsLocation::standardUserFolders()
{
    UserFolders u;
    // GenericConfigLocation is $XDG_CONFIG_HOME (or ~/.config); the folder
    // name is the program's, independent of how the application is named.
    u.config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/corvid");
    u.download = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    u.home = QStandardPaths::writableLocation(QStandardPaths::HomeLocation);
    return u;
}

SettingsLocation SettingsLocation::forThisProgram()
{
    return decide(QCoreApplication::applicationDirPath(), standardUserFolders());
}

} // namespace corvid

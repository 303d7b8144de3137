#include "core/settings/AppSettings.h"
#include "core/settings/IniFile.h"
#include "core/settings/SettingsLocation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "settings/PrintQt.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace corvid;

namespace {

// A full settings file in the form the program writes it: loading and
// saving it again must give the same bytes.
const QByteArray kFullFile =
    "[MainForm]\nLeft=10\nTop=20\nHeight=400\nWidth=300\n"
    "[Option]\nUserName=Aki\nRecvDir=/data/in/\nAlpha=0\nAlphaValue=255\n"
    "FormColor=#000000\nUserColor=#FFFFFF\nRecvColor=#FFFF00\nSysColor=#C0C0C0\nLinkColor=#0080FF\n"
    "FontName=IPAGothic\nFontSize=11\nUseUPnP=0\nVerCheck=1\n"
    "[Message]\nsdBegin=1\nsdSuccess=1\nsdFail=0\nrvBegin=1\nrvSuccess=1\nrvFail=1\n"
    "[Sound]\nMessage=1\nOnType=0\nSend=0\nRecv=1\nSys=0\nSoundMsg=/snd/m.wav\nSoundType=\nSoundSend=\nCase=0\n"
    "[Transfer]\nBufSize=64\nPrioritySize=5\nCheckMin=3\nCheckTimer=1\nAutoAccept=0\nAutoRecv=1\n"
    "[Recently]\n0=[::1]:6256 Ben\n1=192.168.1.5:6256 Taro\n"
    "[Extra]\nKeptByAnotherVersion=yes\n";

bool write(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray read(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A home with the user's folders, and an executable folder beside it.
struct Folders {
    Folders()
    {
        user.config = root.filePath(QStringLiteral("home/.config/corvid"));
        user.download = root.filePath(QStringLiteral("home/Downloads"));
        user.home = root.filePath(QStringLiteral("home"));
        QDir(root.path()).mkpath(QStringLiteral("home/Downloads"));
        QDir(root.path()).mkpath(QStringLiteral("opt/corvid"));
        exe = root.filePath(QStringLiteral("opt/corvid"));
        // Under a regular file no one can create anything, root included.
        write(root.filePath(QStringLiteral("plainfile")), "x");
        unwritableExe = root.filePath(QStringLiteral("plainfile/bin"));
    }
    QString slash(const QString& dir) const { return dir + QLatin1Char('/'); }

    QTemporaryDir root;
    SettingsLocation::UserFolders user;
    QString exe;
    QString unwritableExe;
};

TEST(SettingsLocation, WritableExecutableFolderKeepsEverythingBesideItEvenWithAConfigFile)
{
    Folders f;
    ASSERT_TRUE(QDir().mkpath(f.user.config));
    ASSERT_TRUE(write(f.exe + "/corvid.ini", "[Option]\nUserName=Beside\n"));
    ASSERT_TRUE(write(f.user.config + "/corvid.ini", "[Option]\nUserName=Config\n"));

    const SettingsLocation l = SettingsLocation::decide(f.exe, f.user);
    EXPECT_TRUE(l.portable());
    EXPECT_EQ(l.settingsFile(), f.exe + "/corvid.ini");
    EXPECT_EQ(l.receiveFolder(), f.slash(f.exe));
    EXPECT_EQ(l.filePath("identity.key"), f.exe + "/identity.key");
    EXPECT_EQ(IniFile(l.settingsFile()).readString("Option", "UserName", {}), "Beside");
    // The write probe leaves nothing behind.
    EXPECT_EQ(QDir(f.exe).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{"corvid.ini"});
}

TEST(SettingsLocation, UnwritableExecutableFolderUsesTheConfigFolderAndLosesNothing)
{
    Folders f;
    ASSERT_TRUE(QDir().mkpath(f.user.config));
    const QString configIni = f.user.config + "/corvid.ini";
    ASSERT_TRUE(write(configIni, kFullFile));

    const SettingsLocation l = SettingsLocation::decide(f.unwritableExe, f.user);
    EXPECT_FALSE(l.portable());
    EXPECT_TRUE(l.folderError().isEmpty()) << qPrintable(l.folderError());
    EXPECT_EQ(l.settingsFile(), configIni);
    EXPECT_EQ(l.filePath("identity.key"), f.user.config + "/identity.key");
    EXPECT_EQ(l.receiveFolder(), f.slash(f.user.download));

    // A start and a close as the main window does them.
    IniFile ini(l.settingsFile());
    AppSettings s(l.receiveFolder());
    s.loadAtStart(ini, "host", l.receiveFolder());
    EXPECT_EQ(s.UserName, "Aki");
    EXPECT_EQ(s.RecvDir, "/data/in/");  // the file's choice, not the default
    const WindowBounds bounds = AppSettings::loadMainForm(ini);
    const ListTimerSettings timer = AppSettings::loadListTimer(ini);
    const QStringList recent = AppSettings::loadRecentPeers(ini);
    QStringList menu;
    for (const QString& e : recent)
        menu.prepend(e);
    QString error;
    ASSERT_TRUE(s.saveOptions(ini, timer, &error)) << qPrintable(error);
    ASSERT_TRUE(AppSettings::saveMainForm(ini, bounds, &error)) << qPrintable(error);
    ASSERT_TRUE(AppSettings::saveRecentPeers(ini, menu, &error)) << qPrintable(error);
    EXPECT_EQ(read(configIni), kFullFile);
}

TEST(SettingsLocation, FirstStartOfAnInstalledCopyCreatesTheConfigFolder)
{
    Folders f;
    ASSERT_TRUE(QDir(f.user.download).removeRecursively());

    const SettingsLocation l = SettingsLocation::decide(f.unwritableExe, f.user);
    EXPECT_FALSE(l.portable());
    EXPECT_TRUE(QFileInfo(f.user.config).isDir());
    EXPECT_TRUE(l.folderError().isEmpty()) << qPrintable(l.folderError());
    // No download folder: received files go home rather than nowhere.
    EXPECT_EQ(l.receiveFolder(), f.slash(f.user.home));
    IniFile ini(l.settingsFile());
    ASSERT_TRUE(ini.writeString("Option", "UserName", "Aki"));
    EXPECT_EQ(IniFile(f.user.config + "/corvid.ini").readString("Option", "UserName", {}), "Aki");

    // A packaged copy in /usr/bin is installed even for root, who could
    // write there: its settings go to the configuration folder too.
    const SettingsLocation packaged = SettingsLocation::decide(QStringLiteral("/usr/bin/"), f.user);
    EXPECT_FALSE(packaged.portable());
    EXPECT_EQ(packaged.settingsFile(), f.slash(f.user.config) + "corvid.ini");
}

TEST(SettingsLocation, AConfigFolderThatCannotBeMadeIsReported)
{
    Folders f;
    f.user.config = f.root.filePath("plainfile/corvid");
    const SettingsLocation l = SettingsLocation::decide(f.unwritableExe, f.user);
    EXPECT_FALSE(l.portable());
    EXPECT_TRUE(l.folderError().contains(f.user.config)) << qPrintable(l.folderError());
    QString error;
    EXPECT_FALSE(IniFile(l.settingsFile()).writeString("Option", "UserName", "Aki", &error));
    EXPECT_FALSE(error.isEmpty());
}

// Folders a file cannot be created in, for reasons that hold for root too,
// and one whose permission bits forbid it (not for root, who ignores them).
TEST(SettingsLocation, WritabilityIsTriedNotGuessed)
{
    Folders f;
    EXPECT_TRUE(SettingsLocation::isWritableFolder(f.exe));
    EXPECT_FALSE(SettingsLocation::isWritableFolder(f.unwritableExe));
    EXPECT_FALSE(SettingsLocation::isWritableFolder(f.root.filePath("missing")));
    EXPECT_FALSE(SettingsLocation::isWritableFolder(QString()));
    EXPECT_FALSE(SettingsLocation::isWritableFolder(QStringLiteral("/proc")));

    const QString locked = f.root.filePath("locked");
    ASSERT_TRUE(QDir().mkpath(locked));
    ASSERT_EQ(::chmod(QFile::encodeName(locked).constData(), 0555), 0);
    if (::geteuid() == 0) {
        // Root may write there whatever the bits say, and so may the program.
        EXPECT_TRUE(SettingsLocation::isWritableFolder(locked));
    } else {
        EXPECT_FALSE(SettingsLocation::isWritableFolder(locked));
        EXPECT_FALSE(SettingsLocation::decide(locked, f.user).portable());
    }
    ::chmod(QFile::encodeName(locked).constData(), 0755);
}

} // namespace

#pragma once
#include <QString>

namespace corvid {

// Where the program keeps its files: the settings file, anything else it
// keeps (a key file later), and where received files go by default.
//
// A copy whose executable folder can be written to is portable and keeps
// everything beside the executable, as it always has. An installed copy
// (say /usr/bin) cannot write there, so it keeps its files in the user's
// configuration folder and receives into the user's download folder.
class SettingsLocation {
public:
    static constexpr const char* FileName = "corvid.ini";

    // The user's folders the rule falls back to.
    struct UserFolders {
        QString config;   // the program's configuration folder, e.g. ~/.config/corvid
        QString download; // the user's download folder
        QString home;     // used when the download folder does not exist
    };

    // Applies the rule to the given folders. When the executable folder is
    // not writable the configuration folder is created; if that fails too,
    // folderError() says why and the paths still point there (writes will
    // then report their own errors, as for any unwritable settings file).
    static SettingsLocation decide(const QString& exeDir, const UserFolders& user);
    // The rule for the running program: its executable's folder and the
    // user's folders from the desktop's standard locations.
    static SettingsLocation forThisProgram();
    // $XDG_CONFIG_HOME/corvid, the download folder and home as the desktop
    // reports them.
    static UserFolders standardUserFolders();

    // A folder the system's packages install programs into. A copy there is
    // installed even when the user (root) could write beside it: settings
    // of a program run by root never land in /usr/bin.
    static bool isSystemFolder(const QString& dir);
    // True when a file can be created in `dir` right now. Decided by creating
    // and removing one, since permission bits do not tell (root may write
    // anywhere the bits forbid, and a read-only mount refuses everyone).
    static bool isWritableFolder(const QString& dir);

    // Files are kept beside the executable.
    bool portable() const { return portable_; }
    // The folder for kept files, ending with "/".
    const QString& folder() const { return folder_; }
    // A kept file's full path.
    QString filePath(const QString& name) const { return folder_ + name; }
    QString settingsFile() const { return filePath(QLatin1String(FileName)); }
    // The default receive folder, ending with "/".
    const QString& receiveFolder() const { return receiveFolder_; }
    // Empty unless the configuration folder could not be created.
    const QString& folderError() const { return folderError_; }

private:
    bool portable_ = true;
    QString folder_;
    QString receiveFolder_;
    QString folderError_;
};

} // namespace corvid

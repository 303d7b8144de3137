#pragma once
#include <QString>

#include <vector>

namespace corvid {

// A regular file found under a folder.
struct FoundFile {
    // Its path below the folder's parent, "/" between components: the
    // folder's own name comes first ("photos/2026/a.jpg").
    QString entry;
    qint64 size = 0;
};

// What a walk of a folder found.
struct FolderContents {
    bool opened = false;  // false: no folder that could be read
    QString parent;       // the folder's parent, absolute, ending in "/"
    QString name;         // the folder's own name
    // Regular files of one byte or more, in the order of their paths
    // (component by component, bytes compared), so that one tree always
    // gives the same rows in the same order.
    std::vector<FoundFile> files;
    int empty = 0;       // empty files
    int notOffered = 0;  // symbolic links, special files, folders that cannot be
                         // read or are too deep, names in no known encoding
    bool cut = false;    // more files than the walk takes
};

// Walks a local folder for the files to offer. Nothing below the folder is
// followed through a symbolic link (each level is opened relative to its
// parent with O_NOFOLLOW, every entry looked at with lstat's eyes), so a
// link can neither add files from elsewhere nor make the walk go round in
// circles. The folder itself may be reached through a link: the user chose it.
class FolderScan {
public:
    // The most files one walk takes.
    static constexpr int kMaxFiles = 100000;

    static FolderContents Scan(const QString& folder, int maxFiles = kMaxFiles);
};

} // namespace corvid

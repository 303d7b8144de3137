#pragma once
#include "core/protocol/LocalFile.h"

#include <QString>

namespace corvid {

// Picks and prepares the local file of a reception: resumes a hidden partial
// copy, or creates the file (under a fresh name when a finished file of that
// name is there), locks it and marks it as being received.
class LocalFileChooser {
public:
    // A name that came from the peer is usable only as one plain entry of
    // the receive folder: not empty, not "." or "..", no "/", "\" and no
    // control character.
    static bool IsSafeName(const QString& name);
    // The part of a path after its last "/".
    static QString BareName(const QString& path);
    // The folder part of a path, ending with "/" (empty when there is none).
    static QString FolderOf(const QString& path);
    // Whether `localPath` is one safe entry directly inside `folder`; both
    // must be absolute and clean (no "." or ".." parts, no doubled "/").
    static bool IsInFolder(const QString& localPath, const QString& folder);
    // The longest name in bytes the file system takes, and the longest a
    // peer's name may be so that a fresh name (name_N) still fits.
    static constexpr int kMaxNameBytes = 255;
    static constexpr int kMaxListedNameBytes = kMaxNameBytes - 7;
    static bool FitsFileSystem(const QString& name);
    // report.txt, 2 -> report_2.txt; README, 1 -> README_1.
    static QString FreshName(const QString& name, int n);

    // The size of the partial copy that Choose would resume for `path` and
    // `expected`, else 0: the offset a request announces.
    static qint64 ResumeOffset(const QString& path, qint64 expected);

    // Opens the local file for `localPath` into `out`, locked, carrying the
    // attribute word 34 and recording the expected size and entry name: the
    // partial copy of this reception when there is one (hidden, smaller,
    // recorded for this size and name), else a new file. False (and nothing
    // created) when the name is unsafe, the folder not absolute and clean,
    // the partial copy is locked by a running reception, or the file cannot
    // be created or opened (also when no fresh name fits).
    static bool Choose(const QString& localPath, qint64 expected, LocalFile& out);

private:
    static bool IsResumable(int fd, qint64 expected, const QString& entry, bool ownName);
    static int OpenResumable(const QString& localPath, qint64 expected, bool forWriting, QString& found,
                             bool& busy);
    static int CreateExclusive(const QByteArray& native, bool& exists);
};

} // namespace corvid

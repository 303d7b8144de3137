#pragma once
#include "core/protocol/FileAttributes.h"
#include "core/protocol/LocalFile.h"

#include <QString>

namespace corvid {

class TCRFileRec;

// Picks and prepares the local file of a reception: resumes a hidden partial
// copy, or creates the file (under a fresh name when a finished file of that
// name is there), locks it and marks it as being received. Folders a
// reception names are made below the receive folder and never followed
// through a link (SafeTree).
class LocalFileChooser {
public:
    // What a reception writes to.
    struct Target {
        // The receive folder: absolute and clean (a trailing "/" is fine);
        // it may itself be a link.
        QString folder;
        // The row's name: a bare name, or with `nested` a relative path
        // ("photos/2026/a.jpg") whose folders are made as needed.
        QString entry;
        // The listed size, > 0.
        qint64 expected = -1;
        // The listed modification time (nanoseconds since the epoch) or
        // FileAttributes::kNoTime. With a time, a partial copy is resumed
        // only when it was recorded with the same time.
        qint64 listedTime = FileAttributes::kNoTime;
        // Whether `entry` may be a relative path (protocol 2). It must then
        // pass RelativePath::Check; otherwise it must be a bare name that
        // passes IsSafeName and FitsFileSystem, as at protocol 1.
        bool nested = false;
    };
    // A reception record's target: ReceiveFolder, Entry (the bare name of
    // LocalPath while Entry is empty), ExpectedSize; nested and with
    // ExpectedTime only when the record's Protocol is 2 or more.
    static Target TargetOf(const TCRFileRec& rec);
    // The path a target names when no fresh name is needed: folder + "/" + entry.
    static QString PathOf(const Target& target);
    // Whether Choose would take the target at all (else Choice::BadTarget):
    // the check that replaces IsInFolder for entries that may be nested.
    static bool IsValid(const Target& target);

    enum class Choice {
        Chosen,
        BadTarget,      // the entry breaks the rule, the size is not > 0, the folder is not absolute and clean
        NoFolder,       // the receive folder cannot be opened
        FolderBlocked,  // a link or a non-folder sits where one of the entry's folders should be
        Busy,           // this reception's partial copy is locked by a running reception
        CannotCreate,   // a folder or the file cannot be made or opened, or no fresh name fits
    };

    // Opens the local file of `target` into `out`, locked, carrying the
    // attribute word 34 and recording expected size, listed time and entry:
    //  - the partial copy of this reception when there is one (hidden,
    //    smaller, recorded for this entry and size, and for this time when
    //    the target has one): out.Resumed(), out.Size() its length;
    //  - a stale copy (hidden, recorded for this entry and size but for
    //    another time, or without a time or a record while the target has
    //    one): emptied and reused, never appended to: out.Size() 0;
    //  - else a new file, under a fresh name (name_N.ext, in the entry's own
    //    folder) when the name is taken. Copies recorded for another size or
    //    entry are left untouched.
    // Missing folders of a nested entry are made (mode 0755). Nothing is
    // created unless the result is Chosen, apart from folders made before a
    // later step failed; nothing outside the receive folder ever is.
    static Choice Choose(const Target& target, LocalFile& out);
    // The offset a request announces for `target`: the size of the partial
    // copy Choose would resume, else 0 (also for a stale copy). Makes nothing.
    static qint64 ResumeOffset(const Target& target);

    // The forms for a bare name with no listed time: `localPath` is the
    // receive folder + "/" + the name.
    static qint64 ResumeOffset(const QString& path, qint64 expected);
    static bool Choose(const QString& localPath, qint64 expected, LocalFile& out);

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
};

} // namespace corvid

#include "core/protocol/LocalFileChooser.h"

#include "core/base/UniqueFd.h"
#include "core/protocol/ProtocolLevel.h"
#include "core/protocol/RelativePath.h"
#include "core/protocol/SafeTree.h"
#include "core/protocol/TCRFileRec.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace corvid {

namespace {

constexpr int kMaxFreshTries = 100000;

using Target = LocalFileChooser::Target;
using Choice = LocalFileChooser::Choice;

bool isCleanAbsolute(const QString& f)
{
    return !f.isEmpty() && QDir::isAbsolutePath(f) && (QDir::cleanPath(f) == f || QDir::cleanPath(f) + u'/' == f);
}

bool hasTime(const Target& t)
{
    return t.listedTime >= 0;
}

enum class CopyKind { None, Resumable, Stale };

// The one rule for resuming, shared by the offset we announce and the file
// we open. Resumable: a regular file, hidden, smaller than expected, and
// recorded as the partial copy of this entry at this expected size (and
// this listed time when the reception has one), so that a file the peer
// replaced is never spliced onto the old one's bytes. A copy made before
// the record existed keeps the old rule (hidden and smaller), under the
// entry's own name only. Stale: our partial copy of this entry and size,
// but of another version (the time differs or is not known); it is
// restarted from 0.
CopyKind classify(int fd, const Target& t, bool ownName, qint64& recordedTime)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return CopyKind::None;
    const auto word = FileAttributes::ReadFd(fd);
    if (!word || !FileAttributes::IsHidden(*word))
        return CopyKind::None;
    const auto mark = FileAttributes::ReadPartialFd(fd);
    recordedTime = mark ? mark->time : FileAttributes::kNoTime;
    if (!mark) {
        if (!ownName || st.st_size >= t.expected)
            return CopyKind::None;
        return hasTime(t) ? CopyKind::Stale : CopyKind::Resumable;
    }
    if (mark->expected != t.expected || mark->entry != t.entry)
        return CopyKind::None;
    if (hasTime(t) && mark->time != t.listedTime)
        return CopyKind::Stale;
    return st.st_size < t.expected ? CopyKind::Resumable : CopyKind::None;
}

struct Found {
    UniqueFd fd;
    QString name;
    CopyKind kind = CopyKind::None;
    qint64 recordedTime = FileAttributes::kNoTime;
    bool busy = false;
};

// The partial copy of a reception in its folder `dir`: the file `name` or,
// when a file of that name was in the way, one under a fresh name, searched
// in the order Choose hands fresh names out (up to the first free one). A
// resumable copy wins over a stale one. For writing, copies are opened
// read-write and locked; a copy of this reception that is locked belongs to
// a reception still running, which `busy` tells.
Found findCopy(int dir, const QString& name, const Target& t, bool forWriting)
{
    Found stale;
    for (int n = 0; n <= kMaxFreshTries; ++n) {
        const QString candidate = n == 0 ? name : LocalFileChooser::FreshName(name, n);
        if (n > 0 && !LocalFileChooser::FitsFileSystem(candidate))
            break;
        const QByteArray native = QFile::encodeName(candidate);
        struct stat lst {};
        if (::fstatat(dir, native.constData(), &lst, AT_SYMLINK_NOFOLLOW) != 0)
            break;  // the first free name: none after it was handed out
        if (!S_ISREG(lst.st_mode))
            continue;
        const int flags = (forWriting ? O_RDWR : O_RDONLY | O_NONBLOCK) | O_NOFOLLOW | O_CLOEXEC;
        UniqueFd fd(::openat(dir, native.constData(), flags));
        if (!fd.valid())
            continue;
        // Locked before the test, so that a reception finishing meanwhile
        // cannot turn the file into a finished one under us.
        const bool locked = !forWriting || ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
        qint64 recordedTime = FileAttributes::kNoTime;
        const CopyKind kind = classify(fd.get(), t, n == 0, recordedTime);
        if (kind == CopyKind::None)
            continue;
        if (!locked) {
            Found running;
            running.busy = true;
            return running;
        }
        Found found{std::move(fd), candidate, kind, recordedTime, false};
        if (kind == CopyKind::Resumable)
            return found;
        if (!stale.fd.valid())
            stale = std::move(found);
    }
    return stale;
}

int createExclusive(int dir, const QString& name, bool& exists)
{
    const QByteArray native = QFile::encodeName(name);
    for (;;) {
        const int fd = ::openat(dir, native.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            exists = false;
            if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                ::close(fd);
                return -1;
            }
            return fd;
        }
        if (errno == EINTR)
            continue;
        exists = errno == EEXIST;
        return -1;
    }
}

// The folder a target's file lives in, opened (and with `create` made)
// below the receive folder; `name` the file's own name there.
UniqueFd openFolderOf(const Target& t, bool create, QString& name, Choice& why)
{
    QStringList folders = t.nested ? RelativePath::Components(t.entry) : QStringList{t.entry};
    name = folders.takeLast();
    SafeTree::Problem problem = SafeTree::Problem::None;
    UniqueFd dir = SafeTree::Open(t.folder, folders, create, problem);
    switch (problem) {
    case SafeTree::Problem::None: why = Choice::Chosen; break;
    case SafeTree::Problem::BadRoot: why = Choice::NoFolder; break;
    case SafeTree::Problem::Blocked: why = Choice::FolderBlocked; break;
    case SafeTree::Problem::BadComponent: why = Choice::BadTarget; break;
    default: why = Choice::CannotCreate; break;
    }
    return dir;
}

} // namespace

bool LocalFileChooser::IsSafeName(const QString& name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar ch : name) {
        const char16_t u = ch.unicode();
        if (u < 0x20 || u == 0x7F || u == u'/' || u == u'\\')
            return false;
        if (ch.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

QString LocalFileChooser::BareName(const QString& path)
{
    return path.mid(path.lastIndexOf(u'/') + 1);
}

QString LocalFileChooser::FolderOf(const QString& path)
{
    return path.left(path.lastIndexOf(u'/') + 1);
}

bool LocalFileChooser::IsInFolder(const QString& localPath, const QString& folder)
{
    const QString own = FolderOf(localPath);
    return isCleanAbsolute(own) && isCleanAbsolute(folder) && QDir::cleanPath(own) == QDir::cleanPath(folder)
        && IsSafeName(BareName(localPath));
}

bool LocalFileChooser::FitsFileSystem(const QString& name)
{
    return QFile::encodeName(name).size() <= kMaxNameBytes;
}

QString LocalFileChooser::FreshName(const QString& name, int n)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    const QString base = dot < 0 ? name : name.left(dot);
    const QString ext = dot < 0 ? QString() : name.mid(dot);
    return base + u'_' + QString::number(n) + ext;
}

LocalFileChooser::Target LocalFileChooser::TargetOf(const TCRFileRec& rec)
{
    Target t;
    t.folder = rec.ReceiveFolder;
    t.entry = rec.Entry.isEmpty() ? BareName(rec.LocalPath) : rec.Entry;
    t.expected = rec.ExpectedSize;
    t.nested = ProtocolLevel::Extended(rec.Protocol);
    t.listedTime = t.nested ? rec.ExpectedTime : FileAttributes::kNoTime;
    return t;
}

QString LocalFileChooser::PathOf(const Target& target)
{
    return target.folder.endsWith(u'/') ? target.folder + target.entry : target.folder + u'/' + target.entry;
}

bool LocalFileChooser::IsValid(const Target& t)
{
    if (t.expected <= 0 || !isCleanAbsolute(t.folder))
        return false;
    if (t.nested)
        return RelativePath::IsSafe(t.entry);
    return IsSafeName(t.entry) && FitsFileSystem(t.entry);
}

qint64 LocalFileChooser::ResumeOffset(const Target& target)
{
    if (!IsValid(target))
        return 0;
    QString name;
    Choice why = Choice::Chosen;
    const UniqueFd dir = openFolderOf(target, false, name, why);
    if (!dir.valid())
        return 0;
    const Found found = findCopy(dir.get(), name, target, false);
    struct stat st {};
    if (found.kind != CopyKind::Resumable || ::fstat(found.fd.get(), &st) != 0)
        return 0;
    return st.st_size;
}

LocalFileChooser::Choice LocalFileChooser::Choose(const Target& target, LocalFile& out)
{
    if (!IsValid(target))
        return Choice::BadTarget;
    QString name;
    Choice why = Choice::Chosen;
    UniqueFd dir = openFolderOf(target, true, name, why);
    if (!dir.valid())
        return why;

    // A hidden copy that is not this reception's (recorded for another size
    // or entry) is left as it is: it may be the partial copy of another row
    // of the same name, or data the user wants, so it is neither replaced
    // nor appended to; the data goes to a fresh name, as beside a finished
    // file. Our copy of this entry and size but of another version is
    // emptied and reused: its bytes must never lead the new version's.
    Found found = findCopy(dir.get(), name, target, true);
    if (found.busy)
        return Choice::Busy;  // never a second file beside a running reception
    if (found.kind == CopyKind::Stale && ::ftruncate(found.fd.get(), 0) != 0)
        return Choice::CannotCreate;
    const bool resumed = found.kind == CopyKind::Resumable;
    UniqueFd fd = std::move(found.fd);
    QString chosen = found.name;
    bool exists = true;
    if (!fd.valid()) {
        chosen = name;
        fd.reset(createExclusive(dir.get(), chosen, exists));
    }
    for (int n = 1; !fd.valid() && exists && n <= kMaxFreshTries; ++n) {
        chosen = FreshName(name, n);
        if (!FitsFileSystem(chosen))
            return Choice::CannotCreate;  // longer suffixes would not fit either
        fd.reset(createExclusive(dir.get(), chosen, exists));
    }
    if (!fd.valid())
        return Choice::CannotCreate;
    const QString path = FolderOf(PathOf(target)) + chosen;
    if (!out.Adopt(fd.release(), std::move(dir), chosen, path, resumed))
        return Choice::CannotCreate;
    // The record before the hidden bit: a hidden copy without a record would
    // be resumed by the old rule whatever its size. Where either cannot be
    // set the reception goes on without them; the file then counts as
    // finished and is never appended to. A copy resumed without a listed
    // time keeps the time it was recorded with.
    const qint64 time = hasTime(target) || !resumed ? target.listedTime : found.recordedTime;
    if (FileAttributes::WritePartialFd(out.Fd(), target.expected, target.entry, time)) {
        FileAttributes::WriteFd(out.Fd(), FileAttributes::kReceiving);
    } else if (found.kind == CopyKind::Stale) {
        FileAttributes::ClearPartialFd(out.Fd());
        FileAttributes::WriteFd(out.Fd(), FileAttributes::kArchive);
    }
    return Choice::Chosen;
}

qint64 LocalFileChooser::ResumeOffset(const QString& path, qint64 expected)
{
    return ResumeOffset(Target{FolderOf(path), BareName(path), expected, FileAttributes::kNoTime, false});
}

bool LocalFileChooser::Choose(const QString& localPath, qint64 expected, LocalFile& out)
{
    return Choose(Target{FolderOf(localPath), BareName(localPath), expected, FileAttributes::kNoTime, false}, out)
        == Choice::Chosen;
}

} // namespace corvid

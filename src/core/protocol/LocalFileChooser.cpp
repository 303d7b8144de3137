#include "core/protocol/LocalFileChooser.h"

#include "core/protocol/FileAttributes.h"

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
}

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
    const auto clean = [](const QString& f) {
        return !f.isEmpty() && QDir::isAbsolutePath(f)
            && (QDir::cleanPath(f) == f || QDir::cleanPath(f) + u'/' == f);
    };
    return clean(own) && clean(folder) && QDir::cleanPath(own) == QDir::cleanPath(folder)
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

qint64 LocalFileChooser::ResumeOffset(const QString& path, qint64 expected)
{
    if (expected <= 0)
        return 0;
    QString found;
    bool busy = false;
    const int fd = OpenResumable(path, expected, false, found, busy);
    if (fd < 0)
        return 0;
    struct stat st {};
    const qint64 offset = ::fstat(fd, &st) == 0 ? st.st_size : 0;
    ::close(fd);
    return offset;
}

// The one rule for resuming, shared by the offset we announce and the file
// we open: a regular file, hidden, smaller than expected, and recorded as
// the partial copy of this entry at this expected size, so that a file the
// peer replaced (listed again with another size) is never spliced onto the
// old one's bytes. A copy made before the record existed keeps the old rule
// (hidden and smaller), under the entry's own name only.
bool LocalFileChooser::IsResumable(int fd, qint64 expected, const QString& entry, bool ownName)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size >= expected)
        return false;
    const auto word = FileAttributes::ReadFd(fd);
    if (!word || !FileAttributes::IsHidden(*word))
        return false;
    const auto mark = FileAttributes::ReadPartialFd(fd);
    if (!mark)
        return ownName;
    return mark->expected == expected && mark->entry == entry;
}

// The partial copy of a reception: the file at `localPath` or, when a file
// of that name was in the way, the one under a fresh name, searched in the
// order Choose hands fresh names out (up to the first free one). The
// descriptor, or -1 when there is none. For writing, the copy is opened
// read-write and locked; a resumable copy that is locked belongs to a
// reception still running, which `busy` tells.
int LocalFileChooser::OpenResumable(const QString& localPath, qint64 expected, bool forWriting, QString& found,
                                    bool& busy)
{
    busy = false;
    const QString name = BareName(localPath);
    const QString folder = FolderOf(localPath);
    for (int n = 0; n <= kMaxFreshTries; ++n) {
        const QString candidate = n == 0 ? localPath : folder + FreshName(name, n);
        if (n > 0 && !FitsFileSystem(BareName(candidate)))
            return -1;
        const QByteArray native = QFile::encodeName(candidate);
        struct stat lst {};
        if (::lstat(native.constData(), &lst) != 0)
            return -1;  // the first free name: none after it was handed out
        if (!S_ISREG(lst.st_mode))
            continue;
        const int flags = (forWriting ? O_RDWR : O_RDONLY | O_NONBLOCK) | O_NOFOLLOW | O_CLOEXEC;
        const int fd = ::open(native.constData(), flags);
        if (fd < 0)
            continue;
        // Locked before the test, so that a reception finishing meanwhile
        // cannot turn the file into a finished one under us.
        const bool locked = !forWriting || ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (IsResumable(fd, expected, name, n == 0)) {
            if (locked) {
                found = candidate;
                return fd;
            }
            busy = true;
            ::close(fd);
            return -1;
        }
        ::close(fd);
    }
    return -1;
}

int LocalFileChooser::CreateExclusive(const QByteArray& native, bool& exists)
{
    for (;;) {
        const int fd = ::open(native.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
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

bool LocalFileChooser::Choose(const QString& localPath, qint64 expected, LocalFile& out)
{
    const QString name = BareName(localPath);
    const QString folder = FolderOf(localPath);
    if (expected <= 0 || !IsInFolder(localPath, folder) || !FitsFileSystem(name))
        return false;

    // A hidden copy that is not this reception's (recorded for another size
    // or entry) is left as it is: it may be the partial copy of another row
    // of the same name, or data the user wants, so it is neither replaced
    // nor appended to; the data goes to a fresh name, as beside a finished
    // file.
    QString chosen;
    bool busy = false;
    int fd = OpenResumable(localPath, expected, true, chosen, busy);
    if (busy)
        return false;  // never a second file beside a running reception
    const bool resumed = fd >= 0;
    bool exists = true;
    if (fd < 0) {
        chosen = localPath;
        fd = CreateExclusive(QFile::encodeName(chosen), exists);
    }
    for (int n = 1; fd < 0 && exists && n <= kMaxFreshTries; ++n) {
        const QString fresh = FreshName(name, n);
        if (!FitsFileSystem(fresh))
            return false;  // longer suffixes would not fit either
        chosen = folder + fresh;
        fd = CreateExclusive(QFile::encodeName(chosen), exists);
    }
    if (fd < 0 || !out.Adopt(fd, chosen, resumed))
        return false;
    // The record before the hidden bit: a hidden copy without a record would
    // be resumed by the old rule whatever its size. Where either cannot be
    // set the reception goes on without them; the file then counts as
    // finished and is never appended to.
    if (FileAttributes::WritePartialFd(out.Fd(), expected, name))
        FileAttributes::WriteFd(out.Fd(), FileAttributes::kReceiving);
    return true;
}

} // namespace corvid

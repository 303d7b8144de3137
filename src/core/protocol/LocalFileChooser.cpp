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
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return 0;
    qint64 size = 0;
    const qint64 offset = IsResumable(fd, expected, size) ? size : 0;
    ::close(fd);
    return offset;
}

// The one rule for resuming, shared by the offset we announce and the file
// we open: a regular file, hidden, and smaller than expected.
bool LocalFileChooser::IsResumable(int fd, qint64 expected, qint64& size)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size >= expected)
        return false;
    const auto word = FileAttributes::ReadFd(fd);
    if (!word || !FileAttributes::IsHidden(*word))
        return false;
    size = st.st_size;
    return true;
}

// The file at `native` when it is a hidden partial copy smaller than
// `expected`, opened and locked; -1 otherwise. `exists` tells whether
// anything is at that path.
int LocalFileChooser::OpenPartial(const QByteArray& native, qint64 expected, bool& exists)
{
    struct stat lst {};
    exists = ::lstat(native.constData(), &lst) == 0;
    if (!exists || !S_ISREG(lst.st_mode))
        return -1;
    const int fd = ::open(native.constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    qint64 size = 0;
    if (!IsResumable(fd, expected, size) || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
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

    bool exists = false;
    const QByteArray native = QFile::encodeName(localPath);
    int fd = OpenPartial(native, expected, exists);
    bool resumed = fd >= 0;
    if (fd < 0 && exists) {
        // A resumable copy that is locked belongs to a reception still
        // running; never start a second file beside it.
        const int probe = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (probe >= 0) {
            const bool busy = ::flock(probe, LOCK_EX | LOCK_NB) != 0;
            ::close(probe);
            if (busy)
                return false;
        }
    }
    if (fd < 0 && !exists)
        fd = CreateExclusive(native, exists);
    QString chosen = localPath;
    for (int n = 1; fd < 0 && exists && n <= kMaxFreshTries; ++n) {
        const QString fresh = FreshName(name, n);
        if (!FitsFileSystem(fresh))
            return false;  // longer suffixes would not fit either
        chosen = folder + fresh;
        fd = CreateExclusive(QFile::encodeName(chosen), exists);
    }
    if (fd < 0 || !out.Adopt(fd, chosen, resumed))
        return false;
    // Where the marker cannot be set the reception goes on without it; the
    // file then counts as finished and is never appended to.
    FileAttributes::WriteFd(out.Fd(), FileAttributes::kReceiving);
    return true;
}

} // namespace corvid

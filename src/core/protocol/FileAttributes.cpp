#include "core/protocol/FileAttributes.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace corvid {

namespace {

std::optional<quint32> parseWord(const char* text, ssize_t len)
{
    if (len <= 0 || len > 10)
        return std::nullopt;
    quint64 value = 0;
    for (ssize_t i = 0; i < len; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value = value * 10 + static_cast<quint64>(text[i] - '0');
    }
    if (value > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<quint32>(value);
}

// Plain decimal digits only (no sign, no blanks), as we write them.
qint64 parseCount(const QByteArray& digits, bool& ok)
{
    ok = !digits.isEmpty() && digits.size() <= 19;
    for (const char c : digits)
        ok = ok && c >= '0' && c <= '9';
    const qint64 value = ok ? digits.toLongLong(&ok) : 0;
    return ok ? value : 0;
}

quint32 defaultWord(const struct stat& st)
{
    return (st.st_mode & S_IWUSR) ? FileAttributes::kArchive : FileAttributes::kArchive | FileAttributes::kReadOnly;
}

void applyReadOnly(int fd, const struct stat& st, quint32 word)
{
    mode_t mode = st.st_mode & 07777;
    if (word & FileAttributes::kReadOnly)
        mode &= ~mode_t(S_IWUSR | S_IWGRP | S_IWOTH);
    else
        mode |= S_IWUSR;
    if (mode != (st.st_mode & 07777))
        ::fchmod(fd, mode);
}

} // namespace

std::optional<quint32> FileAttributes::ReadFd(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return std::nullopt;
    char buf[16];
    const ssize_t len = ::fgetxattr(fd, kXattrName, buf, sizeof buf);
    if (auto word = parseWord(buf, len))
        return word;
    return defaultWord(st);
}

std::optional<quint32> FileAttributes::Read(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::stat(native.constData(), &st) != 0)
        return std::nullopt;
    char buf[16];
    const ssize_t len = ::getxattr(native.constData(), kXattrName, buf, sizeof buf);
    if (auto word = parseWord(buf, len))
        return word;
    return defaultWord(st);
}

bool FileAttributes::WriteFd(int fd, quint32 word)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    const QByteArray text = QByteArray::number(word);
    const bool ok = ::fsetxattr(fd, kXattrName, text.constData(), static_cast<size_t>(text.size()), 0) == 0;
    applyReadOnly(fd, st, word);
    return ok;
}

std::optional<FileAttributes::PartialMark> FileAttributes::ReadPartialFd(int fd)
{
    // Room for the longest entry a list may carry and both numbers.
    char buf[4096 + 64];
    const ssize_t len = ::fgetxattr(fd, kPartialXattrName, buf, sizeof buf);
    if (len < 0 && (errno == ENODATA || errno == ENOTSUP))
        return std::nullopt;
    PartialMark mark;
    const QByteArray text = len > 0 ? QByteArray(buf, len) : QByteArray();
    const qsizetype slash = text.indexOf('/');
    if (slash <= 0)
        return mark;
    const QByteArray head = text.left(slash);
    const qsizetype colon = head.indexOf(':');
    const QByteArray size = colon < 0 ? head : head.left(colon);
    const QByteArray time = colon < 0 ? QByteArray() : head.mid(colon + 1);
    bool ok = false;
    const qint64 expected = parseCount(size, ok);
    bool timeOk = colon < 0;
    const qint64 listed = colon < 0 ? kNoTime : parseCount(time, timeOk);
    if (ok && expected > 0 && timeOk) {
        mark.expected = expected;
        mark.time = listed;
        mark.entry = QString::fromUtf8(text.mid(slash + 1));
    }
    return mark;
}

bool FileAttributes::WritePartialFd(int fd, qint64 expected, const QString& entry, qint64 time)
{
    QByteArray text = QByteArray::number(expected);
    if (time >= 0)
        text += ':' + QByteArray::number(time);
    text += '/' + entry.toUtf8();
    return ::fsetxattr(fd, kPartialXattrName, text.constData(), size_t(text.size()), 0) == 0;
}

void FileAttributes::ClearPartialFd(int fd)
{
    ::fremovexattr(fd, kPartialXattrName);
}

std::optional<quint32> FileAttributes::FinishedWord(qint64 peerWord)
{
    if (peerWord < 0 || peerWord > 0xFFFFFFFFll)
        return std::nullopt;
    return quint32(peerWord) & ~kHidden;
}

bool FileAttributes::Write(const QString& path, quint32 word)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = WriteFd(fd, word);
    ::close(fd);
    return ok;
}

} // namespace corvid

#include "core/protocol/LocalFile.h"

#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace corvid {

LocalFile::~LocalFile()
{
    Close();
}

LocalFile::LocalFile(LocalFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), folder_(std::move(other.folder_)), name_(std::move(other.name_)),
      path_(std::move(other.path_)),
      size_(std::exchange(other.size_, 0)), resumed_(std::exchange(other.resumed_, false)),
      lastError_(std::exchange(other.lastError_, 0))
{
}

LocalFile& LocalFile::operator=(LocalFile&& other) noexcept
{
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        folder_ = std::move(other.folder_);
        name_ = std::move(other.name_);
        path_ = std::move(other.path_);
        size_ = std::exchange(other.size_, 0);
        resumed_ = std::exchange(other.resumed_, false);
        lastError_ = std::exchange(other.lastError_, 0);
    }
    return *this;
}

bool LocalFile::Adopt(int fd, UniqueFd folder, const QString& name, const QString& path, bool resumed)
{
    if (!Adopt(fd, path, resumed))
        return false;
    if (!folder.valid()) {
        Close();
        return false;
    }
    folder_ = std::move(folder);
    name_ = name;
    return true;
}

bool LocalFile::Adopt(int fd, const QString& path, bool resumed)
{
    Close();
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || ::lseek(fd, 0, SEEK_END) < 0) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    fd_ = fd;
    path_ = path;
    size_ = st.st_size;
    resumed_ = resumed;
    lastError_ = 0;
    return true;
}

bool LocalFile::Append(const char* data, qint64 n)
{
    if (fd_ < 0) {
        lastError_ = EBADF;
        return false;
    }
    qint64 done = 0;
    while (done < n) {
        const ssize_t w = ::write(fd_, data + done, static_cast<size_t>(n - done));
        if (w < 0) {
            if (errno == EINTR)
                continue;
            lastError_ = errno;
            return false;
        }
        if (w == 0) {
            lastError_ = EIO;
            return false;
        }
        done += w;
        size_ += w;
    }
    return true;
}

bool LocalFile::TruncateTo(qint64 size)
{
    if (fd_ < 0 || size < 0 || size > size_)
        return false;
    if (::ftruncate(fd_, size) != 0 || ::lseek(fd_, size, SEEK_SET) < 0)
        return false;
    size_ = size;
    return true;
}

bool LocalFile::CloseDeletingIfEmpty()
{
    if (fd_ < 0)
        return false;
    // Still holding the lock, so nobody else can have started on this file.
    const bool removed = size_ == 0 && UnlinkIfStillOurs();
    Close();
    return removed;
}

// By the folder's descriptor when we have it, so that a folder renamed or
// replaced by a link meanwhile cannot point the deletion elsewhere; and
// only when the name is still this file.
bool LocalFile::UnlinkIfStillOurs()
{
    struct stat mine {};
    struct stat there {};
    if (::fstat(fd_, &mine) != 0)
        return false;
    if (folder_.valid()) {
        const QByteArray name = QFile::encodeName(name_);
        return ::fstatat(folder_.get(), name.constData(), &there, AT_SYMLINK_NOFOLLOW) == 0
            && there.st_dev == mine.st_dev && there.st_ino == mine.st_ino
            && ::unlinkat(folder_.get(), name.constData(), 0) == 0;
    }
    const QByteArray path = QFile::encodeName(path_);
    return ::lstat(path.constData(), &there) == 0 && there.st_dev == mine.st_dev && there.st_ino == mine.st_ino
        && ::unlink(path.constData()) == 0;
}

void LocalFile::Close()
{
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
        fd_ = -1;
    }
    folder_.reset();
    name_.clear();
}

} // namespace corvid

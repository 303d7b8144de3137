#include "core/protocol/LocalFile.h"

#include <QFile>

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
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)),
      size_(std::exchange(other.size_, 0)), resumed_(std::exchange(other.resumed_, false)),
      lastError_(std::exchange(other.lastError_, 0))
{
}

LocalFile& LocalFile::operator=(LocalFile&& other) noexcept
{
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        size_ = std::exchange(other.size_, 0);
        resumed_ = std::exchange(other.resumed_, false);
        lastError_ = std::exchange(other.lastError_, 0);
    }
    return *this;
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
    const bool remove = size_ == 0;
    if (remove)
        ::unlink(QFile::encodeName(path_).constData());
    Close();
    return remove;
}

void LocalFile::Close()
{
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
        fd_ = -1;
    }
}

} // namespace corvid

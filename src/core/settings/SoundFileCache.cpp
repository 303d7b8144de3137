#include "core/settings/SoundFileCache.h"

#include "core/base/UniqueFd.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvid {

namespace {

bool readAll(int fd, qint64 size, QByteArray* out)
{
    out->resize(size);
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, out->data() + done, size_t(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false; // shrank under us, or a read error
        done += n;
    }
    return true;
}

} // namespace

SoundFileCache::SoundFileCache() = default;
SoundFileCache::~SoundFileCache() = default;

QString SoundFileCache::localCopy(const QString& path)
{
    if (path.isEmpty())
        return {};
    // Non-blocking open: a FIFO without a writer opens at once instead of
    // waiting, and is then refused as not a regular file.
    const UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) {
        entries_.remove(path);
        return {};
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 || st.st_size > kMaxBytes)
        return {};
    const qint64 mtimeNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    const auto known = entries_.constFind(path);
    if (known != entries_.constEnd() && known->size == st.st_size && known->mtimeNs == mtimeNs
        && QFile::exists(known->copy))
        return known->copy;

    QByteArray bytes;
    if (!readAll(fd.get(), st.st_size, &bytes))
        return {};
    if (!dir_) {
        dir_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/corvid-sounds-XXXXXX"));
        if (!dir_->isValid()) {
            dir_.reset();
            return {};
        }
    }
    // A fresh name each time: the player may still hold the previous copy.
    const QString copy = dir_->filePath(QStringLiteral("%1.wav").arg(++serial_));
    QFile out(copy);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size()) {
        out.remove();
        return {};
    }
    out.close();
    if (known != entries_.constEnd())
        QFile::remove(known->copy);
    entries_.insert(path, Entry{st.st_size, mtimeNs, copy});
    return copy;
}

} // namespace corvid

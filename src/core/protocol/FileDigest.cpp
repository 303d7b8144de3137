#include "core/protocol/FileDigest.h"

#include <xxhash.h>

#include <unistd.h>

#include <cerrno>
#include <vector>

namespace corvid {

struct FileDigest::State {
    XXH3_state_t* xxh = XXH3_createState();
    State() { XXH3_128bits_reset(xxh); }
    ~State() { XXH3_freeState(xxh); }
    State(const State&) = delete;
    State& operator=(const State&) = delete;
};

FileDigest::FileDigest()
    : state_(std::make_unique<State>())
{
}

FileDigest::~FileDigest() = default;
FileDigest::FileDigest(FileDigest&&) noexcept = default;
FileDigest& FileDigest::operator=(FileDigest&&) noexcept = default;

void FileDigest::Update(const void* data, qint64 n)
{
    if (n > 0)
        XXH3_128bits_update(state_->xxh, data, size_t(n));
}

bool FileDigest::UpdateFromFile(int fd, qint64 offset, qint64 length)
{
    constexpr qint64 kPiece = 1 << 20;
    std::vector<char> buffer(size_t(qMin(length, kPiece)));
    while (length > 0) {
        const ssize_t r = ::pread(fd, buffer.data(), size_t(qMin(length, kPiece)), off_t(offset));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        Update(buffer.data(), r);
        offset += r;
        length -= r;
    }
    return true;
}

QByteArray FileDigest::Text() const
{
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(state_->xxh));
    return QByteArray(kPrefix)
        + QByteArray(reinterpret_cast<const char*>(canonical.digest), sizeof(canonical.digest)).toHex();
}

} // namespace corvid

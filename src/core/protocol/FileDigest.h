#pragma once
#include <QByteArray>
#include <QtGlobal>

#include <memory>

namespace corvid {

// The digest a file's bytes travel with between two of our own peers:
// XXH3 with 128 bits, fed in order as the bytes are read or written. It is
// no defence against a forger (the connection is not authenticated here);
// it catches what a transfer can do to a file by accident: a splice of two
// versions, a torn resume, a disk that returned other bytes. It runs many
// times faster than a disk or loopback, so it costs the copy little.
class FileDigest {
public:
    FileDigest();
    ~FileDigest();
    FileDigest(FileDigest&&) noexcept;
    FileDigest& operator=(FileDigest&&) noexcept;
    FileDigest(const FileDigest&) = delete;
    FileDigest& operator=(const FileDigest&) = delete;

    void Update(const void* data, qint64 n);
    // Feeds `length` bytes of fd from `offset` on (pread, in pieces). False
    // on a read error or when the file ends before.
    bool UpdateFromFile(int fd, qint64 offset, qint64 length);

    // "xxh3-128:" and 32 lowercase hex digits, as the Digest line carries it.
    QByteArray Text() const;

    static constexpr char kPrefix[] = "xxh3-128:";

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace corvid

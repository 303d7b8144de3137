#pragma once
#include "core/base/UniqueFd.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace corvid {

// A local file held open for a reception: exclusively locked (flock) for the
// whole transfer and closed by the destructor. Keeps its own byte count so
// the copy loop never has to ask the file system, and the descriptor of its
// folder, so that nothing done to it later goes by path again.
class LocalFile {
public:
    LocalFile() = default;
    ~LocalFile();
    LocalFile(LocalFile&& other) noexcept;
    LocalFile& operator=(LocalFile&& other) noexcept;
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;

    // Takes over an open descriptor positioned anywhere; appends go to its end.
    // `name` is the file's entry in `folder` (both kept for the deletion of
    // an empty file), `path` what Path() shows. The descriptors are closed
    // when adopting fails.
    bool Adopt(int fd, UniqueFd folder, const QString& name, const QString& path, bool resumed);
    // The same for a file known by path only.
    bool Adopt(int fd, const QString& path, bool resumed);

    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    const QString& Path() const { return path_; }
    qint64 Size() const { return size_; }
    bool Resumed() const { return resumed_; }

    // Appends all bytes with one write (retrying partial writes). On failure
    // Size() still tells how many bytes the file really holds, and
    // LastError() the system's reason (errno).
    bool Append(const char* data, qint64 n);
    int LastError() const { return lastError_; }
    bool Append(const QByteArray& data) { return Append(data.constData(), data.size()); }
    // Drops everything from `size` on.
    bool TruncateTo(qint64 size);

    // Closes; an empty file is deleted first (only while its name still
    // leads to this very file). Returns whether it was deleted.
    bool CloseDeletingIfEmpty();
    void Close();

private:
    bool UnlinkIfStillOurs();

    int fd_ = -1;
    UniqueFd folder_;
    QString name_;
    QString path_;
    qint64 size_ = 0;
    bool resumed_ = false;
    int lastError_ = 0;
};

} // namespace corvid

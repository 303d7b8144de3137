#pragma once
#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace corvid {

// A local file held open for a reception: exclusively locked (flock) for the
// whole transfer and closed by the destructor. Keeps its own byte count so
// the copy loop never has to ask the file system.
class LocalFile {
public:
    LocalFile() = default;
    ~LocalFile();
    LocalFile(LocalFile&& other) noexcept;
    LocalFile& operator=(LocalFile&& other) noexcept;
    LocalFile(const LocalFile&) = delete;
    LocalFile& operator=(const LocalFile&) = delete;

    // Takes over an open descriptor positioned anywhere; appends go to its end.
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

    // Closes; an empty file is deleted first. Returns whether it was deleted.
    bool CloseDeletingIfEmpty();
    void Close();

private:
    int fd_ = -1;
    QString path_;
    qint64 size_ = 0;
    bool resumed_ = false;
    int lastError_ = 0;
};

} // namespace corvid

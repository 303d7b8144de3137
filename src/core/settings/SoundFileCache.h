#pragma once
#include <QHash>
#include <QString>
#include <QTemporaryDir>
#include <memory>

namespace corvid {

// Local copies of the sound files the user chose, so that the player only
// ever reads a small regular file in the temporary folder. Reading the
// original (a slow disk, a network share) happens here, on the sound
// loader's thread. Anything but a regular file up to kMaxBytes is refused
// without waiting: a FIFO or a device never blocks the loader. One thread at
// a time.
class SoundFileCache {
public:
    static constexpr qint64 kMaxBytes = 32 * 1024 * 1024;

    SoundFileCache();
    ~SoundFileCache();

    // The copy to play for `path`, made now or earlier for the same file
    // (same size and modification time); empty when there is nothing to play.
    QString localCopy(const QString& path);

private:
    struct Entry {
        qint64 size = -1;
        qint64 mtimeNs = -1;
        QString copy;
    };

    std::unique_ptr<QTemporaryDir> dir_; // made on first use
    QHash<QString, Entry> entries_;
    int serial_ = 0;
};

} // namespace corvid

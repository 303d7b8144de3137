#pragma once
#include <QMutex>
#include <QString>
#include <utility>

namespace corvid {

// The settings that connection and worker threads read while the GUI thread
// may change them. A QString read during an assignment on another thread can
// touch freed memory, so these travel as one locked copy.
struct SharedSettings {
    QString UserName;
    QString RecvDir;
    int ChunkSize = 65536;
    qint64 PrioritySize = 5242880;
};

// A locked SharedSettings; copying copies the value, never the lock.
class SettingsSnapshot {
public:
    SettingsSnapshot() = default;
    SettingsSnapshot(const SettingsSnapshot& other) : value_(other.get()) {}
    SettingsSnapshot& operator=(const SettingsSnapshot& other)
    {
        if (this != &other)
            set(other.get());
        return *this;
    }

    SharedSettings get() const
    {
        QMutexLocker lock(&mutex_);
        return value_;
    }
    void set(SharedSettings value)
    {
        // Swap rather than copy-assign: Qt's out-of-line assignment hides its
        // reference counting from the thread sanitizer. The old texts are
        // released after the lock, with `value`.
        QMutexLocker lock(&mutex_);
        std::swap(value_, value);
    }

private:
    mutable QMutex mutex_;
    SharedSettings value_;
};

} // namespace corvid

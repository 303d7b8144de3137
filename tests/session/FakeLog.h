#pragma once
#include "core/session/ILogSink.h"

#include <QStringList>
#include <mutex>

namespace corvid::test {

// Collects log lines from any thread.
class FakeLog : public ILogSink {
public:
    void AddLogLine(const QString& text, int kind) override
    {
        std::lock_guard lock(mutex_);
        lines_ << text;
        kinds_ << kind;
    }
    // A deep copy: the caller's list shares nothing with the one the
    // connection threads append to.
    QStringList lines() const
    {
        std::lock_guard lock(mutex_);
        QStringList copy;
        copy.reserve(lines_.size());
        for (const QString& l : lines_)
            copy.append(QString(l.constData(), l.size()));
        return copy;
    }
    bool contains(const QString& text) const { return lines().contains(text); }
    int count(const QString& text) const { return int(lines().count(text)); }

private:
    mutable std::mutex mutex_;
    QStringList lines_;
    QList<int> kinds_;
};

} // namespace corvid::test

#pragma once
#include "core/session/ILogSink.h"

#include <QStringList>
#include <algorithm>
#include <mutex>

namespace corvid::test {

// Collects log lines with their kinds from any thread.
class FakeLog : public ILogSink {
public:
    void AddLogLine(const QString& text, int kind) override
    {
        std::lock_guard lock(mutex_);
        lines_ << QString(text.constData(), text.size());
        kinds_ << kind;
    }
    void setPeerName(const QString& name) override
    {
        std::lock_guard lock(mutex_);
        peerName_ = QString(name.constData(), name.size());
    }
    // A deep copy: the caller's list shares nothing with the one the
    // connection threads append to. For a look at the whole log once; the
    // questions below search in place, as a poll must not copy megabyte
    // lines on every turn.
    QStringList lines() const
    {
        std::lock_guard lock(mutex_);
        QStringList copy;
        copy.reserve(lines_.size());
        for (const QString& l : lines_)
            copy.append(QString(l.constData(), l.size()));
        return copy;
    }
    bool contains(const QString& text) const
    {
        std::lock_guard lock(mutex_);
        return lines_.contains(text);
    }
    int count(const QString& text) const
    {
        std::lock_guard lock(mutex_);
        return int(lines_.count(text));
    }
    bool anyStartsWith(const QString& prefix) const
    {
        std::lock_guard lock(mutex_);
        return std::any_of(lines_.begin(), lines_.end(), [&](const QString& l) { return l.startsWith(prefix); });
    }
    // The kind of the first line with this text; -1 when there is none.
    int kindOf(const QString& text) const
    {
        std::lock_guard lock(mutex_);
        const auto i = lines_.indexOf(text);
        return i < 0 ? -1 : kinds_[i];
    }
    QString peerName() const
    {
        std::lock_guard lock(mutex_);
        return QString(peerName_.constData(), peerName_.size());
    }

private:
    mutable std::mutex mutex_;
    QStringList lines_;
    QList<int> kinds_;
    QString peerName_;
};

} // namespace corvid::test

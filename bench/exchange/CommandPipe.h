#pragma once
// The child's end of a benchmark's command pipe: one-line commands read as
// they come, each handed to run(), and one reply line written for each.
#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <unistd.h>

#include <functional>
#include <memory>

namespace bench {

class CommandPipe {
public:
    CommandPipe(int inFd, int outFd) : in_(inFd), out_(outFd), notifier_(inFd, QSocketNotifier::Read) {}
    virtual ~CommandPipe() = default;
    CommandPipe(const CommandPipe&) = delete;
    CommandPipe& operator=(const CommandPipe&) = delete;

protected:
    virtual void run(const QStringList& a) = 0;

    // Starts taking commands, once the instance is set up; the timers of
    // waitFor() are children of `timerParent`.
    void startReading(QObject* timerParent)
    {
        timerParent_ = timerParent;
        QObject::connect(&notifier_, &QSocketNotifier::activated, [this] { readCommands(); });
    }

    template <class T> static T* child(QObject* in, const char* name)
    {
        return in->findChild<T*>(QString::fromLatin1(name));
    }

    void reply(const QByteArray& line)
    {
        const QByteArray l = line + '\n';
        (void)!::write(out_, l.constData(), size_t(l.size()));
    }

    // Polls `cond` every `everyMs` until it holds or `timeoutMs` passed,
    // then calls `done` with the outcome.
    void waitFor(std::function<bool()> cond, int timeoutMs, std::function<void(bool)> done, int everyMs = 2)
    {
        auto* t = new QTimer(timerParent_);
        auto clock = std::make_shared<QElapsedTimer>();
        clock->start();
        QObject::connect(t, &QTimer::timeout, [t, clock, cond, done, timeoutMs] {
            const bool ok = cond();
            if (ok || clock->elapsed() > timeoutMs) {
                t->stop();
                t->deleteLater();
                done(ok);
            }
        });
        t->start(everyMs);
    }

private:
    void readCommands()
    {
        char buf[4096];
        const ssize_t n = ::read(in_, buf, sizeof buf);
        if (n <= 0) {  // the parent went away
            QCoreApplication::exit(1);
            return;
        }
        pending_.append(buf, n);
        for (qsizetype nl; (nl = pending_.indexOf('\n')) >= 0;) {
            const QString line = QString::fromUtf8(pending_.left(nl));
            pending_.remove(0, nl + 1);
            run(line.split(QLatin1Char(' ')));
        }
    }

    int in_;
    int out_;
    QSocketNotifier notifier_;
    QByteArray pending_;
    QObject* timerParent_ = nullptr;
};

} // namespace bench

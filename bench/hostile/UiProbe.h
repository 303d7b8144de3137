#pragma once
// The UI thread's side of a benchmark: how late a short timer fires at
// worst, and a wait that keeps the event loop running meanwhile.
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace bench {

// Measures how late a 10 ms timer on the UI thread fires at worst, from
// start() on.
class LatenessProbe {
public:
    static constexpr int kTickMs = 10;
    LatenessProbe()
    {
        timer_.setInterval(kTickMs);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 now = clock_.elapsed();
            worst_ = std::max(worst_, now - last_ - kTickMs);
            last_ = now;
        });
    }
    void start()
    {
        worst_ = 0;
        last_ = 0;
        clock_.start();
        timer_.start();
    }
    // Stops the probe and counts the wait since its last tick too.
    qint64 stop()
    {
        if (timer_.isActive()) {
            worst_ = std::max(worst_, clock_.elapsed() - last_ - kTickMs);
            timer_.stop();
        }
        return worst_;
    }
    qint64 worst() const { return worst_; }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    qint64 worst_ = 0;
};

// Runs the event loop in short turns until `done()` holds or `ms` pass.
template <typename Done> bool waitUntil(Done done, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Runs the event loop for `ms`.
inline void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// One figure against its yardstick, and whether it is met.
inline bool report(const char* what, double figure, double yardstick, const char* unit)
{
    const bool met = figure >= 0 && figure < yardstick;
    std::printf("  %-62s %7.1f %s, yardstick %5.0f %s, ratio %.2f  %s\n", what, figure, unit, yardstick, unit,
                figure / yardstick, met ? "met" : "MISSED");
    return met;
}

} // namespace bench

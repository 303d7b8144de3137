#pragma once
#include <QObject>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace corvid {

// The one way any thread hands work to the UI thread. Create it on the UI
// thread; it runs steps there in the order they were handed over.
//
// post() returns at once. runAndWait() returns when the step has run (true)
// or, once shutdown has begun, without running it (false, "not done"): a
// connection or worker thread blocked in it can then be joined. Called on
// the UI thread itself, runAndWait() runs the step inline.
class UiHandOver : public QObject {
    Q_OBJECT
public:
    explicit UiHandOver(QObject* parent = nullptr);
    ~UiHandOver() override;

    // Dropped silently once shutdown has begun.
    void post(std::function<void()> step);
    // The same, also dropped when `context` (an object of the UI thread) is
    // destroyed before the step runs.
    void post(QObject* context, std::function<void()> step);
    // `giveUp`, checked about every 50 ms while waiting, ends the wait with
    // "not done" too: a connection thread passes "my connection was shut",
    // so that whoever stops it can join it from the UI thread.
    bool runAndWait(const std::function<void()>& step, const std::function<bool()>& giveUp = {});

    // Makes every pending and future runAndWait return false and drops
    // posted steps that have not run yet. Any thread; idempotent. Contexts
    // of post() must not outlive this object.
    void beginShutdown();
    bool shuttingDown() const;

    bool onUiThread() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool shutdown_ = false;
};

} // namespace corvid

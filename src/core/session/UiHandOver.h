#pragma once
#include <QObject>

class QSocketNotifier;
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

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
    // The same, also dropped when `alive` has expired by the time the step
    // would run: the owner of the objects the step touches holds it.
    void post(std::weak_ptr<void> alive, std::function<void()> step);
    // `giveUp`, checked about every 50 ms while waiting, ends the wait with
    // "not done" too: a connection thread passes "my connection was shut",
    // so that whoever stops it can join it from the UI thread.
    bool runAndWait(const std::function<void()>& step, const std::function<bool()>& giveUp = {});

    // Makes every pending and future runAndWait return false and drops
    // posted steps that have not run yet. Any thread; idempotent.
    void beginShutdown();
    bool shuttingDown() const;

    // Compares with the thread that made this object, without asking Qt:
    // asking from a thread Qt did not start would make Qt adopt it.
    bool onUiThread() const { return std::this_thread::get_id() == uiThread_; }

private:
    // Steps wait in a queue of our own under mutex_, and other threads wake
    // the UI thread through an eventfd it watches: no Qt call is made off
    // the UI thread, so the thread checker sees every hand-over.
    void drain();
    void enqueue(std::function<void()> step);

    const std::thread::id uiThread_ = std::this_thread::get_id();
    int wakeFd_ = -1;
    QSocketNotifier* notifier_ = nullptr;  // child of this
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool shutdown_ = false;
    std::deque<std::function<void()>> steps_;
};

} // namespace corvid

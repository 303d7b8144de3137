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
    bool runAndWait(const std::function<void()>& step);

    // Makes every pending and future runAndWait return false and drops
    // future posts. Any thread; idempotent. Steps already queued by post()
    // still run, since they only touch objects the UI thread owns.
    void beginShutdown();
    bool shuttingDown() const;

    bool onUiThread() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool shutdown_ = false;
};

} // namespace corvid

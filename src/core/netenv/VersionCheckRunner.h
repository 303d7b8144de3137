#pragma once
#include "core/netenv/NetCancel.h"
#include "core/session/UiHandOver.h"
#include "core/netenv/UpdateCheck.h"
#include "core/session/ILogSink.h"

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace corvid {

// Runs update checks, each on a thread of its own: the fetch there, the
// evaluation and the result line on the UI thread through the hand-over.
// Several checks may run at once. The destructor cancels every check and
// joins its thread (hand-overs it waits on then return "not done").
class VersionCheckRunner {
public:
    struct Config {
        UpdateHost host = UpdateHost::fromBuild();
        QString makerUrl;
        ReplyLimits limits;
    };
    // UI thread: where a result code goes; the default logs
    // UpdateCheck::VersionCheckResultLine as a system line.
    using Report = std::function<void(int code, const QString& name)>;

    VersionCheckRunner(Config config, ILogSink& log, UiHandOver& ui);
    ~VersionCheckRunner();
    VersionCheckRunner(const VersionCheckRunner&) = delete;
    VersionCheckRunner& operator=(const VersionCheckRunner&) = delete;

    void setReport(Report report) { report_ = std::move(report); }
    // UI thread: the evaluation of a fetched version file (link line,
    // download link); public so that a worker of another kind can run it.
    void Evaluate(const QList<QByteArray>& lines);
    // UI thread. Starts one check.
    void StartVersionCheck();
    // Checks whose thread has not ended yet.
    int running() const;

private:
    struct Check {
        std::thread thread;
        NetCancel cancel;
        std::atomic<bool> done{false};
    };
    void run(Check& check);
    void reap();

    Config config_;
    ILogSink& log_;
    UiHandOver& ui_;
    Report report_;
    mutable std::mutex mutex_;
    std::list<std::unique_ptr<Check>> checks_;
};

} // namespace corvid

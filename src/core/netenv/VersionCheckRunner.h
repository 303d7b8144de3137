#pragma once
#include "core/base/ThreadOwner.h"
#include "core/netenv/NetCancel.h"
#include "core/session/UiHandOver.h"
#include "core/netenv/UpdateCheck.h"
#include "core/session/ILogSink.h"

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

    VersionCheckRunner(Config config, ILogSink& log, UiHandOver& ui);
    ~VersionCheckRunner();
    VersionCheckRunner(const VersionCheckRunner&) = delete;
    VersionCheckRunner& operator=(const VersionCheckRunner&) = delete;

    // UI thread. Starts one check.
    void StartVersionCheck();
    // Checks whose thread has not ended yet.
    int running() const { return threads_.running(); }

private:
    void run(NetCancel& cancel);
    // UI thread: the link line of a fetched version file, when any.
    void Evaluate(const QList<QByteArray>& lines);

    Config config_;
    ILogSink& log_;
    UiHandOver& ui_;
    ThreadOwner threads_;
};

} // namespace corvid

#pragma once
#include "core/transfer/ReceiveScheduler.h"
#include "core/transfer/SessionControllerLink.h"
#include "core/transfer/TransferCenter.h"
#include "core/transfer/TransferDispatch.h"

namespace corvid {

class AppSettings;
class ILogSink;
class SessionController;
class UiHandOver;

// The transfer side of one program instance, built and connected: the
// center works with the session through SessionControllerLink, the
// scheduler observes the center, and the session hands the peer's file
// and list conversations to the dispatch. The main window owns it and
// creates the transfer window over center(); that window registers itself
// with the center (TransferCenter::setWindow) and drives the scheduler.
//
// It must outlive the session's shutdown (the session's threads call the
// dispatch); Shutdown() joins the workers. UI thread.
class TransferSide {
public:
    TransferSide(AppSettings& settings, ILogSink& log, UiHandOver& handOver, SessionController& session);
    ~TransferSide();
    TransferSide(const TransferSide&) = delete;
    TransferSide& operator=(const TransferSide&) = delete;

    TransferCenter& center() { return center_; }
    ReceiveScheduler& scheduler() { return scheduler_; }
    void Shutdown() { center_.Shutdown(); }

private:
    SessionControllerLink link_;
    TransferCenter center_;
    ReceiveScheduler scheduler_;
    TransferDispatch dispatch_;
};

} // namespace corvid

#include "core/transfer/TransferSide.h"

#include "core/session/SessionController.h"

namespace corvid {

TransferSide::TransferSide(AppSettings& settings, ILogSink& log, UiHandOver& handOver, SessionController& session)
    : link_(session)
    , center_(settings, log, handOver)
    , scheduler_(center_)
    , dispatch_(center_)
{
    center_.setSession(&link_);
    session.setDispatch(&dispatch_);
}

TransferSide::~TransferSide()
{
    center_.Shutdown();
}

} // namespace corvid

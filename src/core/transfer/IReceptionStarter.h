#pragma once
#include "core/protocol/RowLink.h"

namespace corvid {

// Client role: starts the reception of a receive row (a kind 32 worker).
// The transfer center is the one implementation; the scheduler's tests
// stand in for it to see which rows start, without a network. UI thread.
class IReceptionStarter {
public:
    virtual ~IReceptionStarter() = default;

    virtual void startReception(const RowRef& row) = 0;
};

} // namespace corvid

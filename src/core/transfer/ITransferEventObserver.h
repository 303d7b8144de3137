#pragma once
#include <QString>

namespace corvid {

// Told of every result code the transfer side reports, before it is acted
// on. The receive scheduler is one (the end of a reception runs its next
// step); diagnostics and tests add theirs. UI thread only.
class ITransferEventObserver {
public:
    virtual ~ITransferEventObserver() = default;

    virtual void transferEvent(int code, const QString& name) = 0;
};

} // namespace corvid

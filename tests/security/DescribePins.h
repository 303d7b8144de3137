#pragma once
#include "core/security/PeerPins.h"

#include <string>

namespace corvid::test {

// Pins in one readable line (first two key bytes), for comparing tables
// with a useful failure message.
inline std::string describe(const QList<PeerPins::Pin>& pins)
{
    std::string out;
    for (const PeerPins::Pin& p : pins)
        out += "[" + p.fingerprint.toHex().left(4).toStdString() + " " + p.address.toStdString()
            + " '" + p.name.toStdString() + "'] ";
    return out;
}

} // namespace corvid::test

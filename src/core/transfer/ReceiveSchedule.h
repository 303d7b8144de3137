#pragma once
#include "core/protocol/RowLink.h"

#include <QByteArray>
#include <QList>

namespace corvid {

// The receive side's scheduling state. UI thread only: workers and
// connection threads reach it through the hand-over.
struct ReceiveSchedule {
    RowRef NormalCursor;      // row of the normal reception, or none
    RowRef PriorityCursor;    // row of the priority reception, or none
    bool PriorityPending = false;
    bool ListWindowShown = false;  // the transfer window has been shown once
    QList<QByteArray> PendingList; // a list pushed before that first showing (wire lines)
};

} // namespace corvid

#pragma once

namespace corvid {

// Transfer state of a queue row, as the row's state image index.
enum class RowState : int {
    Unlisted = -1,     // send queue: added while sending is on, not yet listed
    Waiting = 0,
    Transferring = 1,
    Done = 2,
    Failed = 3,
    Stopped = 4,
    New = 5,           // receive queue: waits for permission
    Refused = 6,
};

} // namespace corvid

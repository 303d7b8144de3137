#pragma once
#include "core/transfer/TransferList.h"
#include "core/transfer/TransferQueue.h"

namespace corvid {

// Everything the transfer side shares: the two queues (UI thread) and the
// two lists of running transfers (any thread). Created once at start and
// kept until the end; the transfer window renders it, workers and
// connection threads use the lists and hand queue changes to the UI thread.
class TransferModel {
public:
    TransferModel() = default;
    TransferModel(const TransferModel&) = delete;
    TransferModel& operator=(const TransferModel&) = delete;

    TransferQueue receiveQueue{QueueKind::Receive};
    TransferQueue sendQueue{QueueKind::Send};
    TransferList receivingList;
    TransferList sendingList;
};

} // namespace corvid

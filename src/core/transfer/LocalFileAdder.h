#pragma once
#include "core/transfer/TransferQueue.h"

#include <QString>

namespace corvid {

enum class AddFileResult {
    Added,
    AlreadyListed,  // the first row of that name has the same size
    NotAFile,       // missing, a folder, or empty
    TooLarge,       // 2^31 bytes or more: no size field can carry it
    NameNotListable // the name cannot travel in a list (not Shift-JIS, quote, control character)
};

// Puts local files into the send queue.
class LocalFileAdder {
public:
    static AddFileResult AddLocalFile(TransferQueue& sendQueue, const QString& path);
    // The system line for a result the user must hear of; empty otherwise.
    static QString Message(AddFileResult result, const QString& path);
};

} // namespace corvid

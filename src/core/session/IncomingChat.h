#pragma once
#include "core/protocol/HeaderBlock.h"
#include "core/protocol/TcpConnection.h"

#include <QString>

namespace corvid {

class ILogSink;

// A chat body read off the wire after its Send block, or the failure to
// read it. Read on the connection's thread; logged wherever the role logs.
struct IncomingChat {
    bool ok = false;
    QString text;

    // Reads the body of ContentLength bytes (written with thousands
    // separators); a length of 0 or less or a short read fails.
    static IncomingChat Read(TcpConnection& c, const HeaderBlock& block);
    // The received line, or the failure as a system line.
    void log(ILogSink& sink) const;
};

} // namespace corvid

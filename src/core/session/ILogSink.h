#pragma once
#include <QString>

namespace corvid {

// Kinds of chat-log lines.
enum LineKind { LineOwn = 0, LineRecv = 1, LineSys = 2 };

// The one way the core tells the user something. Implementations must be
// callable from any thread.
class ILogSink {
public:
    virtual ~ILogSink() = default;
    virtual void AddLogLine(const QString& text, int kind) = 0;
    // The name shown in front of received lines; told before any line
    // that follows a change of it.
    virtual void setPeerName(const QString& name) { Q_UNUSED(name); }
};

} // namespace corvid

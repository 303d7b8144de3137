#include "core/netenv/ReplyReader.h"

#include "core/base/TextLines.h"

#include <chrono>

namespace corvid {
namespace {
using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point end)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}
} // namespace

ReplyEnd ReplyReader::ReadLines(TcpConnection& c, QList<QByteArray>& lines, int firstLineMs,
                                const ReplyLimits& limits)
{
    lines.clear();
    const auto end = Clock::now() + std::chrono::milliseconds(qMax(0, limits.overallMs));
    qint64 bytes = 0;
    for (;;) {
        const int wait = qMin(lines.isEmpty() ? firstLineMs : limits.nextLineMs, msLeft(end));
        QByteArray line;
        const ReadStatus s = c.readLine(line, wait, limits.lineBytes);
        if (s == ReadStatus::Closed)
            return ReplyEnd::Closed;
        if (s == ReadStatus::TooLong) {
            c.shutdown();
            return ReplyEnd::TooLong;
        }
        if (s == ReadStatus::Timeout) {
            if (msLeft(end) == 0 && wait < (lines.isEmpty() ? firstLineMs : limits.nextLineMs))
                return ReplyEnd::OutOfTime;
            line.clear();  // a silence counts as the empty line
        }
        line = TextLines::Trim(line);
        bytes += line.size() + 2;
        if (bytes > limits.maxBytes || lines.size() >= limits.maxLines) {
            c.shutdown();
            return ReplyEnd::TooLong;
        }
        if (line.isEmpty() && lines.isEmpty())
            return ReplyEnd::Done;
        lines.append(line);
        if (line.isEmpty())
            return ReplyEnd::Done;
    }
}

bool ReplyReader::ReadExactly(TcpConnection& c, QByteArray& out, qint64 n, const ReplyLimits& limits)
{
    out.clear();
    if (n <= 0)
        return true;
    if (n > limits.maxBytes) {
        c.shutdown();
        return false;
    }
    const auto end = Clock::now() + std::chrono::milliseconds(qMax(0, limits.overallMs));
    while (out.size() < n) {
        const int wait = msLeft(end);
        if (wait == 0) {
            c.shutdown();
            return false;
        }
        const ReadStatus s = c.readSome(out, qMin<qint64>(n - out.size(), 1024), wait);
        if (s == ReadStatus::Closed)
            return false;
        if (s != ReadStatus::Ok) {
            c.shutdown();
            return false;
        }
    }
    return true;
}

} // namespace corvid

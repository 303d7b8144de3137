#include "core/protocol/ListLineSplitter.h"

namespace corvid {

void ListLineSplitter::feed(QByteArrayView bytes)
{
    const char* p = bytes.data();
    const qsizetype size = bytes.size();
    qsizetype start = 0;
    for (qsizetype i = 0; i < size && !full(); ++i) {
        const unsigned char ch = static_cast<unsigned char>(p[i]);
        if (ch != '\r' && ch != '\n') {
            blank_ = blank_ && ch <= 0x20;
            continue;
        }
        if (!overlong_ && partial_.size() + (i - start) > kMaxLineBytes)
            overlong_ = true;
        if (!overlong_ && !blank_)
            partial_.append(p + start, i - start);
        endLine();
        start = i + 1;
    }
    if (full() || start >= size)
        return;
    // A line that goes on in the next piece (its bytes were scanned above).
    const qsizetype rest = size - start;
    if (overlong_ || partial_.size() + rest > kMaxLineBytes) {
        overlong_ = true;
        partial_.clear();
    } else {
        partial_.append(p + start, rest);
    }
}

void ListLineSplitter::finish()
{
    if (!full())
        endLine();
}

void ListLineSplitter::endLine()
{
    if (!blank_ && !overlong_)
        lines_.append(partial_);
    partial_.clear();
    blank_ = true;
    overlong_ = false;
}

} // namespace corvid

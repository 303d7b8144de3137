#pragma once
#include <QByteArray>
#include <QByteArrayView>
#include <QList>

namespace corvid {

// Cuts a file-list body into its lines while the bytes arrive, keeping at
// most `maxLines` of them. A line ends at CR LF, a lone CR or a lone LF.
// Lines of blanks only (bytes of 0x20 or less) are left out, and so are lines
// longer than kMaxLineBytes, which no row could come of. Once the cap is
// reached the rest is not even scanned: memory and time follow the lines
// kept, never the body.
class ListLineSplitter {
public:
    static constexpr qsizetype kMaxLineBytes = 4096;

    explicit ListLineSplitter(qsizetype maxLines) : maxLines_(maxLines) {}

    void feed(QByteArrayView bytes);
    // The end of the body: a last line without a break counts too.
    void finish();
    bool full() const { return lines_.size() >= maxLines_; }
    QList<QByteArray> takeLines() { return std::exchange(lines_, {}); }

private:
    void endLine();

    const qsizetype maxLines_;
    QList<QByteArray> lines_;
    QByteArray partial_;     // the line so far, while it may still be kept
    bool blank_ = true;      // nothing but blanks in the line so far
    bool overlong_ = false;  // the line passed kMaxLineBytes
};

} // namespace corvid

#pragma once
#include <QByteArray>
#include <QList>

namespace corvid {

// Line handling shared by every text the peers and the update host send:
// CR, LF and CRLF all end a line, and blanks are bytes up to 0x20.
class TextLines {
public:
    // No extra empty line after a final line break.
    static QList<QByteArray> Split(const QByteArray& text);
    // Leading and trailing bytes up to 0x20 removed.
    static QByteArray Trim(const QByteArray& line);
};

} // namespace corvid

#pragma once
#include <QString>
#include <QtGlobal>

namespace corvid {

// A colour as the GUI keeps it: 0x00BBGGRR, red in the low byte.
using ColorValue = quint32;

// The two pairs of conversions every grouped number and every colour passes
// through between the settings file, the wire and the windows.
class Conversions {
public:
    // Decimal text grouped by three with ",": 1234567 -> "1,234,567",
    // -1000 -> "-1,000", 999 -> "999".
    static QString FormatThousands(qint32 value);
    static QString FormatThousands(qint64 value);
    // Formats the 64-bit value of a decimal text (surrounding blanks and a
    // sign allowed). Text that is not such a number gives "0" and clears
    // `ok`.
    static QString FormatThousands(const QString& decimalText, bool* ok = nullptr);

    // Reads grouped text back: empty text gives 0; every "," is removed and
    // the rest is read as a 32-bit signed decimal number, widened to 64 bits.
    // Text that is not such a number (or is out of the 32-bit range) gives 0
    // and clears `ok`, so typed or pasted garbage never fails a caller.
    static qint64 ParseThousands(const QString& text, bool* ok = nullptr);
    // The same over the whole signed 64-bit range: file sizes, which may be
    // 2 GiB and more. Text out of that range gives 0 and clears `ok`.
    static qint64 ParseThousands64(const QString& text, bool* ok = nullptr);

    // 0x00BBGGRR -> "#RRGGBB" in upper case. The high byte is ignored.
    static QString ColorToHtml(ColorValue color);
    // "#RRGGBB" -> 0x00BBGGRR. Anything but "#" followed by exactly six
    // hexadecimal digits gives 0 and clears `ok`, so callers can fall back
    // to a default instead of using a made-up colour.
    static ColorValue HtmlToColor(const QString& text, bool* ok = nullptr);

    // Value of one hexadecimal digit, or -1.
    static int HexDigit(QChar c);
};

} // namespace corvid

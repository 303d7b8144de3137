#include "core/settings/Conversions.h"

#include <limits>

namespace corvid {

namespace {

// Groups the digits of a magnitude; unsigned so that INT64_MIN has one too.
QString groupDigits(quint64 magnitude, bool negative)
{
    const QString digits = QString::number(magnitude);
    QString out;
    out.reserve(digits.size() + digits.size() / 3 + 1);
    const qsizetype n = digits.size();
    for (qsizetype i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0)
            out.append(QLatin1Char(','));
        out.append(digits.at(i));
    }
    if (negative)
        out.prepend(QLatin1Char('-'));
    return out;
}


void setOk(bool* ok, bool value)
{
    if (ok)
        *ok = value;
}

} // namespace

QString Conversions::FormatThousands(qint32 value)
{
    return FormatThousands(static_cast<qint64>(value));
}

QString Conversions::FormatThousands(qint64 value)
{
    const bool negative = value < 0;
    // Two's complement negation in unsigned arithmetic is defined for INT64_MIN.
    const quint64 magnitude = negative ? (~static_cast<quint64>(value) + 1u)
                                       : static_cast<quint64>(value);
    return groupDigits(magnitude, negative);
}

QString Conversions::FormatThousands(const QString& decimalText, bool* ok)
{
    bool parsed = false;
    const qint64 value = decimalText.trimmed().toLongLong(&parsed, 10);
    setOk(ok, parsed);
    return FormatThousands(parsed ? value : qint64(0));
}

qint64 Conversions::ParseThousands(const QString& text, bool* ok)
{
    // The 64-bit reading, held to what a 32-bit column can carry.
    bool parsed = false;
    const qint64 value = ParseThousands64(text, &parsed);
    parsed = parsed && value >= std::numeric_limits<qint32>::min() && value <= std::numeric_limits<qint32>::max();
    setOk(ok, parsed);
    return parsed ? value : 0;
}

qint64 Conversions::ParseThousands64(const QString& text, bool* ok)
{
    if (text.isEmpty()) {
        setOk(ok, true);
        return 0;
    }
    QString plain = text;
    plain.remove(QLatin1Char(','));
    bool parsed = false;
    const qint64 value = plain.toLongLong(&parsed, 10);
    setOk(ok, parsed);
    return parsed ? value : 0;
}

QString Conversions::ColorToHtml(ColorValue color)
{
    const unsigned red = color & 0xFFu;
    const unsigned green = (color >> 8) & 0xFFu;
    const unsigned blue = (color >> 16) & 0xFFu;
    return QStringLiteral("#%1%2%3")
        .arg(red, 2, 16, QLatin1Char('0'))
        .arg(green, 2, 16, QLatin1Char('0'))
        .arg(blue, 2, 16, QLatin1Char('0'))
        .toUpper();
}

ColorValue Conversions::HtmlToColor(const QString& text, bool* ok)
{
    if (text.size() != 7 || text.at(0) != QLatin1Char('#')) {
        setOk(ok, false);
        return 0;
    }
    ColorValue rgb = 0;
    for (qsizetype i = 1; i < 7; ++i) {
        const int digit = HexDigit(text.at(i));
        if (digit < 0) {
            setOk(ok, false);
            return 0;
        }
        rgb = (rgb << 4) | static_cast<ColorValue>(digit);
    }
    // rgb is 0x00RRGGBB here; the GUI wants the bytes the other way round.
    const ColorValue red = (rgb >> 16) & 0xFFu;
    const ColorValue green = (rgb >> 8) & 0xFFu;
    const ColorValue blue = rgb & 0xFFu;
    setOk(ok, true);
    return (blue << 16) | (green << 8) | red;
}

int Conversions::HexDigit(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

} // namespace corvid

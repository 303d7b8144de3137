#include "core/base/TextLines.h"

namespace corvid {

QList<QByteArray> TextLines::Split(const QByteArray& text)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char ch = text[i];
        if (ch != '\r' && ch != '\n')
            continue;
        lines.append(text.mid(start, i - start));
        if (ch == '\r' && i + 1 < n && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < n)
        lines.append(text.mid(start));
    return lines;
}

QByteArray TextLines::Trim(const QByteArray& line)
{
    qsizetype b = 0;
    qsizetype e = line.size();
    while (b < e && quint8(line[b]) <= 0x20)
        ++b;
    while (e > b && quint8(line[e - 1]) <= 0x20)
        --e;
    return line.mid(b, e - b);
}

} // namespace corvid

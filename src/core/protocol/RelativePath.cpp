#include "core/protocol/RelativePath.h"

#include <QFile>

namespace corvid {

namespace {

bool isControl(QChar ch)
{
    const char16_t u = ch.unicode();
    return u < 0x20 || u == 0x7F || ch.category() == QChar::Other_Control;
}

} // namespace

RelativePath::Problem RelativePath::Check(const QString& path)
{
    if (path.isEmpty())
        return Problem::Empty;
    if (path.startsWith(u'/'))
        return Problem::Absolute;
    for (const QChar ch : path) {
        if (ch == u'\\')
            return Problem::Backslash;
        if (isControl(ch))
            return Problem::ControlCharacter;
    }
    // Each UTF-16 unit is at most three bytes on disk: encode only when the
    // text could be too long.
    const bool mayBeLong = path.size() * 3 > kMaxLastComponentBytes;
    if (mayBeLong && QFile::encodeName(path).size() > kMaxPathBytes)
        return Problem::TooLong;
    const QStringList parts = Components(path);
    if (parts.size() > kMaxDepth)
        return Problem::TooDeep;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString& c = parts[i];
        if (c.isEmpty())
            return Problem::EmptyComponent;
        if (c == QLatin1String(".") || c == QLatin1String(".."))
            return Problem::DotComponent;
        const int most = i + 1 == parts.size() ? kMaxLastComponentBytes : kMaxComponentBytes;
        if (mayBeLong && QFile::encodeName(c).size() > most)
            return Problem::ComponentTooLong;
    }
    return Problem::None;
}

bool RelativePath::IsSafeBareName(const QString& name)
{
    return !name.contains(u'/') && IsSafe(name);
}

const char* RelativePath::Describe(Problem p)
{
    switch (p) {
    case Problem::None: return "none";
    case Problem::Empty: return "empty";
    case Problem::Absolute: return "absolute";
    case Problem::EmptyComponent: return "empty component";
    case Problem::DotComponent: return "dot component";
    case Problem::Backslash: return "backslash";
    case Problem::ControlCharacter: return "control character";
    case Problem::ComponentTooLong: return "component too long";
    case Problem::TooLong: return "too long";
    case Problem::TooDeep: return "too deep";
    }
    return "?";
}

} // namespace corvid

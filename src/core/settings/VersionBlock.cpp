#include "core/settings/VersionBlock.h"

#include <QStringList>
#include <QtEndian>

namespace corvid {
namespace {

void put16(QByteArray& out, quint16 v)
{
    char b[2];
    qToLittleEndian(v, b);
    out.append(b, 2);
}

void put32(QByteArray& out, quint32 v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}

void align(QByteArray& out)
{
    while (out.size() % 4)
        out.append('\0');
}

void putText(QByteArray& out, const QString& text)
{
    for (const QChar c : text)
        put16(out, c.unicode());
    put16(out, 0);
}

// One node: header, key, value, children; the length is patched in last.
QByteArray node(const QString& key, const QByteArray& value, quint16 valueLength, bool text,
                const QList<QByteArray>& children)
{
    QByteArray out;
    put16(out, 0);
    put16(out, valueLength);
    put16(out, text ? 1 : 0);
    putText(out, key);
    align(out);
    out += value;
    for (const QByteArray& child : children) {
        align(out);
        out += child;
    }
    qToLittleEndian(quint16(out.size()), out.data());
    return out;
}

QByteArray textNode(const QString& key, const QString& value)
{
    QByteArray v;
    putText(v, value);
    return node(key, v, quint16(value.size() + 1), true, {});
}

quint16 get16(const QByteArray& b, qsizetype at)
{
    return qFromLittleEndian<quint16>(b.constData() + at);
}

struct Node {
    QString key;
    qsizetype valueAt = 0;
    qsizetype valueBytes = 0;
    bool text = false;
    qsizetype childrenAt = 0;
    qsizetype end = 0;
};

// Reads the node at `at` within [at, limit); false when it does not fit.
bool readNode(const QByteArray& b, qsizetype at, qsizetype limit, Node& n)
{
    if (at < 0 || at + 6 > limit)
        return false;
    const qsizetype length = get16(b, at);
    if (length < 6 || at + length > limit)
        return false;
    n.end = at + length;
    const quint16 valueLength = get16(b, at + 2);
    n.text = get16(b, at + 4) == 1;
    qsizetype p = at + 6;
    n.key.clear();
    for (;;) {
        if (p + 2 > n.end)
            return false;
        const quint16 c = get16(b, p);
        p += 2;
        if (c == 0)
            break;
        n.key.append(QChar(c));
    }
    p = (p + 3) & ~qsizetype(3);
    n.valueAt = p;
    n.valueBytes = n.text ? qsizetype(valueLength) * 2 : qsizetype(valueLength);
    if (n.valueAt + n.valueBytes > n.end)
        n.valueBytes = qMax<qsizetype>(0, n.end - n.valueAt);
    n.childrenAt = (n.valueAt + n.valueBytes + 3) & ~qsizetype(3);
    return true;
}

} // namespace

QByteArray VersionBlock::Build(const Contents& contents)
{
    QByteArray fixed;
    put32(fixed, 0xFEEF04BD);  // signature
    put32(fixed, 0x00010000);  // structure version
    const quint32 ms = (quint32(contents.version[0]) << 16) | contents.version[1];
    const quint32 ls = (quint32(contents.version[2]) << 16) | contents.version[3];
    put32(fixed, ms);
    put32(fixed, ls);
    put32(fixed, ms);
    put32(fixed, ls);
    put32(fixed, 0x3F);     // flags mask
    put32(fixed, 0);        // flags
    put32(fixed, 0x40004);  // operating system
    put32(fixed, 1);        // file type: application
    put32(fixed, 0);        // subtype
    put32(fixed, 0);        // date
    put32(fixed, 0);

    QList<QByteArray> tables;
    for (const StringTable& t : contents.tables) {
        QList<QByteArray> strings;
        for (const auto& [name, value] : t.strings)
            strings << textNode(name, value);
        tables << node(t.translation, {}, 0, true, strings);
    }
    QByteArray pairs;
    for (const auto& [language, codePage] : contents.translations) {
        put16(pairs, language);
        put16(pairs, codePage);
    }
    const QByteArray translation = node(QStringLiteral("Translation"), pairs, quint16(pairs.size()), false, {});
    return node(QStringLiteral("VS_VERSION_INFO"), fixed, quint16(fixed.size()), false,
                {node(QStringLiteral("StringFileInfo"), {}, 0, true, tables),
                 node(QStringLiteral("VarFileInfo"), {}, 0, true, {translation})});
}

VersionBlock::Contents VersionBlock::ProgramContents(const QString& name, const QString& version, quint16 language,
                                             quint16 codePage)
{
    Contents contents;
    const QStringList parts = version.split(QLatin1Char('.'));
    for (int i = 0; i < 4 && i < parts.size(); ++i)
        contents.version[i] = quint16(parts[i].toUInt());
    const QString translation = QStringLiteral("%1%2")
                                    .arg(language, 4, 16, QLatin1Char('0'))
                                    .arg(codePage, 4, 16, QLatin1Char('0'))
                                    .toUpper();
    contents.tables << StringTable{translation,
                               {{QStringLiteral("CompanyName"), name},
                                {QStringLiteral("FileDescription"), name},
                                {QStringLiteral("FileVersion"), version},
                                {QStringLiteral("InternalName"), name.toLower()},
                                {QStringLiteral("LegalCopyright"), QString()},
                                {QStringLiteral("OriginalFilename"), name.toLower()},
                                {QStringLiteral("ProductName"), name},
                                {QStringLiteral("ProductVersion"), version}}};
    contents.translations << qMakePair(language, codePage);
    return contents;
}

bool VersionBlock::Query(const QByteArray& block, const QString& subBlock, QByteArray& value, bool* isText)
{
    value.clear();
    Node n;
    if (!readNode(block, 0, block.size(), n))
        return false;
    // "\" is the root. Past the leading separator an empty key names no
    // node: "\StringFileInfo\\<name>" (no translation) must not read a
    // table called <name> as a string.
    QStringView rest(subBlock);
    if (rest.startsWith(QLatin1Char('\\')))
        rest = rest.mid(1);
    const QList<QStringView> path =
        rest.isEmpty() ? QList<QStringView>() : rest.split(QLatin1Char('\\'), Qt::KeepEmptyParts);
    for (const QStringView key : path) {
        if (key.isEmpty())
            return false;
        bool found = false;
        Node child;
        for (qsizetype at = n.childrenAt; at < n.end;) {
            if (!readNode(block, at, n.end, child))
                return false;
            if (child.key.compare(key, Qt::CaseInsensitive) == 0) {
                found = true;
                break;
            }
            at = (child.end + 3) & ~qsizetype(3);
        }
        if (!found)
            return false;
        n = child;
    }
    value = block.mid(n.valueAt, n.valueBytes);
    if (isText)
        *isText = n.text;
    return true;
}

QString VersionBlock::Text(const QByteArray& value)
{
    QString out;
    for (qsizetype i = 0; i + 1 < value.size(); i += 2) {
        const quint16 c = get16(value, i);
        if (c == 0)
            break;
        out.append(QChar(c));
    }
    return out;
}

} // namespace corvid

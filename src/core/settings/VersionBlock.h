#pragma once
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace corvid {

// A version-information block in the layout of an executable's version
// resource: a tree of nodes (length, value length, type, UTF-16 key, value,
// children, each aligned to 4 bytes) with the fixed file info at the root,
// string tables under "StringFileInfo" and the translation list under
// "VarFileInfo". Built at build time for the program itself; parsed with
// bounds checks, so a damaged block gives "not found", never a bad read.
class VersionBlock {
public:
    struct StringTable {
        QString translation;                     // e.g. "041103A4"
        QList<QPair<QString, QString>> strings;  // name, value
    };
    struct Contents {
        quint16 version[4] = {0, 0, 0, 0};       // fixed file and product version
        QList<StringTable> tables;
        QList<QPair<quint16, quint16>> translations;  // language, code page
    };

    static QByteArray Build(const Contents& contents);
    // The usual strings of a program's block, with one translation.
    static Contents ProgramContents(const QString& name, const QString& version, quint16 language, quint16 codePage);

    // The value of a sub-block: "\" (fixed info), "\VarFileInfo\Translation"
    // or "\StringFileInfo\<translation>\<name>"; keys compare without case.
    // False when the path names no node.
    static bool Query(const QByteArray& block, const QString& subBlock, QByteArray& value, bool* isText = nullptr);
    // A text value read up to its first zero character.
    static QString Text(const QByteArray& value);
};

// The block generated at build time for this program.
QByteArray ownVersionBlock();

} // namespace corvid

#pragma once
#include <QByteArray>
#include <QList>
#include <QString>

namespace corvid {

// The settings file: [Section] headers and Key=Value lines, UTF-8.
//
// Section and key names compare without regard to case. Every read looks at
// the file as it is on disk now, and every write goes to the disk at once:
// the whole file is read, the one key is changed or added and the file is
// replaced, so other lines, comments and their order stay as they were. A
// missing file or section is created by the first write; nothing ever
// deletes a key. Use from one thread at a time.
class IniFile {
public:
    // Longest string value a read returns, in characters.
    static constexpr int MaxValueLength = 2047;

    explicit IniFile(const QString& path);

    // Full path of the file, as it appears in error texts.
    QString path() const { return path_; }

    bool sectionExists(const QString& section) const;
    bool valueExists(const QString& section, const QString& key) const;

    // The value with surrounding blanks removed, cut to MaxValueLength
    // characters; `def` when the key is missing.
    QString readString(const QString& section, const QString& key, const QString& def) const;
    // Decimal, or hexadecimal after "0x"/"0X"; anything else gives `def`.
    qint32 readInteger(const QString& section, const QString& key, qint32 def) const;
    // Read as an integer: 0 is false, any other number true, text `def`.
    bool readBool(const QString& section, const QString& key, bool def) const;

    // Each returns false when the file cannot be written, with `error` (if
    // given) set to "<full path> に書き込めません"; the file is then left as
    // it was. Line breaks in a value are written as blanks so that a value
    // can never add lines of its own.
    bool writeString(const QString& section, const QString& key, const QString& value,
                     QString* error = nullptr);
    bool writeInteger(const QString& section, const QString& key, qint32 value,
                      QString* error = nullptr);
    bool writeBool(const QString& section, const QString& key, bool value,
                   QString* error = nullptr);

private:
    struct Document {
        QList<QByteArray> lines;
        QByteArray eol = "\n";
        bool bom = false;
    };
    // Line range [begin, end) of a section's body; begin is -1 when missing.
    struct Range {
        qsizetype header = -1;
        qsizetype begin = -1;
        qsizetype end = -1;
    };

    bool load(Document* doc) const;
    static Range findSection(const Document& doc, const QString& section);
    static qsizetype findKey(const Document& doc, const Range& range, const QString& key);
    bool lookup(const QString& section, const QString& key, QByteArray* value) const;
    bool mayWrite() const;
    bool fail(QString* error) const;

    QString path_;
};

} // namespace corvid

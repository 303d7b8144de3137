#include "core/settings/IniFile.h"

#include "core/settings/Conversions.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace corvid {

namespace {

const QByteArray kBom("\xEF\xBB\xBF");

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArray trimBlanks(const QByteArray& s)
{
    qsizetype b = 0;
    qsizetype e = s.size();
    while (b < e && isBlank(s.at(b)))
        ++b;
    while (e > b && isBlank(s.at(e - 1)))
        --e;
    return s.mid(b, e - b);
}

// "[Name]" -> Name. Text after the closing bracket is ignored.
bool sectionHeader(const QByteArray& line, QString* name)
{
    const QByteArray t = trimBlanks(line);
    if (!t.startsWith('['))
        return false;
    const qsizetype close = t.indexOf(']');
    if (close < 0)
        return false;
    if (name)
        *name = QString::fromUtf8(trimBlanks(t.mid(1, close - 1)));
    return true;
}

// "Key=Value" -> Key and the raw value; comments and lines without "=" are
// not key lines.
bool keyLine(const QByteArray& line, QString* key, QByteArray* value)
{
    const QByteArray t = trimBlanks(line);
    if (t.isEmpty() || t.startsWith(';') || t.startsWith('['))
        return false;
    const qsizetype eq = t.indexOf('=');
    if (eq <= 0)
        return false;
    const QByteArray k = trimBlanks(t.left(eq));
    if (k.isEmpty())
        return false;
    if (key)
        *key = QString::fromUtf8(k);
    if (value)
        *value = trimBlanks(t.mid(eq + 1));
    return true;
}

bool sameName(const QString& a, const QString& b)
{
    return QString::compare(a, b, Qt::CaseInsensitive) == 0;
}

// Hexadecimal after "0x" may use all 32 bits ("0xFFFFFFFF" is -1); decimal
// must fit a signed 32-bit number.
bool parseInteger(const QString& text, qint32* out)
{
    if (text.size() > 2 && text.at(0) == QLatin1Char('0')
        && (text.at(1) == QLatin1Char('x') || text.at(1) == QLatin1Char('X'))) {
        quint64 v = 0;
        for (qsizetype i = 2; i < text.size(); ++i) {
            const int d = Conversions::HexDigit(text.at(i));
            if (d < 0)
                return false;
            v = (v << 4) | static_cast<quint64>(d);
            if (v > 0xFFFFFFFFull)
                return false;
        }
        *out = static_cast<qint32>(static_cast<quint32>(v));
        return true;
    }
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text.at(i) == QLatin1Char('+') || text.at(i) == QLatin1Char('-'))) {
        negative = text.at(i) == QLatin1Char('-');
        ++i;
    }
    if (i == text.size())
        return false;
    qint64 v = 0;
    for (; i < text.size(); ++i) {
        const char16_t u = text.at(i).unicode();
        if (u < u'0' || u > u'9')
            return false;
        v = v * 10 + (u - u'0');
        if (v > 2147483648LL)
            return false;
    }
    if (negative)
        v = -v;
    if (v > 2147483647LL)
        return false;
    *out = static_cast<qint32>(v);
    return true;
}

// A value must stay on its own line.
QByteArray encodeValue(const QString& value)
{
    QString flat = value;
    for (QChar& c : flat) {
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QChar(u'\0'))
            c = QLatin1Char(' ');
    }
    return flat.toUtf8();
}

// Write permission as a read-only attribute would give it: without any
// write bit a file or folder refuses, even for a privileged user.
bool writablePath(const QByteArray& path, bool wantDir)
{
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return false;
    if (wantDir ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))
        return false;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return false;
    return ::access(path.constData(), wantDir ? (W_OK | X_OK) : W_OK) == 0;
}

} // namespace

IniFile::IniFile(const QString& path)
    : path_(QFileInfo(path).absoluteFilePath())
{
}

bool IniFile::load(Document* doc) const
{
    QFile file(path_);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return false;
    if (data.startsWith(kBom)) {
        doc->bom = true;
        data.remove(0, kBom.size());
    }
    const qsizetype firstLf = data.indexOf('\n');
    if (firstLf > 0 && data.at(firstLf - 1) == '\r')
        doc->eol = "\r\n";
    doc->lines = data.split('\n');
    // The file's last line break leaves an empty piece behind.
    if (!doc->lines.isEmpty() && doc->lines.constLast().isEmpty())
        doc->lines.removeLast();
    for (QByteArray& line : doc->lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    return true;
}

IniFile::Range IniFile::findSection(const Document& doc, const QString& section)
{
    Range r;
    QString name;
    for (qsizetype i = 0; i < doc.lines.size(); ++i) {
        if (!sectionHeader(doc.lines.at(i), &name))
            continue;
        if (r.header >= 0) {
            r.end = i;
            return r;
        }
        if (sameName(name, section)) {
            r.header = i;
            r.begin = i + 1;
        }
    }
    if (r.header >= 0)
        r.end = doc.lines.size();
    return r;
}

qsizetype IniFile::findKey(const Document& doc, const Range& range, const QString& key)
{
    QString name;
    for (qsizetype i = range.begin; i >= 0 && i < range.end; ++i) {
        if (keyLine(doc.lines.at(i), &name, nullptr) && sameName(name, key))
            return i;
    }
    return -1;
}

bool IniFile::lookup(const QString& section, const QString& key, QByteArray* value) const
{
    Document doc;
    if (!load(&doc))
        return false;
    const qsizetype line = findKey(doc, findSection(doc, section), key);
    if (line < 0)
        return false;
    return keyLine(doc.lines.at(line), nullptr, value);
}

bool IniFile::sectionExists(const QString& section) const
{
    Document doc;
    return load(&doc) && findSection(doc, section).header >= 0;
}

bool IniFile::valueExists(const QString& section, const QString& key) const
{
    return lookup(section, key, nullptr);
}

QString IniFile::readString(const QString& section, const QString& key, const QString& def) const
{
    QByteArray raw;
    if (!lookup(section, key, &raw))
        return def;
    QString value = QString::fromUtf8(raw);
    if (value.size() > MaxValueLength) {
        qsizetype n = MaxValueLength;
        // Never keep half of a surrogate pair.
        if (value.at(n - 1).isHighSurrogate())
            --n;
        value.truncate(n);
    }
    return value;
}

qint32 IniFile::readInteger(const QString& section, const QString& key, qint32 def) const
{
    QByteArray raw;
    if (!lookup(section, key, &raw))
        return def;
    qint32 value = 0;
    return parseInteger(QString::fromUtf8(raw), &value) ? value : def;
}

bool IniFile::readBool(const QString& section, const QString& key, bool def) const
{
    return readInteger(section, key, def ? 1 : 0) != 0;
}

bool IniFile::mayWrite() const
{
    const QFileInfo info(path_);
    if (info.exists() || info.isSymLink()) {
        const QString target = info.canonicalFilePath();
        // A writable file is written, in place if its folder is read-only.
        return !target.isEmpty() && writablePath(QFile::encodeName(target), false);
    }
    return writablePath(QFile::encodeName(info.absolutePath()), true);
}

bool IniFile::fail(QString* error) const
{
    if (error)
        *error = QStringLiteral("%1 に書き込めません").arg(path_);
    return false;
}

bool IniFile::writeString(const QString& section, const QString& key, const QString& value,
                          QString* error)
{
    if (!mayWrite())
        return fail(error);
    Document doc;
    // A file that exists but cannot be read is not replaced by a new one.
    if (!load(&doc))
        return fail(error);

    const QByteArray line = key.toUtf8() + '=' + encodeValue(value);
    const Range range = findSection(doc, section);
    if (range.header < 0) {
        doc.lines.append('[' + section.toUtf8() + ']');
        doc.lines.append(line);
    } else {
        const qsizetype at = findKey(doc, range, key);
        if (at >= 0) {
            doc.lines[at] = line;
        } else {
            // After the section's last non-empty line, before blank lines
            // that separate it from the next section.
            qsizetype insert = range.end;
            while (insert > range.begin && trimBlanks(doc.lines.at(insert - 1)).isEmpty())
                --insert;
            doc.lines.insert(insert, line);
        }
    }

    QByteArray data;
    if (doc.bom)
        data.append(kBom);
    for (const QByteArray& l : std::as_const(doc.lines)) {
        data.append(l);
        data.append(doc.eol);
    }

    QSaveFile file(path_);
    // Normally a new copy is renamed over the old one; in a read-only folder
    // the writable file itself is rewritten.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly))
        return fail(error);
    if (file.write(data) != data.size()) {
        file.cancelWriting();
        return fail(error);
    }
    if (!file.commit())
        return fail(error);
    return true;
}

bool IniFile::writeInteger(const QString& section, const QString& key, qint32 value,
                           QString* error)
{
    return writeString(section, key, QString::number(value), error);
}

bool IniFile::writeBool(const QString& section, const QString& key, bool value, QString* error)
{
    return writeString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"), error);
}

} // namespace corvid

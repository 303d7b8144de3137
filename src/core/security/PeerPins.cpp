#include "core/security/PeerPins.h"

#include "core/security/Fingerprint.h"

#include <QFile>
#include <QSaveFile>
#include <QStringDecoder>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace corvid {

namespace {

// One spelling per address, so that a pin made on an accepted connection
// (which a dual-stack listener sees as ::ffff:a.b.c.d) matches the address
// an invitation or the user wrote.
QString addressKey(const QString& address)
{
    QString a = address.trimmed();
    if (a.startsWith(QLatin1Char('[')) && a.endsWith(QLatin1Char(']')))
        a = a.mid(1, a.size() - 2);
    const QByteArray latin = a.toLatin1();
    // inet_pton would stop at a NUL and read "1.2.3.4\0x" as 1.2.3.4.
    if (latin.contains('\0'))
        return a.toLower();
    in6_addr v6{};
    in_addr v4{};
    char out[INET6_ADDRSTRLEN] = {};
    if (::inet_pton(AF_INET6, latin.constData(), &v6) == 1) {
        if (IN6_IS_ADDR_V4MAPPED(&v6)) {
            std::memcpy(&v4, v6.s6_addr + 12, sizeof v4);
            if (::inet_ntop(AF_INET, &v4, out, sizeof out))
                return QString::fromLatin1(out);
        } else if (::inet_ntop(AF_INET6, &v6, out, sizeof out)) {
            return QString::fromLatin1(out);
        }
    } else if (::inet_pton(AF_INET, latin.constData(), &v4) == 1
               && ::inet_ntop(AF_INET, &v4, out, sizeof out)) {
        return QString::fromLatin1(out);
    }
    return a.toLower();
}

QByteArray escaped(const QString& text)
{
    QByteArray out;
    for (const char c : text.toUtf8()) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    return out;
}

// nullopt for a stray backslash or bytes that are not UTF-8.
std::optional<QString> unescaped(const QByteArray& field)
{
    QByteArray raw;
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            raw += field[i];
            continue;
        }
        if (++i == field.size())
            return std::nullopt;
        switch (field[i]) {
        case '\\': raw += '\\'; break;
        case 't': raw += '\t'; break;
        case 'n': raw += '\n'; break;
        case 'r': raw += '\r'; break;
        default: return std::nullopt;
        }
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(raw);
    if (utf8.hasError())
        return std::nullopt;
    return text;
}

} // namespace

qsizetype PeerPins::Table::find(const QString& name, const QString& address) const
{
    const QString key = addressKey(address);
    for (qsizetype i = 0; i < pins_.size(); ++i)
        if (pins_[i].name == name && pins_[i].address == key)
            return i;
    return -1;
}

std::optional<QByteArray> PeerPins::Table::pinned(const QString& name, const QString& address) const
{
    // An empty name is no peer's name: that line is an expectation.
    const qsizetype at = name.isEmpty() ? -1 : find(name, address);
    return at < 0 ? std::nullopt : std::optional(pins_[at].fingerprint);
}

std::optional<QByteArray> PeerPins::Table::expected(const QString& address) const
{
    const qsizetype at = find(QString(), address);
    return at < 0 ? std::nullopt : std::optional(pins_[at].fingerprint);
}

bool PeerPins::Table::put(Pin pin)
{
    pin.address = addressKey(pin.address);
    if (pin.fingerprint.size() != Fingerprint::kBytes || pin.address.isEmpty())
        return false;
    const qsizetype at = find(pin.name, pin.address);
    if (at >= 0) {
        if (pins_[at].fingerprint != pin.fingerprint) {
            pins_[at].fingerprint = pin.fingerprint;
            ++revision_;
        }
        return true;
    }
    if (!pin.name.isEmpty()) {
        if (namePins_ >= kMaxPins)
            return false;
        ++namePins_;
    }
    pins_.append(std::move(pin));
    ++revision_;
    return true;
}

bool PeerPins::Table::pin(const QString& name, const QString& address, const QByteArray& fp)
{
    return !name.isEmpty() && put(Pin{ fp, address, name });
}

bool PeerPins::Table::expect(const QString& address, const QByteArray& fp)
{
    return put(Pin{ fp, address, QString() });
}

void PeerPins::Table::forgetExpected(const QString& address)
{
    const qsizetype at = find(QString(), address);
    if (at < 0)
        return;
    pins_.removeAt(at);
    ++revision_;
}

QByteArray PeerPins::Table::toText() const
{
    QByteArray text;
    for (const Pin& p : pins_) {
        text += Fingerprint::Hex(p.fingerprint).toLatin1();
        text += '\t';
        text += escaped(p.address);
        text += '\t';
        text += escaped(p.name);
        text += '\n';
    }
    return text;
}

PeerPins::Table PeerPins::Table::FromText(const QByteArray& text, int* skipped)
{
    Table table;
    int bad = 0;
    // An editor may have put a byte order mark in front.
    const QByteArray body = text.startsWith("\xEF\xBB\xBF") ? text.mid(3) : text;
    for (QByteArray line : body.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.isEmpty())
            continue;
        const QList<QByteArray> fields = line.split('\t');
        std::optional<QByteArray> fp;
        std::optional<QString> address;
        std::optional<QString> name;
        if (fields.size() == 3) {
            fp = Fingerprint::Parse(QString::fromLatin1(fields[0]));
            address = unescaped(fields[1]);
            name = unescaped(fields[2]);
        }
        const bool ok = fp && address && name && table.put(Pin{ *fp, *address, *name });
        if (!ok)
            ++bad;
    }
    if (skipped)
        *skipped = bad;
    table.revision_ = 0;
    return table;
}

PeerPins::PeerPins(QString filePath)
    : path_(std::move(filePath))
{
}

bool PeerPins::load(QString* error)
{
    if (path_.isEmpty())
        return true;
    QFile file(path_);
    if (!file.exists()) {
        state_.with([](State& s) {
            s.table = Table();
            s.fileUnreadable = false;
        });
        return true;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        const QString why = file.errorString();
        if (error)
            *error = why;
        state_.with([&why](State& s) {
            s.fileUnreadable = true;
            s.lastError = why;
        });
        return false;
    }
    QByteArray text = file.read(kMaxFileBytes + 1);
    if (text.size() > kMaxFileBytes) {
        text.truncate(kMaxFileBytes);
        text.truncate(text.lastIndexOf('\n') + 1);
    }
    Table table = Table::FromText(text);
    state_.with([&table](State& s) {
        s.table = std::move(table);
        s.fileUnreadable = false;
    });
    return true;
}

std::optional<QByteArray> PeerPins::pinned(const QString& name, const QString& address) const
{
    return read([&](const Table& t) { return t.pinned(name, address); });
}

std::optional<QByteArray> PeerPins::expected(const QString& address) const
{
    return read([&](const Table& t) { return t.expected(address); });
}

bool PeerPins::everEncrypted(const QString& name, const QString& address) const
{
    return pinned(name, address).has_value();
}

QList<PeerPins::Pin> PeerPins::pins() const
{
    return read([](const Table& t) { return t.pins(); });
}

bool PeerPins::pin(const QString& name, const QString& address, const QByteArray& fp)
{
    return state_.with([&](State& s) {
        const quint64 before = s.table.revision();
        return s.table.pin(name, address, fp) && (s.table.revision() == before || save(s));
    });
}

bool PeerPins::expect(const QString& address, const QByteArray& fp)
{
    return state_.with([&](State& s) {
        const quint64 before = s.table.revision();
        return s.table.expect(address, fp) && (s.table.revision() == before || save(s));
    });
}

bool PeerPins::forgetExpected(const QString& address)
{
    return state_.with([&](State& s) {
        const quint64 before = s.table.revision();
        s.table.forgetExpected(address);
        return s.table.revision() == before || save(s);
    });
}

QString PeerPins::lastError() const
{
    return state_.with([](const State& s) { return s.lastError; });
}

// Under the lock, so the file always ends with the latest table.
bool PeerPins::save(State& s) const
{
    if (path_.isEmpty())
        return true;
    // Never write over pins we could not read (lastError still says why).
    if (s.fileUnreadable)
        return false;
    QSaveFile file(path_);
    auto fail = [&s, &file] {
        s.lastError = file.errorString();
        file.cancelWriting();
        return false;
    };
    if (!file.open(QIODevice::WriteOnly))
        return fail();
    // Before any pin is in it: the new file replaces the old one with this mode.
    if (::fchmod(file.handle(), S_IRUSR | S_IWUSR) != 0) {
        s.lastError = QString::fromLocal8Bit(std::strerror(errno));
        file.cancelWriting();
        return false;
    }
    const QByteArray text = s.table.toText();
    if (file.write(text) != text.size())
        return fail();
    if (!file.commit())
        return fail();
    s.lastError.clear();
    return true;
}

} // namespace corvid

#include "core/protocol/HeaderBlock.h"

#include "core/protocol/ProtocolLevel.h"

#include <cstring>
#include <initializer_list>
#include <limits>
#include <utility>

namespace corvid {
namespace {

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

QByteArray field(const char* key, const QByteArray& value)
{
    QByteArray line(key);
    line += '=';
    line += value;
    return line;
}

// The code of the name `value` is in any case, or `other`.
int codeOf(const QByteArray& value, std::initializer_list<std::pair<const char*, int>> names, int other)
{
    for (const auto& [name, code] : names)
        if (Header::EqualsIgnoreCase(value, name))
            return code;
    return other;
}

} // namespace

bool Header::EqualsIgnoreCase(const QByteArray& a, const char* b)
{
    const qsizetype n = qsizetype(std::strlen(b));
    if (a.size() != n)
        return false;
    for (qsizetype i = 0; i < n; ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    }
    return true;
}

void Header::MakeConnectHeader(HeaderBlock& b, int protocol, const QByteArray& token, const QByteArray& name)
{
    b.clear();
    b << QByteArrayLiteral("Command=Connect") << field("Protocol", QByteArray::number(protocol))
      << field("UserAgent", token) << field("Name", name) << QByteArray();
}

void Header::MakeSendHeader(HeaderBlock& b, const QByteArray& token, const QByteArray& contentType,
                            qint64 contentLength)
{
    b.clear();
    b << QByteArrayLiteral("Command=Send") << field("UserAgent", token) << field("ContentType", contentType)
      << field("ContentLength", QByteArray::number(contentLength)) << QByteArray();
}

void Header::MakeRecvHeader(HeaderBlock& b, const QByteArray& token, const QByteArray& contentType)
{
    b.clear();
    b << QByteArrayLiteral("Command=Recv") << field("UserAgent", token) << field("ContentType", contentType)
      << QByteArray();
}

void Header::MakeResultHeader(HeaderBlock& b, const QByteArray& token, bool ok)
{
    b.clear();
    b << QByteArrayLiteral("Command=Result") << field("UserAgent", token) << field("Result", BoolText(ok))
      << QByteArray();
}

void Header::MakeDisconnectHeader(HeaderBlock& b, const QByteArray& token)
{
    b.clear();
    b << QByteArrayLiteral("Command=Disconnect") << field("UserAgent", token) << QByteArray();
}

QByteArray Header::Value(const HeaderBlock& b, const char* key)
{
    for (const QByteArray& line : b) {
        const qsizetype eq = line.indexOf('=');
        if (eq < 0)
            continue;
        if (EqualsIgnoreCase(line.left(eq), key))
            return line.mid(eq + 1);
    }
    return {};
}

std::optional<qint32> Header::ParseInt(const QByteArray& text)
{
    const std::optional<qint64> v = ParseInt64(text);
    if (!v || *v < std::numeric_limits<qint32>::min() || *v > std::numeric_limits<qint32>::max())
        return std::nullopt;
    return qint32(*v);
}

std::optional<qint32> Header::IntValue(const HeaderBlock& b, const char* key)
{
    return ParseInt(Value(b, key));
}

std::optional<qint64> Header::ParseInt64(const QByteArray& text)
{
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size())
        return std::nullopt;
    // Accumulated as a negative number so that the minimum fits.
    const qint64 limit = negative ? std::numeric_limits<qint64>::min() : -std::numeric_limits<qint64>::max();
    qint64 value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return std::nullopt;
        const int digit = c - '0';
        if (value < (limit + digit) / 10)
            return std::nullopt;
        value = value * 10 - digit;
    }
    return negative ? value : -value;
}

std::optional<qint64> Header::SizeValue(const HeaderBlock& b, const char* key, int protocol)
{
    if (ProtocolLevel::Extended(protocol))
        return ParseInt64(Value(b, key));
    const std::optional<qint32> v = IntValue(b, key);
    return v ? std::optional<qint64>(*v) : std::nullopt;
}

int Header::Classify(const HeaderBlock& b)
{
    return codeOf(Value(b, "Command"),
                  {{"Connect", CmdConnect}, {"Send", CmdSend}, {"Recv", CmdRecv}, {"Result", CmdResult}},
                  b.isEmpty() ? CmdNothing : CmdOther);
}

int Header::GetContentType(const HeaderBlock& b)
{
    return codeOf(Value(b, "ContentType"), {{"Message", CtMessage}, {"FileList", CtFileList}, {"File", CtFile}},
                  CtOther);
}

bool Header::IsAccepted(const HeaderBlock& b)
{
    return EqualsIgnoreCase(Value(b, "Accept"), "True");
}

} // namespace corvid

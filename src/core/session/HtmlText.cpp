#include "core/session/HtmlText.h"

#include "core/protocol/SjisCodec.h"

#include <QHash>
#include <QStringView>

namespace corvid {
namespace {

// Reads the code point at i (a surrogate pair counts as one) and its length.
char32_t codePointAt(const QString& s, qsizetype i, qsizetype* units)
{
    const QChar c = s.at(i);
    if (c.isHighSurrogate() && i + 1 < s.size() && s.at(i + 1).isLowSurrogate()) {
        *units = 2;
        return QChar::surrogateToUcs4(c, s.at(i + 1));
    }
    *units = 1;
    return c.unicode();
}

bool startsWithCI(QStringView s, qsizetype at, QLatin1StringView word)
{
    return s.mid(at).startsWith(word, Qt::CaseInsensitive);
}

bool isAsciiAlnum(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
}

bool isHexDigit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// Length of a character entity (&name; &#123; &#x1F;) starting at i, or 0.
qsizetype entityLength(QStringView s, qsizetype i)
{
    qsizetype j = i + 1;
    const qsizetype n = s.size();
    if (j < n && s[j] == u'#') {
        ++j;
        bool hex = false;
        if (j < n && (s[j] == u'x' || s[j] == u'X')) {
            hex = true;
            ++j;
        }
        const qsizetype digitsStart = j;
        while (j < n && j - digitsStart < 8 && (hex ? isHexDigit(s[j]) : s[j].isDigit() && s[j].unicode() < 0x80))
            ++j;
        if (j == digitsStart)
            return 0;
    } else {
        const qsizetype nameStart = j;
        if (j >= n || !((s[j] >= u'a' && s[j] <= u'z') || (s[j] >= u'A' && s[j] <= u'Z')))
            return 0;
        while (j < n && j - nameStart < 32 && isAsciiAlnum(s[j]))
            ++j;
    }
    if (j < n && s[j] == u';')
        return j + 1 - i;
    return 0;
}

// Text content made safe: "<" and ">" escaped, "&" kept only for entities.
void appendSafeText(QString& out, QStringView s)
{
    for (qsizetype i = 0; i < s.size(); ++i) {
        const QChar c = s[i];
        if (c == u'<') {
            out += u"&lt;";
        } else if (c == u'>') {
            out += u"&gt;";
        } else if (c == u'&') {
            const qsizetype len = entityLength(s, i);
            if (len > 0) {
                out += s.mid(i, len);
                i += len - 1;
            } else {
                out += u"&amp;";
            }
        } else {
            out += c;
        }
    }
}

// Length of a line break tag at i (<br>, <br/>, <br />), or 0.
qsizetype brLength(QStringView s, qsizetype i)
{
    for (auto tag : { QLatin1StringView("<br>"), QLatin1StringView("<br/>"), QLatin1StringView("<br />") }) {
        if (startsWithCI(s, i, tag))
            return tag.size();
    }
    return 0;
}

bool isAllowedLinkTarget(QStringView href)
{
    return href.startsWith(u"http://", Qt::CaseInsensitive) || href.startsWith(u"https://", Qt::CaseInsensitive)
        || href.startsWith(u"ftp://", Qt::CaseInsensitive);
}

const QLatin1StringView kLinkOpen("<a href=\"");
const QLatin1StringView kLinkClose("</a>");

// The first occurrence of a needle at or after a position, for positions
// that never decrease: a long hostile text is searched once, not once per
// tag.
class NextMatch {
public:
    NextMatch(QStringView s, QLatin1StringView needle)
        : s_(s)
        , needle_(needle)
    {
    }
    qsizetype from(qsizetype pos)
    {
        if (found_ == kUnknown || (found_ >= 0 && found_ < pos))
            found_ = s_.indexOf(needle_, pos, Qt::CaseInsensitive);
        return found_;
    }

private:
    static constexpr qsizetype kUnknown = -2;
    QStringView s_;
    QLatin1StringView needle_;
    qsizetype found_ = kUnknown;
};

// Where links may start in one text, with its searches.
struct LinkScan {
    explicit LinkScan(QStringView s)
        : nextClose(s, kLinkClose)
        , nextQuote(s, QLatin1StringView("\""))
        , lastClose(s.lastIndexOf(kLinkClose, -1, Qt::CaseInsensitive))
    {
    }
    NextMatch nextClose;
    NextMatch nextQuote;
    qsizetype lastClose;
};

// A whole link in the form our senders write, <a href="X">X</a>, at i. The
// address X may itself hold quotes and <br>, but never "</a>" (its "<" were
// escaped before it was marked). Returns the element's length, or 0.
qsizetype ownLinkLength(QStringView s, qsizetype i, LinkScan& scan, QStringView* url)
{
    const qsizetype valueStart = i + kLinkOpen.size();
    const qsizetype close = scan.nextClose.from(valueStart);
    if (close < 0 || (close - valueStart - 2) < 0 || (close - valueStart - 2) % 2 != 0)
        return 0;
    const qsizetype length = (close - valueStart - 2) / 2;
    const QStringView value = s.mid(valueStart, length);
    if (s.mid(valueStart + length, 2) != u"\">" || s.mid(valueStart + length + 2, length) != value)
        return 0;
    *url = value;
    return close + kLinkClose.size() - i;
}

// An opening tag <a href="target"> (target without quotes) at i, with a
// closing tag later on. Returns its length, or 0.
qsizetype linkOpenLength(QStringView s, qsizetype i, LinkScan& scan, QStringView* href)
{
    const qsizetype valueStart = i + kLinkOpen.size();
    const qsizetype quote = scan.nextQuote.from(valueStart);
    if (quote < 0 || quote + 1 >= s.size() || s[quote + 1] != u'>')
        return 0;
    // A link without its closing tag would swallow the rest of the line.
    if (scan.lastClose < quote + 2)
        return 0;
    *href = s.mid(valueStart, quote - valueStart);
    return quote + 2 - i;
}

// Whether a link to an allowed target may start at i.
bool linkMayStart(QStringView s, qsizetype i)
{
    return startsWithCI(s, i, kLinkOpen) && isAllowedLinkTarget(s.mid(i + kLinkOpen.size()));
}

void appendHref(QString& out, QStringView href)
{
    out += kLinkOpen;
    QString value;
    appendSafeText(value, href);
    value.replace(u'"', QStringLiteral("&quot;"));
    out += value;
    out += u"\">";
}

// The sanitizer proper; links are not allowed inside links.
void sanitizeInto(QString& out, QStringView s, bool allowLinks)
{
    LinkScan scan(s);
    bool inLink = false;
    qsizetype textStart = 0;
    qsizetype i = 0;
    auto flushText = [&](qsizetype end) { appendSafeText(out, s.mid(textStart, end - textStart)); };
    while (i < s.size()) {
        if (s[i] != u'<') {
            ++i;
            continue;
        }
        qsizetype len = brLength(s, i);
        QStringView href;
        const bool linkHere = allowLinks && !inLink && linkMayStart(s, i);
        if (len > 0) {
            flushText(i);
            out += u"<br>";
        } else if (linkHere && (len = ownLinkLength(s, i, scan, &href)) > 0) {
            flushText(i);
            appendHref(out, href);
            sanitizeInto(out, href, false);
            out += kLinkClose;
        } else if (linkHere && (len = linkOpenLength(s, i, scan, &href)) > 0) {
            flushText(i);
            appendHref(out, href);
            inLink = true;
        } else if (inLink && startsWithCI(s, i, kLinkClose)) {
            flushText(i);
            out += kLinkClose;
            inLink = false;
            len = kLinkClose.size();
        } else {
            ++i; // any other tag: its "<" is escaped with the text around it
            continue;
        }
        i += len;
        textStart = i;
    }
    flushText(s.size());
}

} // namespace

QString HtmlText::EscapeHtml(const QString& s)
{
    QString r = s;
    r.replace(u'<', QStringLiteral("&lt;"));
    r.replace(u'>', QStringLiteral("&gt;"));
    r.replace(QStringLiteral("\r\n"), QStringLiteral("<br>"));
    return r;
}

bool HtmlText::isDoubleByte(char32_t c)
{
    if (c < 0x80)
        return false;
    bool lossy = false;
    const QByteArray bytes = SjisCodec::encode(QString::fromUcs4(&c, 1), &lossy);
    return !lossy && bytes.size() == 2;
}

QString HtmlText::LinkifyUrls(const QString& s)
{
    // One pass from left to right: every address becomes a link to exactly
    // its own text. (Replacing each address everywhere in the text would
    // also hit longer addresses that merely start with it, and an address
    // inside another one would leave a placeholder behind.)
    static const QLatin1StringView kSchemes[] = { QLatin1StringView("http://"), QLatin1StringView("https://"),
                                                  QLatin1StringView("ftp://") };
    QHash<char32_t, bool> doubleByte; // the encoder is slow; a message repeats characters
    auto endsUrl = [&doubleByte](char32_t c) {
        if (c == U',' || c == U' ')
            return true;
        if (c < 0x80)
            return false;
        auto it = doubleByte.constFind(c);
        if (it == doubleByte.constEnd())
            it = doubleByte.insert(c, isDoubleByte(c));
        return it.value();
    };

    QString out;
    out.reserve(s.size());
    qsizetype copied = 0;
    qsizetype i = 0;
    while (i < s.size()) {
        qsizetype schemeLength = 0;
        for (const QLatin1StringView scheme : kSchemes) {
            if (QStringView(s).mid(i).startsWith(scheme)) {
                schemeLength = scheme.size();
                break;
            }
        }
        if (schemeLength == 0) {
            ++i;
            continue;
        }
        qsizetype end = i + schemeLength;
        while (end < s.size()) {
            qsizetype units = 1;
            if (endsUrl(codePointAt(s, end, &units)))
                break;
            end += units;
        }
        const QStringView url = QStringView(s).mid(i, end - i);
        out += QStringView(s).mid(copied, i - copied);
        out += u"<a href=\"";
        out += url;
        out += u"\">";
        out += url;
        out += u"</a>";
        copied = i = end;
    }
    out += QStringView(s).mid(copied);
    return out;
}

QString HtmlText::TextToHtml(const QString& text)
{
    return LinkifyUrls(EscapeHtml(text));
}

QString HtmlText::EscapePlain(const QString& s)
{
    return s.toHtmlEscaped();
}

QString HtmlText::SanitizePeerHtml(const QString& html)
{
    QString out;
    out.reserve(html.size() + html.size() / 8);
    sanitizeInto(out, html, true);
    return out;
}

} // namespace corvid

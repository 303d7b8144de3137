#include "core/session/HtmlText.h"

#include <QStringList>

#include <gtest/gtest.h>

using corvid::HtmlText;

namespace {

QString link(const QString& url)
{
    return QStringLiteral("<a href=\"%1\">%1</a>").arg(url);
}

} // namespace

TEST(HtmlTextEscape, EscapesAnglesAndCrLfOnly)
{
    EXPECT_EQ(HtmlText::EscapeHtml(QStringLiteral("a<b>&\"c\"'")), QStringLiteral("a&lt;b&gt;&\"c\"'"));
    EXPECT_EQ(HtmlText::EscapeHtml(QStringLiteral("1\r\n2\r\n")), QStringLiteral("1<br>2<br>"));
    // A lone CR or LF stays; only the pair becomes <br>.
    EXPECT_EQ(HtmlText::EscapeHtml(QStringLiteral("1\n2\r3\n\r4")), QStringLiteral("1\n2\r3\n\r4"));
    // The <br> made from a line break is not escaped again.
    EXPECT_EQ(HtmlText::EscapeHtml(QStringLiteral("<\r\n>")), QStringLiteral("&lt;<br>&gt;"));
}

TEST(HtmlTextLinkify, AddressEndsAtCommaBlankOrEnd)
{
    EXPECT_EQ(HtmlText::LinkifyUrls(QStringLiteral("see http://a.example/x?y=1, ok")),
              QStringLiteral("see ") + link(QStringLiteral("http://a.example/x?y=1")) + QStringLiteral(", ok"));
    EXPECT_EQ(HtmlText::LinkifyUrls(QStringLiteral("at ftp://f.example/p end")),
              QStringLiteral("at ") + link(QStringLiteral("ftp://f.example/p")) + QStringLiteral(" end"));
    EXPECT_EQ(HtmlText::LinkifyUrls(QStringLiteral("https://s.example")), link(QStringLiteral("https://s.example")));
    EXPECT_EQ(HtmlText::LinkifyUrls(QStringLiteral("no address here")), QStringLiteral("no address here"));
    // The scheme alone is still marked.
    EXPECT_EQ(HtmlText::LinkifyUrls(QStringLiteral("http:// x")), link(QStringLiteral("http://")) + QStringLiteral(" x"));
}

TEST(HtmlTextLinkify, AddressEndsAtDoubleByteCharacterOnly)
{
    // A Japanese (double-byte) character ends the address.
    EXPECT_EQ(HtmlText::LinkifyUrls(QStringLiteral("http://a.example/pです")),
              link(QStringLiteral("http://a.example/p")) + QStringLiteral("です"));
    // So does a full-width blank (two bytes in Shift-JIS).
    EXPECT_EQ(HtmlText::LinkifyUrls(QStringLiteral("http://a.example\u3000b")),
              link(QStringLiteral("http://a.example")) + QStringLiteral("\u3000b"));
    // Half-width katakana is one byte in Shift-JIS: part of the address.
    EXPECT_EQ(HtmlText::LinkifyUrls(QStringLiteral("http://a.example/ｱｲ です")),
              link(QStringLiteral("http://a.example/ｱｲ")) + QStringLiteral(" です"));
    // A character Shift-JIS cannot carry travels as "?", one byte.
    EXPECT_EQ(HtmlText::LinkifyUrls(QStringLiteral("http://a.example/\U0001F600x y")),
              link(QStringLiteral("http://a.example/\U0001F600x")) + QStringLiteral(" y"));
}

TEST(HtmlTextLinkify, NothingElseEndsAnAddress)
{
    EXPECT_EQ(HtmlText::LinkifyUrls(QStringLiteral("http://a.example/&lt;q\"\tz")),
              link(QStringLiteral("http://a.example/&lt;q\"\tz")));
    // A line break (already <br>) becomes part of the address.
    EXPECT_EQ(HtmlText::TextToHtml(QStringLiteral("http://a.example\r\nnext line")),
              link(QStringLiteral("http://a.example<br>next")) + QStringLiteral(" line"));
}

TEST(HtmlTextLinkify, SeveralAddresses)
{
    // https first, then http after a blank: two links.
    EXPECT_EQ(HtmlText::LinkifyUrls(QStringLiteral("https://s.example http://p.example")),
              link(QStringLiteral("https://s.example")) + u' ' + link(QStringLiteral("http://p.example")));
    // The same address twice gets the same link at both places.
    EXPECT_EQ(HtmlText::LinkifyUrls(QStringLiteral("http://a.example and http://a.example")),
              link(QStringLiteral("http://a.example")) + QStringLiteral(" and ") + link(QStringLiteral("http://a.example")));
    // A longer address that starts with an earlier one keeps its own target.
    EXPECT_EQ(HtmlText::LinkifyUrls(QStringLiteral("http://a.example http://a.example/more")),
              link(QStringLiteral("http://a.example")) + u' ' + link(QStringLiteral("http://a.example/more")));
    // A scheme inside an address is part of it; no text is lost.
    EXPECT_EQ(HtmlText::LinkifyUrls(QStringLiteral("http://a.example/ftp://b.example")),
              link(QStringLiteral("http://a.example/ftp://b.example")));
    // Schemes are matched as written.
    EXPECT_EQ(HtmlText::LinkifyUrls(QStringLiteral("HTTP://a.example")), QStringLiteral("HTTP://a.example"));
}

TEST(HtmlTextLinkify, TextToHtmlEscapesBeforeMarking)
{
    EXPECT_EQ(HtmlText::TextToHtml(QStringLiteral("1<2 http://a.example/<x>")),
              QStringLiteral("1&lt;2 ") + link(QStringLiteral("http://a.example/&lt;x&gt;")));
    EXPECT_EQ(HtmlText::TextToHtml(QStringLiteral("日本語\r\n二行目")), QStringLiteral("日本語<br>二行目"));
}

TEST(HtmlTextDoubleByte, ClassifiesByShiftJisLength)
{
    EXPECT_FALSE(HtmlText::isDoubleByte(U'a'));
    EXPECT_FALSE(HtmlText::isDoubleByte(U'\uFF71')); // half-width katakana
    EXPECT_TRUE(HtmlText::isDoubleByte(U'\u3042'));  // hiragana
    EXPECT_TRUE(HtmlText::isDoubleByte(U'\uFF0C'));  // full-width comma
    EXPECT_FALSE(HtmlText::isDoubleByte(U'\U0001F600'));
}

TEST(HtmlTextSanitize, OwnMarkupPassesUnchanged)
{
    const QStringList own = {
        QStringLiteral("plain text"),
        QStringLiteral("1&lt;2 &amp; 3&gt;2 &#x41;&#65;"),
        HtmlText::TextToHtml(QStringLiteral("line one\r\nsee http://a.example/p?q=1, and https://b.example")),
        HtmlText::TextToHtml(QStringLiteral("ftp://f.example/日本")),
    };
    for (const QString& html : own)
        EXPECT_EQ(HtmlText::SanitizePeerHtml(html).toStdString(), html.toStdString());
    // A bare "&" is written as the entity it stands for.
    EXPECT_EQ(HtmlText::SanitizePeerHtml(HtmlText::TextToHtml(QStringLiteral("http://a/?q=1&r=2"))).toStdString(),
              "<a href=\"http://a/?q=1&amp;r=2\">http://a/?q=1&amp;r=2</a>");
}

TEST(HtmlTextSanitize, OwnLinkWithQuoteOrLineBreakStaysOneLink)
{
    // Quotes and <br> are part of an address in our senders' markup.
    const QString quoted = HtmlText::TextToHtml(QStringLiteral("\"http://a.example\" ok"));
    EXPECT_EQ(quoted, QStringLiteral("\"<a href=\"http://a.example\"\">http://a.example\"</a> ok"));
    EXPECT_EQ(HtmlText::SanitizePeerHtml(quoted),
              QStringLiteral("\"<a href=\"http://a.example&quot;\">http://a.example\"</a> ok"));

    const QString broken = HtmlText::TextToHtml(QStringLiteral("http://a.example\r\nnext"));
    EXPECT_EQ(HtmlText::SanitizePeerHtml(broken),
              QStringLiteral("<a href=\"http://a.example&lt;br&gt;next\">http://a.example<br>next</a>"));
}

TEST(HtmlTextSanitize, HostileMarkupBecomesText)
{
    EXPECT_EQ(HtmlText::SanitizePeerHtml(QStringLiteral("<img src=\"http://127.0.0.1/x.png\">")),
              QStringLiteral("&lt;img src=\"http://127.0.0.1/x.png\"&gt;"));
    EXPECT_EQ(HtmlText::SanitizePeerHtml(QStringLiteral("<script>alert(1)</script>")),
              QStringLiteral("&lt;script&gt;alert(1)&lt;/script&gt;"));
    EXPECT_EQ(HtmlText::SanitizePeerHtml(QStringLiteral("<a href=\"javascript:alert(1)\">x</a>")),
              QStringLiteral("&lt;a href=\"javascript:alert(1)\"&gt;x&lt;/a&gt;"));
    EXPECT_EQ(HtmlText::SanitizePeerHtml(QStringLiteral("<a href=\"file:///etc/passwd\">x</a>")),
              QStringLiteral("&lt;a href=\"file:///etc/passwd\"&gt;x&lt;/a&gt;"));
    // Extra attributes, other quoting, styles and our own line anchors.
    EXPECT_EQ(HtmlText::SanitizePeerHtml(QStringLiteral("<a href=\"http://a\" onclick=\"x()\">y</a>")),
              QStringLiteral("&lt;a href=\"http://a\" onclick=\"x()\"&gt;y&lt;/a&gt;"));
    EXPECT_EQ(HtmlText::SanitizePeerHtml(QStringLiteral("<a Name=\"7\"><span id=\"User\">")),
              QStringLiteral("&lt;a Name=\"7\"&gt;&lt;span id=\"User\"&gt;"));
    EXPECT_EQ(HtmlText::SanitizePeerHtml(QStringLiteral("<style>body{}</style><table>")),
              QStringLiteral("&lt;style&gt;body{}&lt;/style&gt;&lt;table&gt;"));
}

TEST(HtmlTextSanitize, LinksNeedAClosingTagAndCannotNest)
{
    EXPECT_EQ(HtmlText::SanitizePeerHtml(QStringLiteral("<a href=\"http://a\">open")),
              QStringLiteral("&lt;a href=\"http://a\"&gt;open"));
    EXPECT_EQ(HtmlText::SanitizePeerHtml(QStringLiteral("<a href=\"http://a\"><a href=\"http://b\">b</a></a>")),
              QStringLiteral("<a href=\"http://a\">&lt;a href=\"http://b\"&gt;b</a>&lt;/a&gt;"));
    // Other link text than the address is fine when the target is allowed.
    EXPECT_EQ(HtmlText::SanitizePeerHtml(QStringLiteral("<A HREF=\"HTTPS://a\">site <b>x</b></A><BR/>")),
              QStringLiteral("<a href=\"HTTPS://a\">site &lt;b&gt;x&lt;/b&gt;</a><br>"));
}

TEST(HtmlTextSanitize, StrayAmpersandsAndBrackets)
{
    EXPECT_EQ(HtmlText::SanitizePeerHtml(QStringLiteral("a & b &c d&#; &#xZ; > <")),
              QStringLiteral("a &amp; b &amp;c d&amp;#; &amp;#xZ; &gt; &lt;"));
    EXPECT_EQ(HtmlText::SanitizePeerHtml(QStringLiteral("&nbsp;&#12354;&#x3042;")),
              QStringLiteral("&nbsp;&#12354;&#x3042;"));
}

#pragma once
#include <QString>

namespace corvid {

// Text to and from the chat log's HTML.
class HtmlText {
public:
    // "<" -> "&lt;", ">" -> "&gt;", CR LF -> "<br>"; nothing else changes
    // ("&", quotes, a lone CR or LF stay as they are).
    static QString EscapeHtml(const QString& s);

    // Turns every http://, https:// and ftp:// address of escaped text into
    // a link. An address ends at the end of the text, at a character that is
    // a double-byte character in Shift-JIS, at "," or at a blank.
    static QString LinkifyUrls(const QString& s);

    // LinkifyUrls(EscapeHtml(text)): an outgoing chat message as HTML.
    static QString TextToHtml(const QString& text);

    // Makes a peer's HTML safe to render. Kept as markup: <br>, character
    // entities and <a href="..."> links whose target starts with http://,
    // https:// or ftp://. Every other "<", ">" and stray "&" is escaped so it
    // shows as text. Markup our own senders produce passes unchanged.
    static QString SanitizePeerHtml(const QString& html);

    // Plain text made safe as HTML text ("&", "<", ">" and '"' escaped).
    static QString EscapePlain(const QString& s);

    // Whether the character (a code point) takes two bytes in Shift-JIS.
    // A character Shift-JIS cannot carry travels as "?", a single byte.
    static bool isDoubleByte(char32_t c);
};

} // namespace corvid

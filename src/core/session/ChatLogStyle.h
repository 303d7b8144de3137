#pragma once
#include <QString>

namespace corvid {

// Colours (#RRGGBB text, used verbatim) and font of the chat log page.
struct ChatLogStyle {
    QString formColor = QStringLiteral("#000000"); // background
    QString userColor = QStringLiteral("#FFFFFF"); // own lines
    QString recvColor = QStringLiteral("#FFFF00"); // received lines
    QString sysColor = QStringLiteral("#C0C0C0");  // system lines (body colour)
    QString linkColor = QStringLiteral("#0080FF");
    QString fontName = QStringLiteral("MS UI GOTHIC");
    int fontSize = 11; // points

    bool operator==(const ChatLogStyle&) const = default;
};

} // namespace corvid

#pragma once
#include <QByteArray>
#include <QList>

#include <optional>

namespace corvid {

// A header block as it travels: its lines in wire bytes (Shift-JIS), without
// their CR LF. A complete block ends with its empty terminator line.
using HeaderBlock = QList<QByteArray>;

inline constexpr char kToken[] = "CRV2/";     // UserAgent token
inline constexpr char kTokenBare[] = "CRV2";  // token of the server's two session notices

enum CommandCode : int { CmdNothing = -1, CmdOther = 0, CmdConnect = 1, CmdSend = 2, CmdRecv = 3, CmdResult = 4 };
enum ContentTypeCode : int { CtOther = 0, CtMessage = 1, CtFileList = 2, CtFile = 3 };

// Builds and inspects header blocks. Builders empty the block first and
// append the lines of one block including the empty terminator; callers add
// further fields by inserting lines at fixed indexes.
class Header {
public:
    static void MakeConnectHeader(HeaderBlock& b, int protocol, const QByteArray& token, const QByteArray& name);
    static void MakeSendHeader(HeaderBlock& b, const QByteArray& token, const QByteArray& contentType,
                               qint64 contentLength);
    static void MakeRecvHeader(HeaderBlock& b, const QByteArray& token, const QByteArray& contentType);
    static void MakeResultHeader(HeaderBlock& b, const QByteArray& token, bool ok);
    static void MakeDisconnectHeader(HeaderBlock& b, const QByteArray& token);

    // Value of the first line whose key (text before the first "=") equals
    // `key` ignoring case; "" when there is none.
    static QByteArray Value(const HeaderBlock& b, const char* key);
    // The value as a signed 32-bit decimal; nullopt when absent, empty, not
    // a number or out of range.
    static std::optional<qint32> IntValue(const HeaderBlock& b, const char* key);
    // Parses a signed 32-bit decimal (optional sign, digits only).
    static std::optional<qint32> ParseInt(const QByteArray& text);
    // The same for a signed 64-bit decimal.
    static std::optional<qint64> ParseInt64(const QByteArray& text);
    // A size or offset field at the session's protocol: 32-bit at 1, 64-bit at 2.
    static std::optional<qint64> SizeValue(const HeaderBlock& b, const char* key, int protocol);

    // Command code of a block already read; CmdNothing when it has no lines.
    static int Classify(const HeaderBlock& b);
    static int GetContentType(const HeaderBlock& b);
    // Accept is "True" in any case; anything else, or no Accept, is false.
    static bool IsAccepted(const HeaderBlock& b);

    // ASCII comparison ignoring case (keys and fixed values are ASCII).
    static bool EqualsIgnoreCase(const QByteArray& a, const char* b);
    // A boolean field as written on the wire.
    static QByteArray BoolText(bool value) { return value ? QByteArrayLiteral("True") : QByteArrayLiteral("False"); }
};

} // namespace corvid

#pragma once
#include <QByteArray>
#include <QString>
#include <iconv.h>

namespace corvid {

// Text on the wire is Shift-JIS in its Windows form (code page 932).
// Conversion happens only at the edge: everything in memory is Unicode.
class SjisCodec {
public:
    // Encodes text; every character code page 932 cannot carry becomes "?".
    // `lossy` (optional) tells whether that happened.
    static QByteArray encode(const QString& text, bool* lossy = nullptr);
    // Whether every character of the text can be encoded.
    static bool canEncode(const QString& text);
    // Decodes a complete byte string (an undecodable byte becomes U+FFFD).
    static QString decode(const QByteArray& bytes);

    // Stateful decoder: a double-byte character may be split across reads.
    class Decoder {
    public:
        Decoder();
        ~Decoder();
        Decoder(const Decoder&) = delete;
        Decoder& operator=(const Decoder&) = delete;
        QString feed(const QByteArray& bytes);
        // Flushes a dangling lead byte as U+FFFD.
        QString finish();

    private:
        iconv_t cd_;
        QByteArray pending_;
    };
};

} // namespace corvid

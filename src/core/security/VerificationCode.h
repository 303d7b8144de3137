#pragma once
#include <QByteArray>
#include <QString>

namespace corvid {

// The short code two users read to each other to know that no one sits
// between them. It is made from the TLS session (the exporter), both keys
// and one random value from each side. The connecting side commits to its
// value (sends its hash) before it sees the listening side's value, and
// reveals it only after: neither side, and so no one in the middle, can
// steer the code once the other's value is fixed. A forger gets one guess
// in 10^8 per attempt however many keys or handshakes it tries, which a
// short code alone, computed from the session, would not give (the middle
// could try handshakes until its two codes agree).
class VerificationCode {
public:
    static constexpr const char* kExporterLabel = "EXPORTER-corvid-verification";
    static constexpr int kExporterBytes = 32;
    static constexpr int kNonceBytes = 32;

    // Random, from the system's generator; empty on failure.
    static QByteArray NewNonce();
    static QByteArray Commit(const QByteArray& nonce);
    static bool Opens(const QByteArray& commitment, const QByteArray& nonce);
    // Eight digits as "1234 5678".
    static QString Code(const QByteArray& exporter, const QByteArray& serverKey, const QByteArray& clientKey,
                        const QByteArray& serverNonce, const QByteArray& clientNonce);
};

} // namespace corvid

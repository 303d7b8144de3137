#pragma once
#include <QByteArray>
#include <QString>

#include <openssl/types.h>

#include <optional>

namespace corvid {

// A key's name as users compare it: SHA-256 of the public key's
// SubjectPublicKeyInfo, 32 bytes. The certificate around the key may be
// renewed; the key is what is pinned.
class Fingerprint {
public:
    static constexpr int kBytes = 32;

    // Empty when the key cannot be encoded.
    static QByteArray OfKey(EVP_PKEY* key);
    static QByteArray OfCertificate(X509* cert);
    // 64 lowercase hex digits (invitations, the pin file).
    static QString Hex(const QByteArray& fp);
    // Uppercase hex in groups of four, for reading aloud.
    static QString Grouped(const QByteArray& fp);
    // 64 hex digits in any case; blanks, ':' and '-' are ignored.
    static std::optional<QByteArray> Parse(const QString& text);
};

} // namespace corvid

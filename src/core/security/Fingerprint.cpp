#include "core/security/Fingerprint.h"

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

namespace corvid {

QByteArray Fingerprint::OfKey(EVP_PKEY* key)
{
    if (!key)
        return {};
    unsigned char* der = nullptr;
    const int len = i2d_PUBKEY(key, &der);
    if (len <= 0)
        return {};
    QByteArray fp(kBytes, '\0');
    SHA256(der, size_t(len), reinterpret_cast<unsigned char*>(fp.data()));
    OPENSSL_free(der);
    return fp;
}

QByteArray Fingerprint::OfCertificate(X509* cert)
{
    return cert ? OfKey(X509_get0_pubkey(cert)) : QByteArray();
}

QString Fingerprint::Hex(const QByteArray& fp)
{
    return QString::fromLatin1(fp.toHex());
}

QString Fingerprint::Grouped(const QByteArray& fp)
{
    const QString hex = Hex(fp).toUpper();
    QString out;
    for (qsizetype i = 0; i < hex.size(); i += 4) {
        if (i)
            out += QLatin1Char(' ');
        out += hex.mid(i, 4);
    }
    return out;
}

std::optional<QByteArray> Fingerprint::Parse(const QString& text)
{
    QByteArray hex;
    for (const QChar ch : text) {
        if (ch == QLatin1Char(' ') || ch == QLatin1Char(':') || ch == QLatin1Char('-'))
            continue;
        const char c = ch.toLatin1();
        const bool digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!digit || hex.size() >= 2 * kBytes)
            return std::nullopt;
        hex += c;
    }
    if (hex.size() != 2 * kBytes)
        return std::nullopt;
    return QByteArray::fromHex(hex);
}

} // namespace corvid

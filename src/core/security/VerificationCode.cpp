#include "core/security/VerificationCode.h"

#include <QCryptographicHash>

#include <openssl/crypto.h>
#include <openssl/rand.h>

namespace corvid {
namespace {

// Each part with its length first, so that no two inputs read the same.
void addPart(QCryptographicHash& h, const QByteArray& part)
{
    const quint32 n = quint32(part.size());
    const char len[4] = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    h.addData(QByteArrayView(len, 4));
    h.addData(part);
}

} // namespace

QByteArray VerificationCode::NewNonce()
{
    QByteArray n(kNonceBytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(n.data()), kNonceBytes) != 1)
        return {};
    return n;
}

QByteArray VerificationCode::Commit(const QByteArray& nonce)
{
    QCryptographicHash h(QCryptographicHash::Sha256);
    addPart(h, QByteArrayLiteral("corvid commit"));
    addPart(h, nonce);
    return h.result();
}

bool VerificationCode::Opens(const QByteArray& commitment, const QByteArray& nonce)
{
    const QByteArray made = Commit(nonce);
    return nonce.size() == kNonceBytes && commitment.size() == made.size()
           && CRYPTO_memcmp(commitment.constData(), made.constData(), size_t(made.size())) == 0;
}

QString VerificationCode::Code(const QByteArray& exporter, const QByteArray& serverKey, const QByteArray& clientKey,
                               const QByteArray& serverNonce, const QByteArray& clientNonce)
{
    QCryptographicHash h(QCryptographicHash::Sha256);
    addPart(h, QByteArrayLiteral("corvid verification code"));
    for (const QByteArray* part : {&exporter, &serverKey, &clientKey, &serverNonce, &clientNonce})
        addPart(h, *part);
    const QByteArray d = h.result();
    quint64 v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 8) | quint8(d[i]);
    const quint64 code = v % 100000000ULL;  // bias below 2^-37
    const QString digits = QStringLiteral("%1").arg(code, 8, 10, QLatin1Char('0'));
    return digits.left(4) + QLatin1Char(' ') + digits.mid(4);
}

} // namespace corvid

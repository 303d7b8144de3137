#include "core/security/Identity.h"

#include "core/security/Fingerprint.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <sys/stat.h>

namespace corvid {
namespace {

QString lastError()
{
    char buf[256] = {};
    ERR_error_string_n(ERR_get_error(), buf, sizeof buf);
    ERR_clear_error();
    return QString::fromLatin1(buf);
}

} // namespace

Identity::Identity(PKeyPtr key, X509Ptr cert)
    : key_(std::move(key))
    , cert_(std::move(cert))
    , fingerprint_(Fingerprint::OfKey(key_.get()))
{
}

std::shared_ptr<const Identity> Identity::Create(int validDays, int startDays)
{
    PKeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    X509Ptr cert(X509_new());
    if (!key || !cert)
        return nullptr;
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1)
        return nullptr;
    serial[0] &= 0x7f;  // a positive number
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    const bool serialSet = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
    BN_free(bn);
    X509_NAME* name = X509_get_subject_name(cert.get());
    const bool ok = serialSet && X509_set_version(cert.get(), X509_VERSION_3)
                    && X509_time_adj_ex(X509_getm_notBefore(cert.get()), startDays, 0, nullptr)
                    && X509_time_adj_ex(X509_getm_notAfter(cert.get()), startDays + validDays, 0, nullptr)
                    && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                                  reinterpret_cast<const unsigned char*>("Corvid"), -1, -1, 0)
                    && X509_set_issuer_name(cert.get(), name) && X509_set_pubkey(cert.get(), key.get())
                    && X509_sign(cert.get(), key.get(), nullptr) > 0;
    if (!ok) {
        ERR_clear_error();
        return nullptr;
    }
    return std::make_shared<const Identity>(std::move(key), std::move(cert));
}

QByteArray Identity::toPem() const
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || !PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr)
        || !PEM_write_bio_X509(bio.get(), cert_.get()))
        return {};
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, qsizetype(len));
}

std::shared_ptr<const Identity> Identity::FromPem(const QByteArray& pem, QString* error)
{
    BioPtr bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    PKeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    X509Ptr cert(key ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key || !cert || X509_check_private_key(cert.get(), key.get()) != 1) {
        if (error)
            *error = lastError();
        ERR_clear_error();
        return nullptr;
    }
    return std::make_shared<const Identity>(std::move(key), std::move(cert));
}

bool Identity::Save(const Identity& id, const QString& path, QString* error)
{
    const QByteArray pem = id.toPem();
    QSaveFile file(path);
    // The key is secret: the file is the user's alone from its first byte.
    const mode_t old = ::umask(077);
    const bool opened = file.open(QIODevice::WriteOnly);
    ::umask(old);
    if (pem.isEmpty() || !opened || file.write(pem) != pem.size()
        || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) || !file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

Identity::Loaded Identity::LoadOrCreate(const QString& path)
{
    Loaded out;
    QFile file(path);
    if (file.exists()) {
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray pem = file.readAll();
            file.close();
            if (auto id = FromPem(pem, &out.error)) {
                // A copy made readable to others is narrowed again.
                QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
                out.identity = std::move(id);
                out.origin = Origin::Loaded;
                return out;
            }
        } else {
            out.error = file.errorString();
        }
        const QString aside = BrokenPath(path);
        QFile::remove(aside);
        if (!QFile::rename(path, aside)) {
            out.origin = Origin::Failed;
            return out;
        }
        Loaded made = Renew(path);
        if (made.origin == Origin::Created)
            made.origin = Origin::ReplacedBroken;
        if (made.error.isEmpty())
            made.error = out.error;
        return made;
    }
    return Renew(path);
}

Identity::Loaded Identity::Renew(const QString& path)
{
    Loaded out;
    auto id = Create();
    if (!id) {
        out.error = lastError();
        return out;
    }
    out.origin = Save(*id, path, &out.error) ? Origin::Created : Origin::Unsaved;
    out.identity = std::move(id);
    return out;
}

} // namespace corvid

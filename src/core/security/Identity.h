#pragma once
#include "core/security/OpenSslPtr.h"

#include <QByteArray>
#include <QString>

#include <memory>

namespace corvid {

// This installation's key pair and self-signed certificate, presented in
// every TLS handshake with another Corvid peer. Kept in one PEM file beside
// the settings, readable by the user only. Immutable once made; a new
// identity is a new object.
class Identity {
public:
    static constexpr const char* FileName = "corvid-identity.pem";
    static constexpr int kValidDays = 36500;

    // How LoadOrCreate found the file.
    // Unsaved: the file could not be written; the identity lives until exit.
    enum class Origin { Loaded, Created, ReplacedBroken, Unsaved, Failed };
    struct Loaded {
        std::shared_ptr<const Identity> identity;  // null only when Failed
        Origin origin = Origin::Failed;
        QString error;  // why Failed, or why a broken file was set aside
    };

    // A fresh Ed25519 key and certificate valid from `startDays` (relative
    // to now) for `validDays`; tests make expired ones with a negative
    // span. Null on failure.
    static std::shared_ptr<const Identity> Create(int validDays = kValidDays, int startDays = -1);
    // The file at `path`, made (0600) when missing. A file that cannot be
    // read as a key and its certificate is renamed to "<path>.broken" and a
    // new identity made, so the user is told rather than silently re-keyed.
    static Loaded LoadOrCreate(const QString& path);
    // A new identity written over the file (the "new identity" command).
    static Loaded Renew(const QString& path);
    // Where LoadOrCreate sets an unreadable file aside.
    static QString BrokenPath(const QString& path) { return path + QStringLiteral(".broken"); }
    // PEM of the key and the certificate.
    QByteArray toPem() const;
    static std::shared_ptr<const Identity> FromPem(const QByteArray& pem, QString* error = nullptr);

    EVP_PKEY* key() const { return key_.get(); }
    X509* certificate() const { return cert_.get(); }
    const QByteArray& fingerprint() const { return fingerprint_; }

    Identity(PKeyPtr key, X509Ptr cert);

private:
    static bool Save(const Identity& id, const QString& path, QString* error);

    PKeyPtr key_;
    X509Ptr cert_;
    QByteArray fingerprint_;
};

} // namespace corvid

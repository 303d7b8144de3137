// This installation's key: made once, kept private, the same at every
// start, and a broken file set aside rather than silently replaced.
#include "support/BrokenCertificate.h"

#include "core/security/Fingerprint.h"
#include "core/security/Identity.h"
#include "core/security/TlsContext.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace corvid;

namespace {
mode_t modeOf(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 0777) : 0;
}
} // namespace

TEST(Identity, MadeOncePrivateAndTheSameAtEveryStart)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QLatin1String(Identity::FileName));
    const Identity::Loaded first = Identity::LoadOrCreate(path);
    ASSERT_EQ(first.origin, Identity::Origin::Created);
    ASSERT_TRUE(first.identity);
    EXPECT_EQ(modeOf(path), mode_t(0600));
    EXPECT_EQ(first.identity->fingerprint().size(), Fingerprint::kBytes);
    EXPECT_EQ(TlsContext::Check(first.identity->certificate()), CertProblem::None);

    // Made readable to others by a copy: narrowed again, same key.
    ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0644), 0);
    const Identity::Loaded again = Identity::LoadOrCreate(path);
    EXPECT_EQ(again.origin, Identity::Origin::Loaded);
    ASSERT_TRUE(again.identity);
    EXPECT_EQ(again.identity->fingerprint(), first.identity->fingerprint());
    EXPECT_EQ(modeOf(path), mode_t(0600));

    const Identity::Loaded renewed = Identity::Renew(path);
    ASSERT_TRUE(renewed.identity);
    EXPECT_NE(renewed.identity->fingerprint(), first.identity->fingerprint());
    EXPECT_EQ(Identity::LoadOrCreate(path).identity->fingerprint(), renewed.identity->fingerprint());
}

TEST(Identity, ABrokenFileIsSetAsideAndANewKeyMade)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QLatin1String(Identity::FileName));
    const auto other = Identity::Create();
    // The key of one identity with the certificate of another is as broken
    // as garbage: the certificate must be the key's.
    QByteArray mixed = Identity::Create()->toPem();
    mixed = mixed.left(mixed.indexOf("-----BEGIN CERTIFICATE")) + other->toPem().mid(other->toPem().indexOf("-----BEGIN CERTIFICATE"));
    for (const QByteArray& content : {QByteArrayLiteral("not a key"), mixed}) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
        f.close();
        const Identity::Loaded loaded = Identity::LoadOrCreate(path);
        EXPECT_EQ(loaded.origin, Identity::Origin::ReplacedBroken);
        ASSERT_TRUE(loaded.identity);
        QFile aside(path + QStringLiteral(".broken"));
        ASSERT_TRUE(aside.open(QIODevice::ReadOnly));
        EXPECT_EQ(aside.readAll(), content);
        EXPECT_EQ(Identity::LoadOrCreate(path).identity->fingerprint(), loaded.identity->fingerprint());
    }
}

TEST(Identity, CertificateChecksByDateAndSelfSignature)
{
    EXPECT_EQ(TlsContext::Check(Identity::Create(1, -10)->certificate()), CertProblem::Expired);
    EXPECT_EQ(TlsContext::Check(Identity::Create(10, 5)->certificate()), CertProblem::NotYetValid);
    EXPECT_EQ(TlsContext::Check(nullptr), CertProblem::Missing);
    const X509Ptr broken = test::brokenCertificate(*Identity::Create());
    ASSERT_TRUE(broken);
    EXPECT_EQ(TlsContext::Check(broken.get()), CertProblem::BadSignature);
}

TEST(Fingerprint, ReadAloudAndReadBack)
{
    const QByteArray fp = QByteArray::fromHex("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
    EXPECT_EQ(Fingerprint::Grouped(fp), QStringLiteral("0011 2233 4455 6677 8899 AABB CCDD EEFF 0011 2233 4455 6677 8899 AABB CCDD EEFF"));
    EXPECT_EQ(Fingerprint::Parse(Fingerprint::Grouped(fp)), fp);
    EXPECT_EQ(Fingerprint::Parse(Fingerprint::Hex(fp).toUpper().replace(QLatin1Char('0'), QLatin1String("0:"))), fp);
    EXPECT_FALSE(Fingerprint::Parse(Fingerprint::Hex(fp).chopped(1)));
    EXPECT_FALSE(Fingerprint::Parse(Fingerprint::Hex(fp) + QLatin1Char('0')));
    EXPECT_FALSE(Fingerprint::Parse(Fingerprint::Hex(fp).replace(0, 1, QLatin1Char('g'))));
}

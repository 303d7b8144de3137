#include "core/security/Fingerprint.h"
#include "core/security/Invitation.h"

#include <gtest/gtest.h>

using namespace corvid;

namespace {

const QByteArray kKey = QByteArray::fromHex("00112233445566778899aabbccddeeff0f1e2d3c4b5a69788796a5b4c3d2e1f0");
const QString kHex = Fingerprint::Hex(kKey);

struct Row {
    QString text;
    const char* host; // nullptr: refused
    quint16 port;
};

} // namespace

TEST(Invitation, Parse)
{
    const QString grouped = Fingerprint::Grouped(kKey);
    const Row rows[] = {
        { "corvid://192.0.2.1:6256#" + kHex, "192.0.2.1", 6256 },
        { "corvid://[2001:db8::1]:6256#" + kHex, "2001:db8::1", 6256 },
        { "corvid://[::ffff:192.0.2.1]:1#" + kHex, "::ffff:192.0.2.1", 1 },
        { "corvid://corvid.example.org:65535#" + kHex.toUpper(), "corvid.example.org", 65535 },
        { "corvid://からす.example:6256#" + kHex, "からす.example", 6256 },
        { " \tCORVID://Host-1.example:6256#" + grouped + " \n", "Host-1.example", 6256 },
        { QChar(0x3000) + ("corvid://192.0.2.1:6256#" + kHex) + QChar(0x3000), "192.0.2.1", 6256 },
        // refused
        { "corvid://192.0.2.1:0#" + kHex, nullptr, 0 },
        { "corvid://192.0.2.1:65536#" + kHex, nullptr, 0 },
        { "corvid://192.0.2.1:62s6#" + kHex, nullptr, 0 },
        { "corvid://192.0.2.1:+80#" + kHex, nullptr, 0 },
        { "corvid://192.0.2.1:#" + kHex, nullptr, 0 },
        { "corvid://192.0.2.1#" + kHex, nullptr, 0 },
        { "corvid://192.0.2.1:6256/#" + kHex, nullptr, 0 },
        { "corvid://192.0.2.1:6256" + kHex, nullptr, 0 },
        { "corvid://192.0.2.1:6256#" + kHex.left(63), nullptr, 0 },
        { "corvid://192.0.2.1:6256#" + kHex + "0", nullptr, 0 },
        { "corvid://192.0.2.1:6256#" + kHex.left(63) + "g", nullptr, 0 },
        { "corvid://2001:db8::1:6256#" + kHex, nullptr, 0 },
        { "corvid://[2001:db8::1]6256#" + kHex, nullptr, 0 },
        { "corvid://[fe80::1%eth0]:6256#" + kHex, nullptr, 0 },
        { "corvid://[example.org]:6256#" + kHex, nullptr, 0 },
        { "corvid://[]:6256#" + kHex, nullptr, 0 },
        { "corvid://:6256#" + kHex, nullptr, 0 },
        { "corvid://me@192.0.2.1:6256#" + kHex, nullptr, 0 },
        { "corvid://a b:6256#" + kHex, nullptr, 0 },
        { "http://192.0.2.1:6256#" + kHex, nullptr, 0 },
        { "192.0.2.1:6256#" + kHex, nullptr, 0 },
        { "", nullptr, 0 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text.toStdString());
        const auto got = Invitation::Parse(row.text);
        if (!row.host) {
            EXPECT_FALSE(got);
            continue;
        }
        ASSERT_TRUE(got);
        EXPECT_EQ(got->host.toStdString(), row.host);
        EXPECT_EQ(got->port, row.port);
        EXPECT_EQ(got->fingerprint, kKey);
    }
}

TEST(Invitation, FormatIsReadBack)
{
    EXPECT_EQ(Invitation::Format(QStringLiteral("2001:db8::1"), 6256, kKey).toStdString(),
              ("corvid://[2001:db8::1]:6256#" + kHex).toStdString());
    EXPECT_EQ(Invitation::Format(QStringLiteral("192.0.2.1"), 80, kKey).toStdString(),
              ("corvid://192.0.2.1:80#" + kHex).toStdString());
    for (const QString& host : { QStringLiteral("2001:db8::1"), QStringLiteral("192.0.2.1"),
                                QStringLiteral("corvid.example.org") }) {
        const auto back = Invitation::Parse(Invitation::Format(host, 6256, kKey));
        ASSERT_TRUE(back) << host.toStdString();
        EXPECT_EQ(back->host, host);
        EXPECT_EQ(back->port, 6256);
        EXPECT_EQ(back->fingerprint, kKey);
    }
}

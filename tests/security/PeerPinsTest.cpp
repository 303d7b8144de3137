#include "core/security/Fingerprint.h"
#include "core/security/PeerPins.h"
#include "security/DescribePins.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <thread>
#include <vector>

using namespace corvid;
using corvid::test::describe;

namespace {

using Pin = PeerPins::Pin;

QByteArray key(int n)
{
    QByteArray fp(32, '\x5a');
    fp[0] = char(n & 0xff);
    fp[1] = char(n >> 8);
    return fp;
}

class PeerPinsFile : public ::testing::Test {
protected:
    QString path() const { return dir.filePath(QLatin1String(PeerPins::FileName)); }
    QByteArray contents() const
    {
        QFile f(path());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void put(const QByteArray& bytes) const
    {
        QFile f(path());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    int mode() const
    {
        struct stat st {};
        return ::stat(QFile::encodeName(path()).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
    }

    QTemporaryDir dir;
};

} // namespace

// What one instance pins, a second one reads back whole: names that hold
// the file's own separators stay one line, and the file is the user's only.
TEST_F(PeerPinsFile, RoundTripThroughTheFile)
{
    PeerPins first(path());
    ASSERT_TRUE(first.load());
    EXPECT_TRUE(first.pins().isEmpty());
    EXPECT_FALSE(QFile::exists(path())) << "a load wrote the file";

    const QString awkward = QStringLiteral("カラス\tat\\home\r\n%1\t::1\t").arg(Fingerprint::Hex(key(9)));
    ASSERT_TRUE(first.pin(QStringLiteral("alice"), QStringLiteral("192.0.2.1"), key(1)));
    ASSERT_TRUE(first.pin(awkward, QStringLiteral("[2001:DB8:0::1]"), key(2)));
    ASSERT_TRUE(first.expect(QStringLiteral("Example.ORG"), key(3)));
    ASSERT_TRUE(first.expect(QStringLiteral("192.0.2.7"), key(4)));
    ASSERT_TRUE(first.pin(QStringLiteral("alice"), QStringLiteral("192.0.2.1"), key(5)));
    ASSERT_TRUE(first.forgetExpected(QStringLiteral("192.0.2.7")));
    EXPECT_TRUE(first.lastError().isEmpty());

    EXPECT_EQ(contents().count('\n'), 3);
    EXPECT_EQ(mode(), 0600);

    PeerPins second(path());
    ASSERT_TRUE(second.load());
    EXPECT_EQ(describe(second.pins()), describe(first.pins()));
    EXPECT_EQ(second.pinned(QStringLiteral("alice"), QStringLiteral("::ffff:192.0.2.1")), key(5));
    EXPECT_EQ(second.pinned(awkward, QStringLiteral("2001:db8::1")), key(2));
    EXPECT_EQ(second.expected(QStringLiteral("example.org")), key(3));
    EXPECT_FALSE(second.expected(QStringLiteral("192.0.2.7")));
    // An expectation is no one's pin.
    EXPECT_FALSE(second.everEncrypted(QString(), QStringLiteral("example.org")));
    EXPECT_TRUE(second.everEncrypted(QStringLiteral("alice"), QStringLiteral("192.0.2.1")));
    EXPECT_FALSE(second.everEncrypted(QStringLiteral("alice"), QStringLiteral("192.0.2.2")));
}

// A hand-edited or damaged file costs only its bad lines; the next write
// leaves the good ones and narrows a file others could read.
TEST_F(PeerPinsFile, BrokenLinesAreSkipped)
{
    const QByteArray k1 = Fingerprint::Hex(key(1)).toLatin1();
    const QByteArray k2 = Fingerprint::Hex(key(2)).toLatin1();
    const QByteArray text = "\xEF\xBB\xBF" + k1 + "\t192.0.2.1\talice\n"
        + k2 + "\t192.0.2.2\n"                   // two fields
        + k2 + "\t192.0.2.2\tbob\textra\n"       // four fields
        + k2.left(63) + "\t192.0.2.2\tbob\n"     // short key
        + k2.left(63) + "g\t192.0.2.2\tbob\n"    // not hex
        + k2 + "\t192.0.2.2\tb\\qob\n"           // unknown escape
        + k2 + "\t192.0.2.2\tbob\\\n"            // stray backslash
        + k2 + "\t192.0.2.2\t\xff\xfe\n"         // not UTF-8
        + k2 + "\t\tbob\n"                       // no address
        + "\n"
        + k1.toUpper() + "\t192.0.2.3\tcarol\r\n"
        + k2 + "\t192.0.2.4\t";                  // an expectation, no final break
    int skipped = -1;
    PeerPins::Table::FromText(text, &skipped);
    EXPECT_EQ(skipped, 8);

    put(text);
    ASSERT_TRUE(QFile::setPermissions(path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup
                                                  | QFile::ReadOther));
    PeerPins pins(path());
    ASSERT_TRUE(pins.load());
    const QList<Pin> good = { { key(1), QStringLiteral("192.0.2.1"), QStringLiteral("alice") },
                              { key(1), QStringLiteral("192.0.2.3"), QStringLiteral("carol") },
                              { key(2), QStringLiteral("192.0.2.4"), QString() } };
    EXPECT_EQ(describe(pins.pins()), describe(good));

    ASSERT_TRUE(pins.pin(QStringLiteral("dave"), QStringLiteral("192.0.2.5"), key(3)));
    EXPECT_EQ(mode(), 0600);
    EXPECT_EQ(contents(),
              k1 + "\t192.0.2.1\talice\n" + k1 + "\t192.0.2.3\tcarol\n" + k2 + "\t192.0.2.4\t\n"
                  + Fingerprint::Hex(key(3)).toLatin1() + "\t192.0.2.5\tdave\n");
}

// Connection threads pin at once; every pin reaches memory and the file.
TEST_F(PeerPinsFile, ConcurrentPinsAreAllKept)
{
    PeerPins pins(path());
    ASSERT_TRUE(pins.load());
    constexpr int kThreads = 4;
    constexpr int kEach = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&pins, t] {
            for (int i = 0; i < kEach; ++i)
                EXPECT_TRUE(pins.pin(QStringLiteral("peer%1").arg(t), QStringLiteral("10.0.%1.%2").arg(t).arg(i),
                                     key(t * kEach + i)));
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(pins.pins().size(), kThreads * kEach);

    PeerPins reread(path());
    ASSERT_TRUE(reread.load());
    EXPECT_EQ(reread.pins().size(), kThreads * kEach);
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kEach; ++i)
            EXPECT_EQ(reread.pinned(QStringLiteral("peer%1").arg(t), QStringLiteral("10.0.%1.%2").arg(t).arg(i)),
                      key(t * kEach + i));
}

// A stranger making pin after pin under new names fills the table but
// pushes out no partner; known peers and invitations still change.
TEST(PeerPins, AFullTableKeepsItsPins)
{
    PeerPins pins;
    for (int i = 0; i < PeerPins::kMaxPins; ++i)
        ASSERT_TRUE(pins.pin(QStringLiteral("n%1").arg(i), QStringLiteral("192.0.2.1"), key(i)));
    EXPECT_FALSE(pins.pin(QStringLiteral("one more"), QStringLiteral("192.0.2.1"), key(1)));
    EXPECT_FALSE(pins.pinned(QStringLiteral("one more"), QStringLiteral("192.0.2.1")));
    EXPECT_TRUE(pins.pin(QStringLiteral("n0"), QStringLiteral("192.0.2.1"), key(7)));
    EXPECT_EQ(pins.pinned(QStringLiteral("n0"), QStringLiteral("192.0.2.1")), key(7));
    EXPECT_TRUE(pins.expect(QStringLiteral("192.0.2.9"), key(8)));
    EXPECT_EQ(pins.pinned(QStringLiteral("n1"), QStringLiteral("192.0.2.1")), key(1));

    // Nor can a name pin pose as an expectation, or a key be anything but 32 bytes.
    PeerPins empty;
    EXPECT_FALSE(empty.pin(QString(), QStringLiteral("192.0.2.1"), key(1)));
    EXPECT_FALSE(empty.pin(QStringLiteral("a"), QStringLiteral("192.0.2.1"), key(1).left(31)));
    EXPECT_FALSE(empty.expect(QStringLiteral(" "), key(1)));
    EXPECT_TRUE(empty.pins().isEmpty());
}

// The path firewall: what a name from a peer may look like.
#include "core/protocol/RelativePath.h"
#include "core/protocol/SjisCodec.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace corvid;

namespace {

using P = RelativePath::Problem;

// `n` bytes on disk: three-byte characters, then ASCII to make up the rest.
QString ofBytes(int n)
{
    return QString(n / 3, QChar(0x3042)) + QString(n % 3, u'a');
}

// Components of `part` bytes joined by "/" until the whole is exactly `total` bytes.
QString pathOfBytes(int total, int part)
{
    QString out;
    while (QFile::encodeName(out).size() + 1 + part < total)
        out += (out.isEmpty() ? QString() : QStringLiteral("/")) + ofBytes(part);
    const int rest = total - int(QFile::encodeName(out).size()) - 1;
    return out + u'/' + ofBytes(rest);
}

QString levels(int n)
{
    QStringList parts;
    for (int i = 0; i < n; ++i)
        parts << QStringLiteral("d%1").arg(i);
    return parts.join(u'/');
}

} // namespace

TEST(RelativePath, FirewallTable)
{
    const struct {
        QString path;
        P problem;
    } table[] = {
        {QStringLiteral("a.txt"), P::None},
        {QStringLiteral("photos/2026/a.jpg"), P::None},
        {QStringLiteral("写真 2026/夏 休み.jpg"), P::None},
        {SjisCodec::decode("\x83\x5c.txt"), P::None},  // "ソ": its trail byte is 0x5C, yet no backslash
        {QStringLiteral("..a/b..c/.../x"), P::None},
        {QString(), P::Empty},
        {QStringLiteral("../x"), P::DotComponent},
        {QStringLiteral("a/../../x"), P::DotComponent},
        {QStringLiteral("a/./b"), P::DotComponent},
        {QStringLiteral("."), P::DotComponent},
        {QStringLiteral("/etc/x"), P::Absolute},
        {QStringLiteral("a//b"), P::EmptyComponent},
        {QStringLiteral("a/"), P::EmptyComponent},
        {QStringLiteral("a\\..\\b"), P::Backslash},
        {QStringLiteral("a\x01" "b"), P::ControlCharacter},
        {QStringLiteral("a/b\x7f"), P::ControlCharacter},
        {QStringLiteral("a") + QChar(0x85), P::ControlCharacter},
        {QStringLiteral("a\nb/c"), P::ControlCharacter},
        {QString(QChar(0)) + QStringLiteral("x"), P::ControlCharacter},
        {ofBytes(300), P::ComponentTooLong},
        {ofBytes(300) + QStringLiteral("/a"), P::ComponentTooLong},
        // The last component leaves room for "_N"; a folder may use all 255 bytes.
        {ofBytes(250), P::ComponentTooLong},
        {QStringLiteral("d/") + ofBytes(250), P::ComponentTooLong},
        {ofBytes(250) + QStringLiteral("/f"), P::None},
        {ofBytes(255) + QStringLiteral("/") + ofBytes(248), P::None},
        {ofBytes(256) + QStringLiteral("/f"), P::ComponentTooLong},
        {levels(64), P::None},
        {levels(65), P::TooDeep},
        {levels(70), P::TooDeep},
        {pathOfBytes(4096, 200), P::None},
        {pathOfBytes(4097, 200), P::TooLong},
    };
    for (const auto& row : table) {
        EXPECT_EQ(RelativePath::Describe(RelativePath::Check(row.path)), RelativePath::Describe(row.problem))
            << qPrintable(row.path.left(80)) << " (" << QFile::encodeName(row.path).size() << " bytes)";
    }
    // The byte counts the table relies on.
    EXPECT_EQ(QFile::encodeName(pathOfBytes(4097, 200)).size(), 4097);
    EXPECT_EQ(QFile::encodeName(ofBytes(250)).size(), 250);
}

TEST(RelativePath, BareNamesHaveNoFolders)
{
    EXPECT_TRUE(RelativePath::IsSafeBareName(QStringLiteral("夏 休み.jpg")));
    EXPECT_FALSE(RelativePath::IsSafeBareName(QStringLiteral("photos/a.jpg")));
    EXPECT_FALSE(RelativePath::IsSafeBareName(QStringLiteral("..")));
    EXPECT_EQ(RelativePath::Components(QStringLiteral("写真 2026/夏 休み.jpg")),
              QStringList({QStringLiteral("写真 2026"), QStringLiteral("夏 休み.jpg")}));
}

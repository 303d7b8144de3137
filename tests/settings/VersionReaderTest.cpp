#include "BuildConfig.h"
#include "core/settings/VersionBlock.h"
#include "core/settings/VersionReader.h"
#include "settings/PrintQt.h"

#include <QCoreApplication>
#include <QtEndian>
#include <gtest/gtest.h>

using namespace corvid;

namespace {

VersionReader::Loader blockLoader(const QByteArray& block)
{
    return [block](const QString&, QByteArray& out, QString&) {
        out = block;
        return true;
    };
}

VersionBlock::StringTable table(const char* translation, const char* fileVersion)
{
    return {translation, {{"CompanyName", "c"}, {"FileVersion", fileVersion}}};
}

TEST(VersionReader, OwnBlockCarriesTheProjectVersionInOneTranslation)
{
    VersionReader reader;
    EXPECT_EQ(reader.creationError(), "");
    EXPECT_FALSE(reader.fileName().isEmpty());
    EXPECT_EQ(reader.Query("FileVersion").text, CORVID_VERSION_STRING);
    EXPECT_EQ(reader.Query("ProductName").text, "Corvid");
    // The path as the platform reports it reads the same block.
    VersionReader byPath(QCoreApplication::applicationFilePath(), {}, 0x0409);
    EXPECT_EQ(byPath.Query("FileVersion").text, CORVID_VERSION_STRING);

    const QByteArray block = ownVersionBlock();
    QByteArray pairs;
    ASSERT_TRUE(VersionBlock::Query(block, "\\VarFileInfo\\Translation", pairs));
    ASSERT_EQ(pairs.size(), 4);
    EXPECT_EQ(qFromLittleEndian<quint16>(pairs.constData()), 0x0411);
    EXPECT_EQ(qFromLittleEndian<quint16>(pairs.constData() + 2), 0x03A4);
    QByteArray fixed;
    ASSERT_TRUE(VersionBlock::Query(block, "\\", fixed));
    ASSERT_EQ(fixed.size(), 52);
    EXPECT_EQ(qFromLittleEndian<quint32>(fixed.constData()), 0xFEEF04BDu);
    EXPECT_EQ(qFromLittleEndian<quint32>(fixed.constData() + 8),
              (quint32(CORVID_VERSION_MAJOR) << 16) | CORVID_VERSION_MINOR);
}

TEST(VersionReader, TranslationChoice)
{
    const struct {
        const char* what;
        QList<QPair<quint16, quint16>> pairs;
        quint16 language;
        const char* expected;
    } cases[] = {
        {"second pair in the user's language", {{0x0411, 0x03A4}, {0x0409, 0x04B0}}, 0x0409, "040904B0"},
        {"no pair in the user's language", {{0x0411, 0x03A4}, {0x0409, 0x04B0}}, 0x0407, "041103A4"},
        {"last matching pair wins", {{0x0411, 0x03A4}, {0x0409, 0x04B0}, {0x0409, 0x04E4}}, 0x0409, "040904E4"},
        {"the first pair is never searched", {{0x0409, 0x04B0}, {0x0411, 0x03A4}}, 0x0409, "040904B0"},
        {"no pair at all", {}, 0x0411, ""},
    };
    for (const auto& c : cases) {
        QByteArray pairs;
        for (const auto& [l, cp] : c.pairs) {
            char b[4];
            qToLittleEndian(l, b);
            qToLittleEndian(cp, b + 2);
            pairs.append(b, 4);
        }
        EXPECT_EQ(VersionReader::ChooseTranslation(pairs, c.language), c.expected) << c.what;
    }
}

TEST(VersionReader, TwoTranslationsTheSecondInTheUsersLanguage)
{
    VersionBlock::Contents contents;
    contents.tables << table("041103A4", "1.2.0.0") << table("040904B0", "1.2.0.0-en");
    contents.translations << qMakePair(quint16(0x0411), quint16(0x03A4)) << qMakePair(quint16(0x0409), quint16(0x04B0));
    const QByteArray block = VersionBlock::Build(contents);
    EXPECT_EQ(VersionReader("x", blockLoader(block), 0x0409).Query("FileVersion").text, "1.2.0.0-en");
    EXPECT_EQ(VersionReader("x", blockLoader(block), 0x0411).Query("fileversion").text, "1.2.0.0");
}

TEST(VersionReader, FailuresGiveTheirErrorTexts)
{
    VersionReader failing("x", [](const QString&, QByteArray&, QString& e) {
        e = "Access denied";
        return false;
    });
    EXPECT_EQ(failing.Query("FileVersion").error, "QueryVersionInfo:Access denied");

    VersionReader other(QCoreApplication::applicationDirPath());
    EXPECT_TRUE(other.Query("FileVersion").error.startsWith("QueryVersionInfo:"));
    VersionReader missing("/nonexistent/corvid");
    EXPECT_TRUE(missing.Query("FileVersion").error.startsWith("QueryVersionInfo:"));

    VersionBlock::Contents contents;
    contents.tables << table("041103A4", "1.0");
    VersionReader noTranslation("x", blockLoader(VersionBlock::Build(contents)), 0x0411);
    const auto r = noTranslation.Query("FileVersion");
    EXPECT_FALSE(r.ok());
    EXPECT_TRUE(r.error.startsWith("QueryVersionInfo:"));
    // Nor may a query without a translation land on a table and read it as
    // an empty string.
    const auto asTable = noTranslation.Query("041103A4");
    EXPECT_FALSE(asTable.ok());
    EXPECT_TRUE(asTable.error.startsWith("QueryVersionInfo:")) << asTable.error.toStdString();
    contents.translations << qMakePair(quint16(0x0411), quint16(0x03A4));
    VersionReader noString("x", blockLoader(VersionBlock::Build(contents)), 0x0411);
    EXPECT_TRUE(noString.Query("Comments").error.startsWith("QueryVersionInfo:"));
    EXPECT_EQ(noString.Query("FileVersion").text, "1.0");
    // An empty name names the table itself, not a string in it.
    EXPECT_TRUE(noString.Query("").error.startsWith("QueryVersionInfo:"));
}

TEST(VersionReader, DamagedBlocksNeverReadOutOfBounds)
{
    const QByteArray block = ownVersionBlock();
    for (qsizetype cut = 0; cut < block.size(); cut += 3) {
        QByteArray damaged = block.left(cut);
        VersionReader r("x", blockLoader(damaged), 0x0411);
        // The root's length runs past a cut block: nothing is found in it.
        EXPECT_FALSE(r.Query("FileVersion").ok()) << cut;
    }
    // Node lengths that point past the end or nowhere.
    for (qsizetype at : {0, 2, 0x60, 0x62}) {
        QByteArray damaged = block;
        damaged[at] = char(0xFF);
        damaged[at + 1] = char(0xFF);
        VersionReader r("x", blockLoader(damaged), 0x0411);
        r.Query("FileVersion");  // must not crash or read outside the block (ASan)
    }
}

} // namespace

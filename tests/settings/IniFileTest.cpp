#include "core/settings/IniFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "settings/IniFixture.h"
#include "settings/PrintQt.h"

#include <sys/stat.h>

using corvid::IniFile;

namespace {

using IniFileTest = corvid::test::IniFixture;

TEST_F(IniFileTest, MissingFileGivesDefaultsAndIsNotCreatedByReads)
{
    IniFile ini(path());
    EXPECT_EQ(ini.readString("Option", "UserName", "def"), "def");
    EXPECT_EQ(ini.readInteger("Option", "FontSize", 11), 11);
    EXPECT_TRUE(ini.readBool("Option", "VerCheck", true));
    EXPECT_FALSE(ini.sectionExists("Option"));
    EXPECT_FALSE(ini.valueExists("Option", "UserName"));
    EXPECT_FALSE(QFile::exists(path()));
}

TEST_F(IniFileTest, NamesCompareWithoutCase)
{
    put("[OPTION]\nusername=taro\n");
    IniFile ini(path());
    EXPECT_EQ(ini.readString("Option", "UserName", "x"), "taro");
    EXPECT_TRUE(ini.sectionExists("option"));
    EXPECT_TRUE(ini.valueExists("oPtIoN", "USERNAME"));

    // Writing under another spelling replaces the line instead of adding one.
    ASSERT_TRUE(ini.writeString("Option", "UserName", "hanako"));
    EXPECT_EQ(contents(), "[OPTION]\nUserName=hanako\n");
}

TEST_F(IniFileTest, IntegersAreDecimalOrPrefixedHex)
{
    const struct {
        const char* text;
        qint32 expected;
    } cases[] = {
        {"12", 12},          {"-5", -5},           {"+7", 7},
        {" 42 ", 42},        {"0x0C", 12},         {"0X1f", 31},
        {"0x", 77},          {"0xG1", 77},         {"0xFFFFFFFF", -1},
        {"0x100000000", 77}, {"12abc", 77},        {"abc", 77},
        {"", 77},            {"1.5", 77},          {"2147483647", 2147483647},
        {"2147483648", 77},  {"-2147483648", -2147483647 - 1},
        {"-2147483649", 77}, {"-", 77},            {"x0C", 77},
    };
    for (const auto& c : cases) {
        put(QByteArray("[S]\nK=") + c.text + "\n");
        EXPECT_EQ(IniFile(path()).readInteger("S", "K", 77), c.expected) << c.text;
    }
}

TEST_F(IniFileTest, BooleansAreReadAsIntegers)
{
    const struct {
        const char* text;
        bool def;
        bool expected;
    } cases[] = {
        {"1", false, true},    {"0", true, false},    {"-3", false, true},
        {"0x0", true, false},  {"yes", false, false}, {"yes", true, true},
        {"true", false, false}, {"", true, true},
    };
    for (const auto& c : cases) {
        put(QByteArray("[S]\nK=") + c.text + "\n");
        EXPECT_EQ(IniFile(path()).readBool("S", "K", c.def), c.expected) << c.text;
    }
}

TEST_F(IniFileTest, StringsAreTrimmedAndCutAt2047Characters)
{
    const QByteArray longValue(3000, 'a');
    put("[S]\nLong=" + longValue + "\nExact=" + QByteArray(2047, 'b') + "\nPad=  a b  \n"
        "Eq=x=y\nJp=受信フォルダ\nEmpty=\n");
    IniFile ini(path());
    EXPECT_EQ(ini.readString("S", "Long", "").size(), 2047);
    EXPECT_EQ(ini.readString("S", "Exact", ""), QString(2047, QLatin1Char('b')));
    EXPECT_EQ(ini.readString("S", "Pad", ""), "a b");
    EXPECT_EQ(ini.readString("S", "Eq", ""), "x=y");
    EXPECT_EQ(ini.readString("S", "Jp", ""), QStringLiteral("受信フォルダ"));
    // A present but empty key is not missing.
    EXPECT_EQ(ini.readString("S", "Empty", "def"), "");
}

TEST_F(IniFileTest, CutNeverSplitsASurrogatePair)
{
    // 2046 characters, then one character outside the basic plane.
    put("[S]\nK=" + QByteArray(2046, 'a') + "\xF0\x9F\x98\x80" + "tail\n");
    const QString v = IniFile(path()).readString("S", "K", "");
    EXPECT_EQ(v, QString(2046, QLatin1Char('a')));
}

TEST_F(IniFileTest, FirstSectionAndFirstKeyWin)
{
    put("[S]\nK=one\nK=two\n[T]\nK=other\n[s]\nK=three\n");
    IniFile ini(path());
    EXPECT_EQ(ini.readString("S", "K", ""), "one");
    EXPECT_EQ(ini.readString("T", "K", ""), "other");
}

TEST_F(IniFileTest, CommentsAndNonKeyLinesAreNotKeys)
{
    put("; K=comment\n[S]\n;K=commented\nnot a key\n=novalue\nK = value \n");
    IniFile ini(path());
    EXPECT_EQ(ini.readString("S", "K", ""), "value");
    EXPECT_FALSE(ini.valueExists("S", ";K"));
}

TEST_F(IniFileTest, FirstWriteCreatesFileAndSection)
{
    IniFile ini(path());
    ASSERT_TRUE(ini.writeInteger("Transfer", "BufSize", -12));
    ASSERT_TRUE(ini.writeBool("Transfer", "AutoRecv", true));
    ASSERT_TRUE(ini.writeBool("Option", "Alpha", false));
    EXPECT_EQ(contents(), "[Transfer]\nBufSize=-12\nAutoRecv=1\n[Option]\nAlpha=0\n");
}

TEST_F(IniFileTest, WritesKeepEverythingElseInPlace)
{
    const QByteArray before =
        "; settings\r\n[Option]\r\nUserName=taro\r\nFontSize=11\r\n\r\n"
        "[Transfer]\r\n; comment\r\nBufSize=64\r\n";
    put(before);
    IniFile ini(path());
    ASSERT_TRUE(ini.writeInteger("option", "fontsize", 12));
    ASSERT_TRUE(ini.writeString("Option", "RecvDir", "/data/"));
    ASSERT_TRUE(ini.writeString("Transfer", "AutoRecv", "1"));
    // The new key goes to the end of its own section, before the blank line,
    // and the file keeps its line breaks.
    EXPECT_EQ(contents(),
              "; settings\r\n[Option]\r\nUserName=taro\r\nfontsize=12\r\nRecvDir=/data/\r\n\r\n"
              "[Transfer]\r\n; comment\r\nBufSize=64\r\nAutoRecv=1\r\n");
}

TEST_F(IniFileTest, WritesNeverDeleteKeysAndKeepForeignBytes)
{
    // A hand-edited line in another encoding must survive byte for byte.
    const QByteArray foreign = "Name=\x93\xfa\x96\x7b";
    put("[A]\n" + foreign + "\n[B]\nK=1\n");
    IniFile ini(path());
    ASSERT_TRUE(ini.writeString("B", "K", ""));
    EXPECT_TRUE(ini.valueExists("B", "K"));
    EXPECT_EQ(ini.readString("B", "K", "def"), "");
    EXPECT_EQ(contents(), "[A]\n" + foreign + "\n[B]\nK=\n");
}

TEST_F(IniFileTest, ValueCannotInjectLines)
{
    IniFile ini(path());
    ASSERT_TRUE(ini.writeString("Recently", "0", "host:1 name\r\n[Option]\nUserName=evil"));
    EXPECT_EQ(ini.readString("Recently", "0", ""), "host:1 name  [Option] UserName=evil");
    EXPECT_FALSE(ini.sectionExists("Option"));
}

TEST_F(IniFileTest, ReadOnlyFileRefusesWithPathInMessage)
{
    put("[S]\nK=old\n");
    ASSERT_EQ(::chmod(QFile::encodeName(path()).constData(), 0444), 0);
    IniFile ini(path());
    QString error;
    EXPECT_FALSE(ini.writeString("S", "K", "new", &error));
    EXPECT_EQ(error, path() + QStringLiteral(" に書き込めません"));
    EXPECT_FALSE(ini.writeInteger("S", "Other", 1)); // no error text wanted
    EXPECT_EQ(contents(), "[S]\nK=old\n");
    ::chmod(QFile::encodeName(path()).constData(), 0644);
}

TEST_F(IniFileTest, ReadOnlyFolderRefusesToCreateTheFile)
{
    const QByteArray folder = QFile::encodeName(dir.path());
    ASSERT_EQ(::chmod(folder.constData(), 0555), 0);
    IniFile ini(path());
    QString error;
    EXPECT_FALSE(ini.writeBool("S", "K", true, &error));
    ::chmod(folder.constData(), 0755);
    EXPECT_EQ(error, path() + QStringLiteral(" に書き込めません"));
    EXPECT_FALSE(QFile::exists(path()));
}

TEST_F(IniFileTest, RelativePathIsReportedInFull)
{
    IniFile ini(QStringLiteral("some/relative.ini"));
    EXPECT_TRUE(ini.path().startsWith(QLatin1Char('/')));
    EXPECT_TRUE(ini.path().endsWith(QStringLiteral("/some/relative.ini")));
}

TEST_F(IniFileTest, WriteKeepsFilePermissions)
{
    put("[S]\nK=1\n");
    ASSERT_EQ(::chmod(QFile::encodeName(path()).constData(), 0640), 0);
    ASSERT_TRUE(IniFile(path()).writeInteger("S", "K", 2));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(IniFileTest, Utf8RoundTripAndBomIsKept)
{
    put("\xEF\xBB\xBF[Option]\nFontName=MS UI GOTHIC\n");
    IniFile ini(path());
    EXPECT_EQ(ini.readString("Option", "FontName", ""), "MS UI GOTHIC");
    ASSERT_TRUE(ini.writeString("Option", "UserName", QStringLiteral("山田")));
    EXPECT_EQ(ini.readString("option", "username", ""), QStringLiteral("山田"));
    EXPECT_TRUE(contents().startsWith("\xEF\xBB\xBF[Option]\n"));
}

} // namespace

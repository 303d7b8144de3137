#include "core/settings/Conversions.h"

#include <gtest/gtest.h>
#include <limits>

#include "settings/PrintQt.h"

using corvid::Conversions;

namespace {

TEST(FormatThousands, GroupsThirtyTwoBitValues)
{
    EXPECT_EQ(Conversions::FormatThousands(qint32(0)), "0");
    EXPECT_EQ(Conversions::FormatThousands(qint32(999)), "999");
    EXPECT_EQ(Conversions::FormatThousands(qint32(-999)), "-999");
    EXPECT_EQ(Conversions::FormatThousands(qint32(1000)), "1,000");
    EXPECT_EQ(Conversions::FormatThousands(qint32(-1000)), "-1,000");
    EXPECT_EQ(Conversions::FormatThousands(qint32(100000)), "100,000");
    EXPECT_EQ(Conversions::FormatThousands(qint32(1234567)), "1,234,567");
    EXPECT_EQ(Conversions::FormatThousands(std::numeric_limits<qint32>::max()), "2,147,483,647");
    EXPECT_EQ(Conversions::FormatThousands(std::numeric_limits<qint32>::min()), "-2,147,483,648");
}

TEST(FormatThousands, GroupsSixtyFourBitValues)
{
    EXPECT_EQ(Conversions::FormatThousands(qint64(999)), "999");
    EXPECT_EQ(Conversions::FormatThousands(qint64(-1000)), "-1,000");
    EXPECT_EQ(Conversions::FormatThousands(qint64(5368709120)), "5,368,709,120");
    EXPECT_EQ(Conversions::FormatThousands(std::numeric_limits<qint64>::max()),
              "9,223,372,036,854,775,807");
    EXPECT_EQ(Conversions::FormatThousands(std::numeric_limits<qint64>::min()),
              "-9,223,372,036,854,775,808");
}

TEST(FormatThousands, FormatsDecimalText)
{
    bool ok = false;
    EXPECT_EQ(Conversions::FormatThousands(QStringLiteral("1234567"), &ok), "1,234,567");
    EXPECT_TRUE(ok);
    EXPECT_EQ(Conversions::FormatThousands(QStringLiteral("-1000")), "-1,000");
    EXPECT_EQ(Conversions::FormatThousands(QStringLiteral("9223372036854775807")),
              "9,223,372,036,854,775,807");
    EXPECT_EQ(Conversions::FormatThousands(QStringLiteral("12x"), &ok), "0");
    EXPECT_FALSE(ok);
    EXPECT_EQ(Conversions::FormatThousands(QStringLiteral("9223372036854775808"), &ok), "0");
    EXPECT_FALSE(ok);
}

TEST(ParseThousands, ReadsGroupedThirtyTwoBitText)
{
    bool ok = false;
    EXPECT_EQ(Conversions::ParseThousands(QString(), &ok), 0);
    EXPECT_TRUE(ok);
    EXPECT_EQ(Conversions::ParseThousands(QStringLiteral("999")), 999);
    EXPECT_EQ(Conversions::ParseThousands(QStringLiteral("1,000")), 1000);
    EXPECT_EQ(Conversions::ParseThousands(QStringLiteral("-1,000")), -1000);
    EXPECT_EQ(Conversions::ParseThousands(QStringLiteral("1,234,567"), &ok), 1234567);
    EXPECT_TRUE(ok);
    // Commas are removed wherever they are.
    EXPECT_EQ(Conversions::ParseThousands(QStringLiteral("12,34")), 1234);
    EXPECT_EQ(Conversions::ParseThousands(QStringLiteral("2,147,483,647")), 2147483647);
    EXPECT_EQ(Conversions::ParseThousands(QStringLiteral("-2,147,483,648")), -2147483648LL);
}

TEST(ParseThousands, NonNumbersAndOverflowGiveZero)
{
    for (const char* text : {"abc", "12a", ",", "1.5", "2,147,483,648", "5,368,709,120"}) {
        bool ok = true;
        EXPECT_EQ(Conversions::ParseThousands(QString::fromLatin1(text), &ok), 0) << text;
        EXPECT_FALSE(ok) << text;
    }
}

TEST(ParseThousands, ReadsBackWhatFormatThousandsWrites)
{
    for (qint32 v : {0, 7, -7, 999, 1000, -1000, 65536, 1234567, -99999999,
                     std::numeric_limits<qint32>::max(), std::numeric_limits<qint32>::min()}) {
        EXPECT_EQ(Conversions::ParseThousands(Conversions::FormatThousands(v)), v);
    }
}

// Sizes of 2 GiB and more read back whole, up to the largest 64-bit count.
TEST(ParseThousands, SixtyFourBitSizesReadBackAndOverflowGivesZero)
{
    for (qint64 v : {qint64(0), qint64(2147483648LL), qint64(3221225472LL), qint64(5368709120LL),
                     std::numeric_limits<qint64>::max(), std::numeric_limits<qint64>::min()}) {
        bool ok = false;
        EXPECT_EQ(Conversions::ParseThousands64(Conversions::FormatThousands(v), &ok), v);
        EXPECT_TRUE(ok) << v;
    }
    for (const char* text : {"9,223,372,036,854,775,808", "99,999,999,999,999,999,999", "3,2x"}) {
        bool ok = true;
        EXPECT_EQ(Conversions::ParseThousands64(QString::fromLatin1(text), &ok), 0) << text;
        EXPECT_FALSE(ok) << text;
    }
}

TEST(ColorConversion, HtmlIsRedGreenBlueAndValueIsBlueGreenRed)
{
    EXPECT_EQ(Conversions::ColorToHtml(0x000000FFu), "#FF0000");
    EXPECT_EQ(Conversions::ColorToHtml(0x00332211u), "#112233");
    EXPECT_EQ(Conversions::ColorToHtml(0x00EFCDABu), "#ABCDEF");
    EXPECT_EQ(Conversions::ColorToHtml(0x00000000u), "#000000");
    EXPECT_EQ(Conversions::ColorToHtml(0xFF0080FFu), "#FF8000");

    bool ok = false;
    EXPECT_EQ(Conversions::HtmlToColor(QStringLiteral("#112233"), &ok), 0x00332211u);
    EXPECT_TRUE(ok);
    EXPECT_EQ(Conversions::HtmlToColor(QStringLiteral("#abcdef")), 0x00EFCDABu);
    EXPECT_EQ(Conversions::HtmlToColor(QStringLiteral("#0080FF")), 0x00FF8000u);
    for (quint32 v : {0x0u, 0x00FFFFFFu, 0x00C0C0C0u, 0x00123456u})
        EXPECT_EQ(Conversions::HtmlToColor(Conversions::ColorToHtml(v)), v);
}

TEST(ColorConversion, MalformedTextIsFlagged)
{
    for (const char* text : {"", "#", "#12345", "#1234567", "112233", "X112233", "#GG0000",
                             "#12 345", "#-12345"}) {
        bool ok = true;
        EXPECT_EQ(Conversions::HtmlToColor(QString::fromLatin1(text), &ok), 0u) << text;
        EXPECT_FALSE(ok) << text;
    }
}

} // namespace

#include "core/base/TextLines.h"

#include <gtest/gtest.h>

using namespace corvid;

TEST(TextLines, EveryLineBreakKindAndNoExtraLineAtTheEnd)
{
    using L = QList<QByteArray>;
    EXPECT_EQ(TextLines::Split("a\r\nb\nc\rd"), (L{"a", "b", "c", "d"}));
    EXPECT_EQ(TextLines::Split("a\r\n"), (L{"a"}));
    EXPECT_EQ(TextLines::Split("a\r\n\r\n"), (L{"a", ""}));
    EXPECT_EQ(TextLines::Split("\n\r"), (L{"", ""}));  // LF then a lone CR: two breaks
    EXPECT_EQ(TextLines::Split(""), L{});
    EXPECT_EQ(TextLines::Trim(" \t\x01" "a b\r\n"), QByteArray("a b"));
    EXPECT_EQ(TextLines::Trim("\x20\x20"), QByteArray());
}

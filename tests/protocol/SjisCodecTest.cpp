// Shift-JIS (code page 932) at the edge of the wire.
#include "core/protocol/SjisCodec.h"

#include <gtest/gtest.h>

using namespace corvid;

TEST(SjisCodec, JapaneseRoundTripsByteForByte)
{
    const QString text = QStringLiteral("太郎: こんにちは、世界 ABC ｱｲｳ");
    bool lossy = true;
    const QByteArray wire = SjisCodec::encode(text, &lossy);
    EXPECT_FALSE(lossy);
    EXPECT_TRUE(wire.startsWith("\x91\xbe\x98\x59: \x82\xb1\x82\xf1"));
    EXPECT_TRUE(wire.endsWith("ABC \xb1\xb2\xb3"));  // half-width katakana are single bytes
    EXPECT_EQ(SjisCodec::decode(wire), text);
    EXPECT_TRUE(SjisCodec::canEncode(text));
}

TEST(SjisCodec, UnmappableCharactersBecomeQuestionMarks)
{
    bool lossy = false;
    EXPECT_EQ(SjisCodec::encode(QStringLiteral("a😀b€c"), &lossy), "a?b?c");
    EXPECT_TRUE(lossy);
    EXPECT_FALSE(SjisCodec::canEncode(QStringLiteral("😀")));
}

TEST(SjisCodec, DecoderJoinsADoubleByteCharacterSplitAcrossFeeds)
{
    SjisCodec::Decoder d;
    EXPECT_EQ(d.feed("A\x93"), QStringLiteral("A"));
    EXPECT_EQ(d.feed("\xfa\x96"), QStringLiteral("日"));
    EXPECT_EQ(d.feed("\x7b"), QStringLiteral("本"));
    EXPECT_EQ(d.finish(), QString());
    EXPECT_EQ(d.feed("\x93"), QString());
    EXPECT_EQ(d.finish(), QString(QChar(0xFFFD)));  // a dangling lead byte
}

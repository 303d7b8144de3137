// Lookup and classification of blocks already in memory.
#include "core/protocol/HeaderBlock.h"
#include "core/protocol/Transport.h"

#include <gtest/gtest.h>

using namespace corvid;

namespace {
HeaderBlock block(std::initializer_list<const char*> lines)
{
    HeaderBlock b;
    for (const char* l : lines)
        b.append(QByteArray(l));
    return b;
}
} // namespace

TEST(HeaderValue, KeyIgnoresCaseFirstMatchWinsAndSpacesCount)
{
    const HeaderBlock b = block({"Command=Connect", "NAME=first", "Name=second", "no equals sign", "Name =spaced",
                                 "FileName=a=b.txt", "Empty=", ""});
    EXPECT_EQ(Header::Value(b, "name"), "first");
    EXPECT_EQ(Header::Value(b, "FileName"), "a=b.txt");  // everything after the first "="
    EXPECT_EQ(Header::Value(b, "Empty"), "");
    EXPECT_EQ(Header::Value(b, "Missing"), "");
    // "Name " is a different key; it never shadows a later real one either.
    EXPECT_EQ(Header::Value(block({"Name =x", "Name=y"}), "Name"), "y");
}

TEST(HeaderValue, IntegersAreStrictSigned32Bit)
{
    EXPECT_EQ(Header::ParseInt("0"), 0);
    EXPECT_EQ(Header::ParseInt("-17"), -17);
    EXPECT_EQ(Header::ParseInt("2147483647"), 2147483647);
    EXPECT_EQ(Header::ParseInt("-2147483648"), std::numeric_limits<qint32>::min());
    for (const char* bad : {"", "-", "2147483648", "-2147483649", "99999999999999999999", "12a", " 1", "1 ",
                            "1,000", "0x10", "abc"})
        EXPECT_FALSE(Header::ParseInt(bad).has_value()) << bad;
    EXPECT_FALSE(Header::IntValue(block({"Command=Send", ""}), "ContentLength").has_value());
    EXPECT_EQ(Header::IntValue(block({"contentlength=42", ""}), "ContentLength"), 42);
}

TEST(HeaderClassify, CommandCodes)
{
    EXPECT_EQ(Header::Classify(block({"Command=Connect", ""})), CmdConnect);
    EXPECT_EQ(Header::Classify(block({"Command=send", ""})), CmdSend);   // value in lower case
    EXPECT_EQ(Header::Classify(block({"COMMAND=Send", ""})), CmdSend);   // key in capitals
    EXPECT_EQ(Header::Classify(block({"Command=RECV", ""})), CmdRecv);
    EXPECT_EQ(Header::Classify(block({"Command=Result", ""})), CmdResult);
    EXPECT_EQ(Header::Classify(block({"Command= Send", ""})), CmdOther);  // space after "="
    EXPECT_EQ(Header::Classify(block({"Command=Disconnect", ""})), CmdOther);
    EXPECT_EQ(Header::Classify(block({"UserAgent=CRV2/", ""})), CmdOther);
    EXPECT_EQ(Header::Classify(HeaderBlock()), CmdNothing);
}

TEST(HeaderClassify, ContentTypesAndAccept)
{
    EXPECT_EQ(Header::GetContentType(block({"ContentType=message"})), CtMessage);
    EXPECT_EQ(Header::GetContentType(block({"ContentType=FileList"})), CtFileList);
    EXPECT_EQ(Header::GetContentType(block({"ContentType=FILE"})), CtFile);
    EXPECT_EQ(Header::GetContentType(block({"ContentType=Files"})), CtOther);
    EXPECT_EQ(Header::GetContentType(block({"Command=Send"})), CtOther);

    EXPECT_TRUE(Header::IsAccepted(block({"Accept=true"})));
    EXPECT_TRUE(Header::IsAccepted(block({"Accept=TRUE"})));
    EXPECT_FALSE(Header::IsAccepted(block({"Accept=1"})));
    EXPECT_FALSE(Header::IsAccepted(block({"Accept=yes"})));
    EXPECT_FALSE(Header::IsAccepted(block({"Accept=True "})));
    EXPECT_FALSE(Header::IsAccepted(block({"Command=Connect", ""})));
}


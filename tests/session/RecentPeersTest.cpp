#include "core/session/RecentPeers.h"

#include <gtest/gtest.h>

using corvid::RecentPeers;

TEST(RecentPeers, NewestFirstNoDuplicatesAtMostTen)
{
    RecentPeers r;
    r.AddRecentPeer(QString());
    EXPECT_TRUE(r.entries().isEmpty());
    for (int i = 0; i < 11; ++i)
        r.AddRecentPeer(QStringLiteral("10.0.0.%1:6256 p%1").arg(i));
    ASSERT_EQ(r.entries().size(), 10);
    EXPECT_EQ(r.entries().first(), QStringLiteral("10.0.0.10:6256 p10"));
    EXPECT_FALSE(r.entries().contains(QStringLiteral("10.0.0.0:6256 p0")));  // oldest dropped

    r.AddRecentPeer(QStringLiteral("10.0.0.5:6256 p5"));
    EXPECT_EQ(r.entries().size(), 10);
    EXPECT_EQ(r.entries().first(), QStringLiteral("10.0.0.5:6256 p5"));
    EXPECT_EQ(r.entries().count(QStringLiteral("10.0.0.5:6256 p5")), 1);
}

TEST(RecentPeers, SplitEntry)
{
    QString host, port;
    RecentPeers::SplitEntry(QStringLiteral("192.168.1.5:6256 Taro"), host, port);
    EXPECT_EQ(host, QStringLiteral("192.168.1.5"));
    EXPECT_EQ(port, QStringLiteral("6256"));
    // Without a blank the port stays empty.
    RecentPeers::SplitEntry(QStringLiteral("example.org:7000"), host, port);
    EXPECT_EQ(host, QStringLiteral("example.org"));
    EXPECT_TRUE(port.isEmpty());
}

TEST(RecentPeers, OldThreeFieldEntriesAreConverted)
{
    EXPECT_EQ(RecentPeers::ConvertOldEntry(QStringLiteral("192.168.0.5,6256,Taro")), QStringLiteral("192.168.0.5:6256 Taro"));
    EXPECT_EQ(RecentPeers::ConvertOldEntry(QStringLiteral("192.168.0.5 6256 Taro")), QStringLiteral("192.168.0.5:6256 Taro"));
    EXPECT_EQ(RecentPeers::ConvertOldEntry(QStringLiteral("host,6256,\"Taro Yamada\"")), QStringLiteral("host:6256 Taro Yamada"));
    // Already converted entries stay as they are, also with a blank in the name.
    EXPECT_EQ(RecentPeers::ConvertOldEntry(QStringLiteral("host:6256 Taro")), QStringLiteral("host:6256 Taro"));
    EXPECT_EQ(RecentPeers::ConvertOldEntry(QStringLiteral("host:6256 Taro Yamada")), QStringLiteral("host:6256 Taro Yamada"));
    // Two or four fields are not the old form.
    EXPECT_EQ(RecentPeers::ConvertOldEntry(QStringLiteral("a,b")), QStringLiteral("a,b"));
    EXPECT_EQ(RecentPeers::ConvertOldEntry(QStringLiteral("a,b,c,d")), QStringLiteral("a,b,c,d"));
}

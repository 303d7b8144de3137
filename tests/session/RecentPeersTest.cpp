#include "core/session/RecentPeers.h"
#include "core/settings/AppSettings.h"
#include "core/settings/IniFile.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "settings/PrintQt.h"

#include <iterator>

using corvid::AppSettings;
using corvid::IniFile;
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

// Every entry splits into a defined address and port; none may crash or
// read past its end.
TEST(RecentPeers, SplitEntryWithIPv6)
{
    const struct {
        const char* entry;
        const char* host;
        const char* port;
    } cases[] = {
        {"[::1]:6256 Ben", "::1", "6256"},
        {"[::1]:6256 Taro Yamada", "::1", "6256"},
        {"[::1] Ben", "::1", ""},                        // no port
        {"[::1]:6256", "::1", ""},                       // no blank: no port, as for any entry
        {"[fe80::1%lo]:6256", "fe80::1%lo", ""},
        {"[fe80::1%lo]:6256 Ben", "fe80::1%lo", "6256"},  // the zone stays with the address
        {"[2001:db8::5]:7000 Aki", "2001:db8::5", "7000"},
        {"[192.168.1.5]:6256 Taro", "192.168.1.5", "6256"},
        {"[]:6256 X", "", "6256"},
        {"[::1]x:6256 Ben", "::1", ""},                  // "]" not followed by ":"
        // Unbracketed IPv6 of older versions: split at the first ":" as always.
        {"::1:6256", "", ""},
        {"::1:6256 Aki", "", ":1:6256"},
        // Brackets that do not close before the name: the plain split.
        {"[::1", "[", ""},
        {"[::1 Ben]:6256", "[", ":1"},
        {"[", "[", ""},
        {"]:6256 X", "]", "6256"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        QString host = QStringLiteral("stale");
        QString port = QStringLiteral("stale");
        RecentPeers::SplitEntry(QString::fromUtf8(c.entry), host, port);
        EXPECT_EQ(host, QString::fromUtf8(c.host)) << c.entry;
        EXPECT_EQ(port, QString::fromUtf8(c.port)) << c.entry;
        // Bracketed entries are already in the present form.
        EXPECT_EQ(RecentPeers::ConvertOldEntry(QString::fromUtf8(c.entry)), QString::fromUtf8(c.entry)) << c.entry;
    }
}

// An entry made for a connection comes back, through the settings file, as
// the address and port it was made of; IPv4 and host names keep the form
// existing files have.
TEST(RecentPeers, EntriesRoundTripThroughTheSettingsFile)
{
    const struct {
        const char* host;
        const char* entry;
        const char* splitHost;
    } cases[] = {
        {"192.168.1.5", "192.168.1.5:6256 Taro", "192.168.1.5"},
        {"example.org", "example.org:6256 Taro", "example.org"},
        {"::1", "[::1]:6256 Taro", "::1"},
        {"fe80::1%lo", "[fe80::1%lo]:6256 Taro", "fe80::1%lo"},
        {"2001:db8::5", "[2001:db8::5]:6256 Taro", "2001:db8::5"},
        {"::ffff:192.168.1.5", "[::ffff:192.168.1.5]:6256 Taro", "::ffff:192.168.1.5"},
    };
    // Typed with brackets, the address gets no second pair.
    EXPECT_EQ(RecentPeers::FormatEntry(QStringLiteral("[::1]"), 6256, QStringLiteral("Taro")),
              QStringLiteral("[::1]:6256 Taro"));
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("corvid.ini"));

    RecentPeers saved;
    for (const auto& c : cases) {
        const QString entry = RecentPeers::FormatEntry(QString::fromUtf8(c.host), 6256, QStringLiteral("Taro"));
        EXPECT_EQ(entry, QString::fromUtf8(c.entry));
        saved.AddRecentPeer(entry);
    }
    {
        IniFile ini(path);
        QString error;
        ASSERT_TRUE(AppSettings::saveRecentPeers(ini, saved.entries(), &error)) << qPrintable(error);
    }
    // The next start reads them back as the main window does.
    RecentPeers loaded;
    for (const QString& entry : AppSettings::loadRecentPeers(IniFile(path)))
        loaded.AddRecentPeer(entry);
    loaded.convertOldEntries();
    ASSERT_EQ(loaded.entries(), saved.entries());
    const qsizetype n = std::size(cases);
    for (qsizetype i = 0; i < n; ++i) {
        const QString& entry = loaded.entries().at(n - 1 - i);  // newest first
        QString host, port;
        RecentPeers::SplitEntry(entry, host, port);
        EXPECT_EQ(host, QString::fromUtf8(cases[i].splitHost)) << cases[i].entry;
        EXPECT_EQ(port, QStringLiteral("6256")) << cases[i].entry;
    }
}

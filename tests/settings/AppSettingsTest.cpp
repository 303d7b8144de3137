#include "core/settings/AppSettings.h"
#include "core/settings/IniFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "settings/IniFixture.h"
#include "settings/PrintQt.h"

#include <sys/stat.h>
#include <atomic>
#include <thread>

using namespace corvid;

namespace {

const QString kHost = QStringLiteral("myhost");
const QString kExe = QStringLiteral("/opt/corvid");

class AppSettingsTest : public corvid::test::IniFixture {
protected:
    AppSettings loaded() const
    {
        AppSettings s;
        s.loadAtStart(IniFile(path()), kHost, kExe);
        return s;
    }
};

TEST_F(AppSettingsTest, NoFileGivesEveryDefault)
{
    const AppSettings s = loaded();
    EXPECT_FALSE(s.Alpha);
    EXPECT_EQ(s.AlphaValue, 255);
    EXPECT_EQ(s.InputHeight, 80);
    EXPECT_EQ(s.UserName, kHost);
    EXPECT_EQ(s.RecvDir, "/opt/corvid/");
    EXPECT_TRUE(s.VerCheck);
    EXPECT_TRUE(s.UseUPnP);
    EXPECT_EQ(s.FormColor, "#000000");
    EXPECT_EQ(s.UserColor, "#FFFFFF");
    EXPECT_EQ(s.RecvColor, "#FFFF00");
    EXPECT_EQ(s.SysColor, "#C0C0C0");
    EXPECT_EQ(s.LinkColor, "#0080FF");
    EXPECT_EQ(s.FontName, "MS UI GOTHIC");
    EXPECT_EQ(s.FontSize, 11);
    EXPECT_EQ(s.ChunkSize, 65536);
    EXPECT_EQ(s.PrioritySize, 5242880);
    EXPECT_FALSE(s.AutoAccept);
    EXPECT_FALSE(s.AutoRecv);
    for (bool flag : s.MessageFlags)
        EXPECT_TRUE(flag);
    EXPECT_FALSE(s.SoundMessage || s.SoundRecv || s.SoundSys || s.SoundOnType || s.SoundSend);
    for (const QString& file : s.SoundFiles)
        EXPECT_TRUE(file.isEmpty());
    EXPECT_EQ(s.SoundCase, 0);
    EXPECT_EQ(s.formColorValue(), 0x000000u);
    EXPECT_EQ(s.userColorValue(), 0xFFFFFFu);
    EXPECT_EQ(s.recvColorValue(), 0x00FFFFu);
    EXPECT_EQ(s.linkColorValue(), 0xFF8000u);

    const IniFile ini(path());
    const WindowBounds main = AppSettings::loadMainForm(ini);
    EXPECT_EQ(main.Left, 0);
    EXPECT_EQ(main.Top, 0);
    EXPECT_EQ(main.Height, 400);
    EXPECT_EQ(main.Width, 300);
    const TransferWindowState st = AppSettings::loadTransferWindowState(ini);
    EXPECT_EQ(st.Bounds.Height, 385);
    EXPECT_EQ(st.Bounds.Width, 660);
    EXPECT_EQ(st.Splitter, 175);
    const std::array<int, 7> columns{200, 80, 80, 37, 40, 37, 148};
    EXPECT_EQ(st.LV1Col, columns);
    EXPECT_EQ(st.LV2Col, columns);
    const ListTimerSettings timer = AppSettings::loadListTimer(ini);
    EXPECT_FALSE(timer.Enabled);
    EXPECT_EQ(timer.IntervalMs, 60000);
    EXPECT_TRUE(AppSettings::loadRecentPeers(ini).isEmpty());
    EXPECT_FALSE(QFile::exists(path()));
}

TEST_F(AppSettingsTest, TransferUnitsAndDerivedValues)
{
    put("[Transfer]\nBufSize=0\nPrioritySize=5\nCheckMin=3\nCheckTimer=1\n");
    AppSettings s = loaded();
    EXPECT_EQ(s.ChunkSize, 65536);
    EXPECT_EQ(s.PrioritySize, 5242880);
    const ListTimerSettings timer = AppSettings::loadListTimer(IniFile(path()));
    EXPECT_TRUE(timer.active());
    EXPECT_EQ(timer.IntervalMs, 180000);

    IniFile ini(path());
    ASSERT_TRUE(s.saveOptions(ini, timer));
    EXPECT_EQ(ini.readInteger("Transfer", "BufSize", -1), 64);
    EXPECT_EQ(ini.readInteger("Transfer", "PrioritySize", -1), 5);
    EXPECT_EQ(ini.readInteger("Transfer", "CheckMin", -1), 3);
    EXPECT_TRUE(ini.readBool("Transfer", "CheckTimer", false));
}

TEST_F(AppSettingsTest, SizeRulesAtTheEdges)
{
    EXPECT_EQ(AppSettings::chunkSizeFor(128), 131072);
    EXPECT_EQ(AppSettings::chunkSizeFor(1), 1024);
    // A negative or oversized chunk cannot be used for a transfer.
    EXPECT_EQ(AppSettings::chunkSizeFor(-1), 65536);
    EXPECT_EQ(AppSettings::chunkSizeFor(4194304), 65536);
    EXPECT_EQ(AppSettings::chunkSizeFor(2097151), 2097151 * 1024);
    // Megabytes are multiplied in 32 bits and sign-extended.
    EXPECT_EQ(AppSettings::prioritySizeFor(2047), 2047LL * 1048576);
    EXPECT_EQ(AppSettings::prioritySizeFor(2048), -2147483648LL);
    EXPECT_EQ(AppSettings::prioritySizeFor(-1), -1048576);
    EXPECT_EQ(AppSettings::intervalMsFor(40000), 2147483647);

    put("[Transfer]\nCheckTimer=1\nCheckMin=0\n");
    const ListTimerSettings timer = AppSettings::loadListTimer(IniFile(path()));
    EXPECT_TRUE(timer.Enabled);
    EXPECT_FALSE(timer.active());
}

TEST_F(AppSettingsTest, TextValuesFallBackToDefaults)
{
    put("[option]\nalpha=yes\nFONTSIZE=0x0C\nAlphaValue=abc\nVerCheck=0\nUseUPnP=2\n"
        "FontName=IPAGothic\nRecvDir=/data/in\n[SOUND]\ncase=2\nsoundmsg=/s/a.wav\n");
    const AppSettings s = loaded();
    EXPECT_FALSE(s.Alpha);
    EXPECT_EQ(s.FontSize, 12);
    EXPECT_EQ(s.AlphaValue, 255);
    EXPECT_FALSE(s.VerCheck);
    EXPECT_TRUE(s.UseUPnP);
    EXPECT_EQ(s.FontName, "IPAGothic");
    EXPECT_EQ(s.RecvDir, "/data/in/");
    EXPECT_EQ(s.SoundCase, 2);
    EXPECT_EQ(s.soundFile(SoundSlot::Msg), "/s/a.wav");
}

TEST_F(AppSettingsTest, ColoursConvertAndMalformedOnesTakeTheDefault)
{
    put("[Option]\nUserColor=#112233\nFormColor=#12345\nRecvColor=#GG0000\n"
        "SysColor=silver\nLinkColor=\n");
    const AppSettings s = loaded();
    EXPECT_EQ(s.UserColor, "#112233");
    EXPECT_EQ(s.userColorValue(), 0x00332211u);
    EXPECT_EQ(Conversions::ColorToHtml(s.userColorValue()), "#112233");
    EXPECT_EQ(s.FormColor, "#000000");
    EXPECT_EQ(s.RecvColor, "#FFFF00");
    EXPECT_EQ(s.SysColor, "#C0C0C0");
    EXPECT_EQ(s.LinkColor, "#0080FF");
}

TEST_F(AppSettingsTest, EmptyReceiveFolderTakesTheExecutableFolder)
{
    put("[Option]\nRecvDir=\nUserName=\n");
    const AppSettings s = loaded();
    EXPECT_EQ(s.RecvDir, "/opt/corvid/");
    EXPECT_EQ(s.UserName, ""); // present but empty: the dialog asks for a name
}

TEST_F(AppSettingsTest, HandWrittenReceiveFolderIsCleanedOnceWhenRead)
{
    // Rows carry their folder in clean form; the setting must name it the
    // same way, and every thread sees the clean one.
    const std::pair<const char*, const char*> cases[] = {
        {"/data//in/", "/data/in/"}, {"/data/./in", "/data/in/"}, {"/data/x/../in//", "/data/in/"}, {"/", "/"}};
    for (const auto& [written, clean] : cases) {
        put(QByteArray("[Option]\nRecvDir=") + written + "\n");
        const AppSettings s = loaded();
        EXPECT_EQ(s.RecvDir, clean) << written;
        EXPECT_EQ(s.shared().RecvDir, clean) << written;
        EXPECT_TRUE(contents().contains(QByteArray("RecvDir=") + written));  // reading writes nothing
    }
}

TEST_F(AppSettingsTest, MessageAndSoundArraysFollowTheFileOrder)
{
    put("[Message]\nsdBegin=0\nsdSuccess=1\nsdFail=0\nrvBegin=1\nrvSuccess=0\nrvFail=1\n"
        "[Sound]\nMessage=1\nRecv=0\nSys=1\nOnType=0\nSend=1\n"
        "SoundMsg=/m.wav\nSoundType=/t.wav\nSoundSend=/s.wav\n");
    const AppSettings s = loaded();
    const std::array<bool, 6> flags{false, true, false, true, false, true};
    EXPECT_EQ(s.MessageFlags, flags);
    EXPECT_TRUE(s.messageFlag(MessageFlag::rvFail));
    EXPECT_FALSE(s.messageFlag(MessageFlag::sdBegin));
    EXPECT_TRUE(s.SoundMessage);
    EXPECT_FALSE(s.SoundRecv);
    EXPECT_TRUE(s.SoundSys);
    EXPECT_FALSE(s.SoundOnType);
    EXPECT_TRUE(s.SoundSend);
    EXPECT_EQ(s.soundFile(SoundSlot::Msg), "/m.wav");
    EXPECT_EQ(s.soundFile(SoundSlot::Type), "/t.wav");
    EXPECT_EQ(s.soundFile(SoundSlot::Send), "/s.wav");
}

TEST_F(AppSettingsTest, SaveOptionsWritesTheDialogKeysInOrder)
{
    AppSettings s(kExe);
    s.UserName = QStringLiteral("太郎");
    s.InputHeight = 120;
    IniFile ini(path());
    ASSERT_TRUE(s.saveOptions(ini, ListTimerSettings{}));

    QStringList keys;
    for (const QByteArray& line : contents().split('\n')) {
        if (line.isEmpty())
            continue;
        keys << QString::fromUtf8(line.startsWith('[') ? line : line.left(line.indexOf('=')));
    }
    const QStringList expected{
        "[Option]", "UserName", "RecvDir", "Alpha", "AlphaValue", "FormColor", "UserColor",
        "RecvColor", "SysColor", "LinkColor", "FontName", "FontSize", "UseUPnP", "VerCheck",
        "[Message]", "sdBegin", "sdSuccess", "sdFail", "rvBegin", "rvSuccess", "rvFail",
        "[Sound]", "Message", "OnType", "Send", "Recv", "Sys", "SoundMsg", "SoundType",
        "SoundSend", "Case",
        "[Transfer]", "BufSize", "PrioritySize", "CheckMin", "CheckTimer", "AutoAccept",
        "AutoRecv"};
    EXPECT_EQ(keys, expected);
}

TEST_F(AppSettingsTest, SavedOptionsLoadBackUnchanged)
{
    AppSettings s(kExe);
    s.UserName = QStringLiteral("山田");
    s.RecvDir = QStringLiteral("/home/u/受信/");
    s.Alpha = true;
    s.AlphaValue = 100;
    s.UseUPnP = false;
    s.LinkColor = QStringLiteral("#ABCDEF");
    s.ChunkSize = 131072;
    s.PrioritySize = 10LL * 1048576;
    s.AutoRecv = true;
    s.MessageFlags = {true, false, true, false, true, false};
    s.SoundOnType = true;
    s.SoundFiles = {QStringLiteral("/a.wav"), QStringLiteral("/b.wav"), QStringLiteral("/c.wav")};
    s.SoundCase = 1;
    IniFile ini(path());
    ASSERT_TRUE(s.saveOptions(ini, ListTimerSettings{true, 300000}));

    const AppSettings r = loaded();
    EXPECT_EQ(r.UserName, s.UserName);
    EXPECT_EQ(r.RecvDir, s.RecvDir);
    EXPECT_TRUE(r.Alpha);
    EXPECT_EQ(r.AlphaValue, 100);
    EXPECT_FALSE(r.UseUPnP);
    EXPECT_EQ(r.LinkColor, s.LinkColor);
    EXPECT_EQ(r.ChunkSize, 131072);
    EXPECT_EQ(r.PrioritySize, s.PrioritySize);
    EXPECT_TRUE(r.AutoRecv);
    EXPECT_EQ(r.MessageFlags, s.MessageFlags);
    EXPECT_TRUE(r.SoundOnType);
    EXPECT_EQ(r.SoundFiles, s.SoundFiles);
    EXPECT_EQ(r.SoundCase, 1);
    EXPECT_EQ(ini.readInteger("Transfer", "BufSize", -1), 128);
    const ListTimerSettings timer = AppSettings::loadListTimer(ini);
    EXPECT_TRUE(timer.Enabled);
    EXPECT_EQ(timer.IntervalMs, 300000);
}

TEST_F(AppSettingsTest, InputHeightIsReadButNeverWritten)
{
    put("[Option]\nInputHeight=120\n");
    AppSettings s = loaded();
    EXPECT_EQ(s.InputHeight, 120);
    s.InputHeight = 50;
    IniFile ini(path());
    ASSERT_TRUE(s.saveOptions(ini, ListTimerSettings{}));
    EXPECT_EQ(ini.readInteger("Option", "InputHeight", -1), 120);
}

TEST_F(AppSettingsTest, SaveOptionsStopsAtARefusedWrite)
{
    put("[Option]\nUserName=old\n");
    ASSERT_EQ(::chmod(QFile::encodeName(path()).constData(), 0444), 0);
    AppSettings s(kExe);
    s.UserName = QStringLiteral("new");
    IniFile ini(path());
    QString error;
    EXPECT_FALSE(s.saveOptions(ini, ListTimerSettings{}, &error));
    EXPECT_EQ(error, path() + QStringLiteral(" に書き込めません"));
    EXPECT_EQ(contents(), "[Option]\nUserName=old\n");
    ::chmod(QFile::encodeName(path()).constData(), 0644);
}

TEST_F(AppSettingsTest, RecentPeersReadNineDownToZero)
{
    put("[Recently]\n0=10.0.0.1:6256 a\n1=10.0.0.2:6256 b\n2=10.0.0.3:6256 c\n5=\n");
    const QStringList read = AppSettings::loadRecentPeers(IniFile(path()));
    EXPECT_EQ(read, QStringList({"10.0.0.3:6256 c", "10.0.0.2:6256 b", "10.0.0.1:6256 a"}));
    // The menu inserts each value at its top, so it ends in file order.
    QStringList menu;
    for (const QString& v : read)
        menu.prepend(v);
    EXPECT_EQ(menu.first(), "10.0.0.1:6256 a");
}

TEST_F(AppSettingsTest, SavingRecentPeersLeavesLaterKeys)
{
    put("[Recently]\n0=a\n1=b\n2=c\n3=d\n");
    IniFile ini(path());
    ASSERT_TRUE(AppSettings::saveRecentPeers(ini, {"x:1 X", "y:2 Y"}));
    EXPECT_EQ(ini.readString("Recently", "0", ""), "x:1 X");
    EXPECT_EQ(ini.readString("Recently", "1", ""), "y:2 Y");
    EXPECT_EQ(ini.readString("Recently", "2", ""), "c");
    EXPECT_EQ(ini.readString("Recently", "3", ""), "d");
}

TEST_F(AppSettingsTest, WindowLayoutsRoundTrip)
{
    IniFile ini(path());
    ASSERT_TRUE(AppSettings::saveMainForm(ini, WindowBounds{10, 20, 500, 350}));
    TransferWindowState st;
    st.Bounds = {5, 6, 420, 700};
    st.Splitter = 150;
    st.LV1Col = {1, 2, 3, 4, 5, 6, 7};
    st.LV2Col = {11, 12, 13, 14, 15, 16, 17};
    ASSERT_TRUE(AppSettings::saveTransferWindowState(ini, st));

    const WindowBounds m = AppSettings::loadMainForm(ini);
    EXPECT_EQ(m.Left, 10);
    EXPECT_EQ(m.Top, 20);
    EXPECT_EQ(m.Height, 500);
    EXPECT_EQ(m.Width, 350);
    const TransferWindowState r = AppSettings::loadTransferWindowState(ini);
    EXPECT_EQ(r.Bounds.Left, 5);
    EXPECT_EQ(r.Bounds.Width, 700);
    EXPECT_EQ(r.Splitter, 150);
    EXPECT_EQ(r.LV1Col, st.LV1Col);
    EXPECT_EQ(r.LV2Col, st.LV2Col);
    EXPECT_EQ(ini.readInteger("State", "LV2Col6", -1), 17);
}

TEST_F(AppSettingsTest, MissingStateKeysKeepTheWindowsCurrentLayout)
{
    put("[State]\nLV1Col0=250\n");
    TransferWindowState current;
    current.LV1Col[1] = 99;
    current.Splitter = 120;
    const TransferWindowState r = AppSettings::loadTransferWindowState(IniFile(path()), current);
    EXPECT_EQ(r.LV1Col[0], 250);
    EXPECT_EQ(r.LV1Col[1], 99);
    EXPECT_EQ(r.Splitter, 120);
}

TEST_F(AppSettingsTest, OtherThreadsSeeOnlyPublishedValues)
{
    put("[Option]\nUserName=taro\n[Transfer]\nBufSize=8\n");
    AppSettings s = loaded();
    EXPECT_EQ(s.shared().UserName, "taro");
    EXPECT_EQ(s.shared().ChunkSize, 8192);
    EXPECT_EQ(s.shared().RecvDir, "/opt/corvid/");

    s.UserName = QStringLiteral("hanako");
    EXPECT_EQ(s.shared().UserName, "taro"); // not yet published

    std::atomic<bool> stop{false};
    std::atomic<bool> torn{false};
    std::thread reader([&] {
        while (!stop) {
            const SharedSettings v = s.shared();
            // Each publish below sets a name and its matching chunk size.
            if ((v.UserName == "a" && v.ChunkSize != 1024) || (v.UserName == "b" && v.ChunkSize != 2048))
                torn = true;
        }
    });
    for (int i = 0; i < 2000; ++i) {
        s.UserName = QString::fromLatin1(i % 2 ? "a" : "b");
        s.ChunkSize = i % 2 ? 1024 : 2048;
        s.publish();
    }
    stop = true;
    reader.join();
    EXPECT_FALSE(torn);
    EXPECT_EQ(s.shared().UserName, "a");
    EXPECT_EQ(s.shared().ChunkSize, 1024);
}

TEST(AppSettingsInstance, DefaultsToTheExecutableFolder)
{
    AppSettings a(AppSettings::executableDir());
    EXPECT_EQ(a.RecvDir, AppSettings::executableDir());
    EXPECT_TRUE(AppSettings::executableDir().endsWith(QLatin1Char('/')));
    EXPECT_EQ(AppSettings::defaultFilePath(), AppSettings::executableDir() + "corvid.ini");
}

} // namespace

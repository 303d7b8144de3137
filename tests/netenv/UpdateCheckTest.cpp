#include "BuildConfig.h"
#include "core/netenv/UpdateCheck.h"
#include "core/netenv/VersionCheckRunner.h"
#include "core/session/UiHandOver.h"
#include "netenv/FakeNet.h"
#include "session/FakeLog.h"
#include "settings/PrintQt.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <gtest/gtest.h>

using namespace corvid;
using namespace corvid::test;

namespace {

const QString kMaker = QStringLiteral("http://maker.example/");
const QString kEnd = QStringLiteral("バージョンチェック終了");
const QString kFailed = QStringLiteral("バージョンチェック失敗");

QString link(const QString& to)
{
    return "<a href=\"" + to + "\">最新バージョンが利用できます</a>";
}

bool waitFor(const std::function<bool()>& done, int ms = 8000)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QTest::qWait(10);
    return done();
}

// One check against a server on loopback; the log lines it leaves once
// the check's thread has ended.
QStringList runCheck(const UpdateHost& host, const ReplyLimits& limits = {}, const QString& maker = kMaker)
{
    UiHandOver ho;
    FakeLog log;
    VersionCheckRunner runner({host, maker, limits}, log, ho);
    runner.StartVersionCheck();
    EXPECT_TRUE(waitFor([&] { return runner.running() == 0; }, 20000));
    QCoreApplication::processEvents();
    return log.lines();
}

UpdateHost fake(quint16 port)
{
    return UpdateHost{QStringLiteral("update.example"), QStringLiteral("127.0.0.1"), port};
}

TEST(UpdateCheck, RequestBytesAreExact)
{
    FakeHttp server([](int fd, const QByteArray&, const FakeHttp&) { sendAll(fd, FakeHttp::reply("200 OK", "Version=1\r\n")); });
    runCheck(fake(server.port()));
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests()[0],
              "GET http://update.example/halvard123/soft/Corvid.txt HTTP/1.0\r\n"
              "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
              "Referer: http://update.example/halvard123/\r\n"
              "Accept-Language: ja\r\n"
              "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1)\r\n"
              "Host: update.example\r\n"
              "\r\n");
}

// What the user sees for each answer of the update host.
TEST(UpdateCheck, AnswersAndTheLinesTheyGive)
{
    const QByteArray own = CORVID_VERSION_STRING;
    const struct {
        const char* what;
        QByteArray response;
        QStringList lines;
    } cases[] = {
        {"newer version with URL", FakeHttp::reply("200 OK", "Version=9.9.9\r\nURL=http://dl.example/c\r\n"),
         {link("http://dl.example/c"), kEnd}},
        {"same version", FakeHttp::reply("200 OK", "Version=" + own + "\r\nURL=http://dl.example/c\r\n"), {kEnd}},
        {"lower-case name, no URL, no final break", FakeHttp::reply("200 OK", "x=1\nversion=0.0.1"), {link(kMaker), kEnd}},
        {"empty URL", FakeHttp::reply("200 OK", "URL=\rVersion=2\r"), {link(kMaker), kEnd}},
        {"first value counts, blanks are part of name and value",
         FakeHttp::reply("200 OK", "Version =9\r\nVersion=" + own + "\r\nVersion=9\r\n"), {kEnd}},
        {"404 page with a length", FakeHttp::reply("404 Not Found", "<html>Not Found</html>"), {kEnd}},
        {"grouped length", "HTTP/1.0 200 OK\r\nContent-Length: 1,030\r\n\r\nVersion=9\r\n" + QByteArray(1019, 'x'),
         {link(kMaker), kEnd}},
        {"link that would break out of its attribute",
         FakeHttp::reply("200 OK", "Version=9\r\nURL=http://x/\"><b>forged</b>\r\n"),
         {"<a href=\"http://x/&quot;&gt;&lt;b&gt;forged&lt;/b&gt;\">最新バージョンが利用できます</a>", kEnd}},
        {"not a web address", FakeHttp::reply("200 OK", "Version=9\r\nURL=javascript:alert(1)\r\n"),
         {link(kMaker), kEnd}},
        {"no length", "HTTP/1.0 200 OK\r\n\r\nVersion=9\r\n", {kFailed}},
        {"zero length", "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", {kFailed}},
        {"length not a number", "HTTP/1.0 200 OK\r\nContent-Length: 12a\r\n\r\nVersion=9\r\n", {kFailed}},
        {"closed before the whole body", "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nVersion=9\r\n", {kFailed}},
        {"closed without a head", "", {kFailed}},
        {"length above the body limit", "HTTP/1.0 200 OK\r\nContent-Length: 2,000,000\r\n\r\nVersion=9\r\n",
         {kFailed}},
    };
    for (const auto& c : cases) {
        FakeHttp server([&](int fd, const QByteArray&, const FakeHttp&) { sendAll(fd, c.response); });
        EXPECT_EQ(runCheck(fake(server.port())), c.lines) << c.what;
    }
}

// A build without the maker's address: only a web URL in the file gives a
// link line; without one the check just ends.
TEST(UpdateCheck, WithoutAMakerAddressOnlyAWebUrlGivesALink)
{
    const struct {
        const char* what;
        QByteArray body;
        QStringList lines;
    } cases[] = {
        {"no URL", "Version=9\r\n", {kEnd}},
        {"empty URL", "Version=9\r\nURL=\r\n", {kEnd}},
        {"not a web address", "Version=9\r\nURL=javascript:alert(1)\r\n", {kEnd}},
        {"web address", "Version=9\r\nURL=https://dl.example/c\r\n", {link("https://dl.example/c"), kEnd}},
    };
    for (const auto& c : cases) {
        FakeHttp server([&](int fd, const QByteArray&, const FakeHttp&) { sendAll(fd, FakeHttp::reply("200 OK", c.body)); });
        EXPECT_EQ(runCheck(fake(server.port()), {}, QString()), c.lines) << c.what;
    }
}

TEST(UpdateCheck, UnreachableOrUnconfiguredHostShowsNothing)
{
    int port = 0;
    {
        FakeHttp gone([](int, const QByteArray&, const FakeHttp&) {});
        port = gone.port();
    }
    EXPECT_EQ(runCheck(fake(quint16(port))), QStringList());
    EXPECT_EQ(runCheck(UpdateHost{}), QStringList());
    EXPECT_EQ(runCheck(UpdateHost{QStringLiteral("update.example"), QString(), 80}), QStringList());
}

// Hostile servers: each check ends within its limits with the failure line.
TEST(UpdateCheck, HostileServersEndInFailureWithinLimits)
{
    enum Mode { EndlessLine, EndlessHead, EndlessBodyDrip, SilentAfterHead };
    for (Mode mode : {EndlessLine, EndlessHead, EndlessBodyDrip, SilentAfterHead}) {
        FakeHttp server([&](int fd, const QByteArray&, const FakeHttp& s) {
            switch (mode) {
            case EndlessLine:
                while (!s.stopping() && sendAll(fd, QByteArray(4096, 'v'))) {}
                break;
            case EndlessHead:
                while (!s.stopping() && sendAll(fd, "Server: x\r\n")) {}
                break;
            case EndlessBodyDrip:
                sendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n");
                while (!s.stopping() && sendAll(fd, "V")) { idle(s, 100); }
                break;
            case SilentAfterHead:
                sendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n");
                idle(s, 60000);
                break;
            }
        });
        QElapsedTimer t;
        t.start();
        EXPECT_EQ(runCheck(fake(server.port()), ReplyLimits{16384, 4096, 1024 * 1024, 2000, 500}),
                  QStringList{kFailed})
            << mode;
        EXPECT_LT(t.elapsed(), 6000) << mode;  // the 2 s limit fired, with twice its length as slack
    }
}

TEST(UpdateCheck, ShutdownWhileAChecksWaitsEndsItWithoutALine)
{
    // Limits and a silence far past the suite's own time limit: only the
    // shutdown can end these waits, so the runner's end shows it did.
    // (How soon is measured by bench_netenv.)
    constexpr int kLongMs = 600000;
    FakeHttp server([](int fd, const QByteArray&, const FakeHttp& s) {
        sendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n");
        idle(s, kLongMs);
    });
    UiHandOver ho;
    FakeLog log;
    {
        VersionCheckRunner runner({fake(server.port()), kMaker, {16384, 4096, 1024 * 1024, kLongMs, kLongMs}}, log, ho);
        runner.StartVersionCheck();
        runner.StartVersionCheck();
        ASSERT_TRUE(waitFor([&] { return server.requestCount() == 2; }));  // each is answered right after
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(log.lines(), QStringList());
}

} // namespace

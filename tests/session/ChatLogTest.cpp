#include "core/session/ChatLog.h"

#include <QLocale>
#include <QRegularExpression>
#include <QTimeZone>
#include <QSignalSpy>
#include <QStringList>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace corvid;

namespace {

const QString kHead = QStringLiteral(
    "<html><head><meta http-equiv=Content-Type content=\"text/html; charset=shift_jis\"></head><body>");

// The style sheet written for the default settings, character for character.
const QString kDefaultStyleSheet = QStringLiteral(
    "<style type=text/css>\r\n"
    "body{ margin-top: 10px; margin-left: 10px;\r\n"
    "      background: #000000; color: #C0C0C0;\r\n"
    "      font-family: \"MS UI GOTHIC\",arial,\r\n"
    "      helvetica ;font-size:11pt;\r\n"
    "      line-height : 1.2;\r\n"
    "      scrollbar-arrow-color:#FFFFFF;\r\n"
    "      scrollbar-base-color:#FFFFFF;\r\n"
    "      scrollbar-face-color:#000000;\r\n"
    "      scrollbar-highlight-color:#000000;\r\n"
    "      scrollbar-shadow-color:#FFFFFF;}\r\n"
    "a:link   { color: #0080FF;}\r\n"
    "a:visited{ color: #0080FF;}\r\n"
    "a:active { color: #0080FF;}\r\n"
    "#User{ color: #FFFFFF;}\r\n"
    "#Recv{ color: #FFFF00;}\r\n"
    "</style>\r\n");

class FakeRenderer : public IChatLogRenderer {
public:
    void setPageStyle(const ChatLogStyle& s) override
    {
        styles.push_back(s);
        events << QStringLiteral("style");
    }
    void writeHtml(const QString& text) override
    {
        stream += text;
        writes << text;
        events << QStringLiteral("write");
    }
    void scrollToLine(int anchor) override
    {
        scrolls.push_back(anchor);
        events << QStringLiteral("scroll %1").arg(anchor);
    }

    QString stream;
    QStringList writes;
    QStringList events;
    std::vector<ChatLogStyle> styles;
    std::vector<int> scrolls;
};

class ChatLogTest : public ::testing::Test {
protected:
    ChatLogTest()
    {
        log.timer3()->stop(); // the tests drive the writer themselves
        log.setRenderer(&view);
        log.setUserName(QStringLiteral("Ben"));
        log.setPeerName(QStringLiteral("Aki"));
    }

    ChatLog log;
    FakeRenderer view;
};

} // namespace

TEST_F(ChatLogTest, StyleSheetTextIsExact)
{
    const ChatLogStyle d;
    EXPECT_EQ(ChatLog::styleSheetText(d.formColor, d.userColor, d.fontSize, d.fontName, d.linkColor, d.sysColor,
                                      d.recvColor),
              kDefaultStyleSheet);
    // Each value lands in its own places.
    const QString custom = ChatLog::styleSheetText(QStringLiteral("#111111"), QStringLiteral("#222222"), 9,
                                                   QStringLiteral("IPAGothic"), QStringLiteral("#333333"),
                                                   QStringLiteral("#444444"), QStringLiteral("#555555"));
    const QStringList lines = custom.split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 18);
    EXPECT_EQ(lines[2], QStringLiteral("      background: #111111; color: #444444;"));
    EXPECT_EQ(lines[3], QStringLiteral("      font-family: \"IPAGothic\",arial,"));
    EXPECT_EQ(lines[4], QStringLiteral("      helvetica ;font-size:9pt;"));
    EXPECT_EQ(lines[8], QStringLiteral("      scrollbar-face-color:#111111;"));
    EXPECT_EQ(lines[10], QStringLiteral("      scrollbar-shadow-color:#222222;}"));
    EXPECT_EQ(lines[13], QStringLiteral("a:active { color: #333333;}"));
    EXPECT_EQ(lines[14], QStringLiteral("#User{ color: #222222;}"));
    EXPECT_EQ(lines[15], QStringLiteral("#Recv{ color: #555555;}"));
    EXPECT_EQ(lines[17], QString());
}

TEST_F(ChatLogTest, PendingLinesFollowTheStyleSheetWithoutScrolling)
{
    log.AddLogLine(QStringLiteral("UPnP検出失敗"), LineSys);
    log.AddLogLine(QStringLiteral("line\r\ntwo"), LineRecv);
    log.Timer3Timer();
    EXPECT_TRUE(view.stream.isEmpty()) << "nothing is written before the page is ready";

    log.WBDocumentComplete();
    log.AddLogLine(QStringLiteral("hi"), LineOwn);
    log.Timer3Timer();

    EXPECT_EQ(view.stream, kHead + kDefaultStyleSheet
                               + QStringLiteral("<a Name=\"0\"><span >UPnP検出失敗</span></a><br>\r\n"
                                                "<a Name=\"1\"><span id=\"Recv\">Aki\uFF1A line\r\ntwo</span></a><br>\r\n"
                                                "<a Name=\"2\"><span id=\"User\">Ben\uFF1A hi</span></a><br>"));
    EXPECT_EQ(view.writes.size(), 4);
    // Only the line appended after the page became ready scrolls.
    EXPECT_EQ(view.scrolls, std::vector<int>{ 2 });
    // The style reaches the view before anything is written.
    ASSERT_FALSE(view.events.isEmpty());
    EXPECT_EQ(view.events.first(), QStringLiteral("style"));
}

TEST_F(ChatLogTest, FragmentsByKindAndAnchorsContinue)
{
    log.WBDocumentComplete();
    log.Timer3Timer();
    view.stream.clear();

    log.AddLogLine(QStringLiteral("接続成功"), LineSys);
    log.AddLogLine(QStringLiteral("yo"), LineRecv);
    log.AddLogLine(QStringLiteral("切断"), LineSys);
    // A new session with another peer: the numbering goes on.
    log.setPeerName(QStringLiteral("Cho"));
    log.AddLogLine(QStringLiteral("接続成功"), LineSys);
    log.AddLogLine(QStringLiteral("hey"), LineRecv);
    log.Timer3Timer();

    EXPECT_EQ(view.stream, QStringLiteral("<a Name=\"0\"><span >接続成功</span></a><br>"
                                          "<a Name=\"1\"><span id=\"Recv\">Aki\uFF1A yo</span></a><br>"
                                          "<a Name=\"2\"><span >切断</span></a><br>"
                                          "<a Name=\"3\"><span >接続成功</span></a><br>"
                                          "<a Name=\"4\"><span id=\"Recv\">Cho\uFF1A hey</span></a><br>"));
    EXPECT_EQ(log.lineCount(), 5);
    // A burst is scrolled once, to its newest line.
    EXPECT_EQ(view.scrolls, std::vector<int>{ 4 });
}

TEST_F(ChatLogTest, PeerTextAndNamesCannotInjectMarkup)
{
    log.setPeerName(QStringLiteral("<b>Aki</b>"));
    log.WBDocumentComplete();
    log.Timer3Timer();
    view.stream.clear();

    log.AddLogLine(QStringLiteral("<img src=\"file:///etc/x.png\"> <a href=\"http://a.example\">http://a.example</a>"),
                   LineRecv);
    log.Timer3Timer();
    EXPECT_EQ(view.stream,
              QStringLiteral("<a Name=\"0\"><span id=\"Recv\">&lt;b&gt;Aki&lt;/b&gt;\uFF1A &lt;img src=\"file:///etc/x.png\"&gt; "
                             "<a href=\"http://a.example\">http://a.example</a></span></a><br>"));
}

TEST_F(ChatLogTest, PageCompletesOnceAndGivesInputColours)
{
    ChatLogStyle style;
    style.formColor = QStringLiteral("#102030");
    style.userColor = QStringLiteral("#405060");
    log.setStyle(style);
    QSignalSpy colours(&log, &ChatLog::inputColorsChanged);

    log.WBDocumentComplete();
    log.WBDocumentComplete();
    log.Timer3Timer();

    ASSERT_EQ(colours.size(), 1);
    EXPECT_EQ(colours[0][0].toString(), QStringLiteral("#102030"));
    EXPECT_EQ(colours[0][1].toString(), QStringLiteral("#405060"));
    ASSERT_EQ(view.styles.size(), 1u);
    EXPECT_EQ(view.styles[0], style);
    EXPECT_EQ(view.stream.count(QStringLiteral("<style")), 1);
    EXPECT_TRUE(view.stream.contains(QStringLiteral("background: #102030;")));
    // A later change waits for the next start.
    style.formColor = QStringLiteral("#FFFFFF");
    log.setStyle(style);
    log.Timer3Timer();
    EXPECT_EQ(view.styles.size(), 1u);
}

TEST_F(ChatLogTest, WritesWaitForARendererAndKeepTheirOrder)
{
    log.setRenderer(nullptr);
    log.WBDocumentComplete();
    log.AddLogLine(QStringLiteral("a"), LineSys);
    log.Timer3Timer();
    EXPECT_EQ(log.queuedCount(), 3);

    log.setRenderer(&view);
    ASSERT_EQ(view.styles.size(), 1u) << "a late view still gets the page style";
    log.Timer3Timer();
    EXPECT_EQ(log.queuedCount(), 0);
    EXPECT_EQ(view.stream, kHead + kDefaultStyleSheet + QStringLiteral("<a Name=\"0\"><span >a</span></a><br>"));
}

TEST_F(ChatLogTest, EffectsOfEveryLineRunInTheWriter)
{
    QSignalSpy kinds(&log, &ChatLog::lineAdded);
    QSignalSpy status(&log, &ChatLog::statusTimeChanged);
    log.AddLogLine(QStringLiteral("before ready"), LineSys);
    log.AddLogLine(QStringLiteral("mine"), LineOwn);
    EXPECT_EQ(kinds.size(), 0) << "nothing happens on the calling thread";

    log.Timer3Timer();
    ASSERT_EQ(kinds.size(), 2);
    EXPECT_EQ(kinds[0][0].toInt(), LineSys);
    EXPECT_EQ(kinds[1][0].toInt(), LineOwn);
    ASSERT_EQ(status.size(), 1);
    EXPECT_FALSE(status[0][0].toString().isEmpty());

    log.Timer3Timer();
    EXPECT_EQ(kinds.size(), 2) << "each line notifies once";
    EXPECT_EQ(status.size(), 1);

    log.WBDocumentComplete();
    log.AddLogLine(QStringLiteral("theirs"), LineRecv);
    log.Timer3Timer();
    ASSERT_EQ(kinds.size(), 3);
    EXPECT_EQ(kinds[2][0].toInt(), LineRecv);
}

TEST_F(ChatLogTest, Timer3WritesOnItsOwn)
{
    EXPECT_EQ(ChatLog::kTimer3Interval, 500);
    ChatLog running; // timer left on
    FakeRenderer target;
    running.setRenderer(&target);
    EXPECT_TRUE(running.timer3()->isActive());
    EXPECT_EQ(running.timer3()->interval(), 500);
    running.WBDocumentComplete();
    QSignalSpy kinds(&running, &ChatLog::lineAdded);
    running.AddLogLine(QStringLiteral("tick"), LineSys);
    ASSERT_TRUE(kinds.wait(3000));
    EXPECT_TRUE(target.stream.endsWith(QStringLiteral("<a Name=\"0\"><span >tick</span></a><br>")));
}

TEST(ChatLogStatic, LineFragmentsSplitWritesIntoLines)
{
    EXPECT_TRUE(ChatLog::lineFragments(kHead).isEmpty());
    EXPECT_TRUE(ChatLog::lineFragments(kDefaultStyleSheet).isEmpty());

    const QString a = ChatLog::lineFragment(7, LineRecv, QStringLiteral("Aki\uFF1A two\r\nlines\r\n"));
    const QString b = ChatLog::lineFragment(8, LineSys, QStringLiteral("x"));
    EXPECT_EQ(ChatLog::lineFragments(a + QStringLiteral("\r\n") + b + QStringLiteral("\r\n")), (QStringList{ a, b }));
    EXPECT_EQ(ChatLog::lineFragments(b), QStringList{ b });
    EXPECT_EQ(ChatLog::fragmentAnchor(a), 7);
    EXPECT_EQ(ChatLog::fragmentAnchor(b), 8);
    EXPECT_EQ(ChatLog::fragmentAnchor(QStringLiteral("<b>x</b>")), -1);
    // What a view shows of a line: no anchor, no closing line break.
    EXPECT_EQ(ChatLog::fragmentBody(a), QStringLiteral("<span id=\"Recv\">Aki\uFF1A two\r\nlines\r\n</span>"));
    EXPECT_EQ(ChatLog::fragmentBody(b), QStringLiteral("<span >x</span>"));
    EXPECT_EQ(ChatLog::fragmentBody(QStringLiteral("<hr>")), QStringLiteral("<hr>"));
    // Other queued HTML stays a piece of its own.
    EXPECT_EQ(ChatLog::lineFragments(QStringLiteral("<hr>") + b), (QStringList{ QStringLiteral("<hr>"), b }));
}

TEST(ChatLogStatic, StatusTimeHasDateAndTimeWithoutZone)
{
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
    const QDateTime when(QDate(2024, 3, 5), QTime(7, 8, 9), QTimeZone(QByteArrayLiteral("Asia/Tokyo")));
    const QString text = ChatLog::statusTimeText(when);
    QLocale::setDefault(saved);
    EXPECT_TRUE(text.startsWith(QStringLiteral("2024/03/05 "))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("7"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("09"))) << text.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("JST"))) << text.toStdString();
}

TEST(ChatLogThreads, LinesFromManyThreadsAreNumberedOnceAndKeepTheirOrder)
{
    constexpr int kThreads = 6;
    constexpr int kLines = 400;
    ChatLog log;
    log.timer3()->stop();
    FakeRenderer view;
    log.setRenderer(&view);
    log.setUserName(QStringLiteral("me"));

    std::atomic<int> started{ 0 };
    std::atomic<bool> done{ false };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ++started;
            while (started.load() < kThreads) {
            }
            for (int i = 0; i < kLines; ++i) {
                log.AddLogLine(QStringLiteral("t%1-%2").arg(t).arg(i), t % 3);
                if (i % 50 == 0)
                    log.setPeerName(QStringLiteral("peer%1").arg(i));
            }
        });
    }
    // The page becomes ready and the writer runs while the threads add lines.
    bool completed = false;
    while (!done.load()) {
        if (!completed && log.lineCount() > kLines) {
            log.WBDocumentComplete();
            completed = true;
        }
        log.Timer3Timer();
        if (log.lineCount() == kThreads * kLines)
            done = true;
    }
    for (auto& th : threads)
        th.join();
    if (!completed)
        log.WBDocumentComplete();
    log.Timer3Timer();

    QStringList fragments;
    for (const QString& write : view.writes)
        fragments += ChatLog::lineFragments(write);
    ASSERT_EQ(fragments.size(), kThreads * kLines);
    std::vector<int> nextOfThread(kThreads, 0);
    const QRegularExpression lineText(QStringLiteral("t(\\d+)-(\\d+)</span></a><br>$"));
    for (int n = 0; n < fragments.size(); ++n) {
        ASSERT_EQ(ChatLog::fragmentAnchor(fragments[n]), n);
        // Each thread's lines appear in the order it added them.
        const QRegularExpressionMatch m = lineText.match(fragments[n]);
        ASSERT_TRUE(m.hasMatch()) << fragments[n].toStdString();
        const int t = m.captured(1).toInt();
        const int i = m.captured(2).toInt();
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(i, nextOfThread[t]) << fragments[n].toStdString();
        nextOfThread[t] = i + 1;
    }
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(nextOfThread[t], kLines);
}

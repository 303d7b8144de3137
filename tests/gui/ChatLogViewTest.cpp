#include "core/session/ChatLog.h"
#include "core/session/HtmlText.h"
#include "gui/session/ChatLogView.h"

#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QMenu>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>

#include <gtest/gtest.h>

using namespace corvid;

namespace {

// The log and its view as the main window sets them up; the tests run the
// writer themselves instead of waiting for its ticks.
class ChatLogViewTest : public ::testing::Test {
protected:
    ChatLogViewTest()
    {
        log.timer3()->stop();
        log.setUserName(QStringLiteral("Ben"));
        log.setPeerName(QStringLiteral("Aki"));
        ChatLogStyle style;
        style.formColor = QStringLiteral("#102030");
        style.sysColor = QStringLiteral("#A0A0A0");
        style.userColor = QStringLiteral("#F0F0F0");
        style.recvColor = QStringLiteral("#FFFF00");
        style.linkColor = QStringLiteral("#0080FF");
        style.fontName = QStringLiteral("IPAGothic");
        style.fontSize = 13;
        log.setStyle(style);
        view.resize(400, 200);
        view.setOpenExternal([this](const QUrl& url) { opened << url; });
        view.setLog(&log);
    }

    // Lets the blank page complete, then writes what is queued.
    void completeAndFlush()
    {
        EXPECT_TRUE(QTest::qWaitFor([this] { return log.isReady(); }, 2000));
        log.Timer3Timer();
    }

    QStringList shownLines() const { return view.toPlainText().split(u'\n'); }

    // Text format at the first character of `text` in the page.
    QTextCharFormat formatAt(const QString& text) const
    {
        const QTextCursor found = view.document()->find(text);
        EXPECT_FALSE(found.isNull()) << text.toStdString();
        QTextCursor c(view.document());
        c.setPosition(found.selectionStart() + 1);
        return c.charFormat();
    }

    QStringList hrefs() const
    {
        QStringList out;
        for (QTextBlock b = view.document()->begin(); b.isValid(); b = b.next())
            for (auto it = b.begin(); !it.atEnd(); ++it)
                if (it.fragment().charFormat().isAnchor() && !it.fragment().charFormat().anchorHref().isEmpty())
                    out << it.fragment().charFormat().anchorHref();
        return out;
    }

    ChatLog log;
    ChatLogView view;
    QList<QUrl> opened;
};

} // namespace

TEST_F(ChatLogViewTest, OneBlockPerLineWithPendingLinesFirst)
{
    log.AddLogLine(QStringLiteral("UPnP検出失敗"), LineSys);
    completeAndFlush();
    log.AddLogLine(QStringLiteral("hi"), LineOwn);
    log.AddLogLine(QStringLiteral("two\r\nlines\r\n"), LineRecv);
    log.Timer3Timer();

    EXPECT_EQ(view.document()->blockCount(), 3);
    EXPECT_EQ(view.lineCount(), 3);
    const QStringList lines = shownLines();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0], QStringLiteral("UPnP検出失敗"));
    EXPECT_EQ(lines[1], QStringLiteral("Ben\uFF1A hi"));
    EXPECT_EQ(lines[2].trimmed(), QStringLiteral("Aki\uFF1A two lines"));
}

TEST_F(ChatLogViewTest, ColoursAndFontComeFromTheStyle)
{
    completeAndFlush();
    log.AddLogLine(QStringLiteral("system"), LineSys);
    log.AddLogLine(QStringLiteral("mine"), LineOwn);
    log.AddLogLine(HtmlText::TextToHtml(QStringLiteral("theirs http://127.0.0.1/a")), LineRecv);
    log.Timer3Timer();

    EXPECT_EQ(view.palette().color(QPalette::Base), QColor(QStringLiteral("#102030")));
    EXPECT_EQ(view.palette().color(QPalette::Text), QColor(QStringLiteral("#A0A0A0")));
    EXPECT_EQ(view.document()->defaultFont().families().value(0), QStringLiteral("IPAGothic"));
    EXPECT_EQ(view.document()->defaultFont().pointSize(), 13);

    // System lines take the body colour: no colour of their own.
    EXPECT_FALSE(formatAt(QStringLiteral("system")).hasProperty(QTextFormat::ForegroundBrush))
        << formatAt(QStringLiteral("system")).foreground().color().name().toStdString();
    EXPECT_EQ(formatAt(QStringLiteral("mine")).foreground().color(), QColor(QStringLiteral("#F0F0F0")));
    EXPECT_EQ(formatAt(QStringLiteral("theirs")).foreground().color(), QColor(QStringLiteral("#FFFF00")));
    EXPECT_EQ(formatAt(QStringLiteral("127.0.0.1/a")).foreground().color(), QColor(QStringLiteral("#0080FF")));
}

TEST_F(ChatLogViewTest, ScrollsToTheNewestLine)
{
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    completeAndFlush();
    QScrollBar* bar = view.verticalScrollBar();
    for (int i = 0; i < 200; ++i)
        log.AddLogLine(QStringLiteral("line %1").arg(i), LineSys);
    log.Timer3Timer();
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(bar->value(), bar->maximum());

    bar->setValue(0); // the user reads old lines; a new one brings the view back
    log.AddLogLine(QStringLiteral("newest"), LineSys);
    log.Timer3Timer();
    EXPECT_EQ(bar->value(), bar->maximum());
}

TEST_F(ChatLogViewTest, LinksOpenOutsideAndThePageStays)
{
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    completeAndFlush();
    log.AddLogLine(HtmlText::TextToHtml(QStringLiteral("see http://127.0.0.1/page, ok")), LineRecv);
    log.Timer3Timer();
    ASSERT_EQ(hrefs(), QStringList{ QStringLiteral("http://127.0.0.1/page") });

    const QString before = view.toHtml();
    const QTextCursor found = view.document()->find(QStringLiteral("127.0.0.1/page"));
    ASSERT_FALSE(found.isNull());
    QTextCursor at(view.document());
    at.setPosition(found.selectionStart() + 2);
    QSignalSpy clicked(&view, &QTextBrowser::anchorClicked);
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, view.cursorRect(at).center());
    ASSERT_TRUE(clicked.size() == 1 || clicked.wait(2000));
    ASSERT_EQ(opened.size(), 1);
    EXPECT_EQ(opened[0], QUrl(QStringLiteral("http://127.0.0.1/page")));
    EXPECT_TRUE(view.source().isEmpty());
    EXPECT_EQ(view.toHtml(), before);

    // Neither a refresh nor a navigation replaces the log.
    QTest::keyClick(&view, Qt::Key_F5);
    view.reload();
    view.setSource(QUrl::fromLocalFile(QStringLiteral("/etc/hostname")));
    EXPECT_EQ(view.toHtml(), before);
}

TEST_F(ChatLogViewTest, HostileMessageShowsItsTagsAndLoadsNothing)
{
    QSignalSpy refused(&view, &ChatLogView::resourceRefused);
    completeAndFlush();
    const QString hostile = QStringLiteral(
        "<img src=\"http://127.0.0.1:9/x.png\"><img src=\"file:///usr/share/pixmaps/debian-logo.png\">"
        "<script>alert(1)</script><a href=\"javascript:alert(2)\">js</a><a href=\"file:///etc/passwd\">f</a>"
        "<a href=\"http://127.0.0.1/ok\">http://127.0.0.1/ok</a>");
    log.AddLogLine(hostile, LineRecv);
    log.Timer3Timer();

    const QString shown = view.toPlainText();
    EXPECT_TRUE(shown.contains(QStringLiteral("<img src=\"http://127.0.0.1:9/x.png\">"))) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QStringLiteral("<script>alert(1)</script>")));
    EXPECT_TRUE(shown.contains(QStringLiteral("<a href=\"javascript:alert(2)\">js</a>")));
    EXPECT_TRUE(shown.contains(QStringLiteral("<a href=\"file:///etc/passwd\">f</a>")));
    // Only the web link is a link; nothing was asked for.
    EXPECT_EQ(hrefs(), QStringList{ QStringLiteral("http://127.0.0.1/ok") });
    EXPECT_EQ(refused.size(), 0);
    EXPECT_FALSE(view.toHtml().contains(QStringLiteral("<img")));
}

TEST_F(ChatLogViewTest, MarkupThatGetsPastReachesNoDiskAndNoLink)
{
    // Should an image ever reach the page, its file is still not read.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString png = dir.filePath(QStringLiteral("x.png"));
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(Qt::red);
    ASSERT_TRUE(image.save(png));
    const QUrl url = QUrl::fromLocalFile(png);

    QSignalSpy refused(&view, &ChatLogView::resourceRefused);
    view.writeHtml(QStringLiteral("<img src=\"%1\">").arg(url.toString()));
    view.document()->adjustSize();
    const QVariant data = view.document()->resource(QTextDocument::ImageResource, url);
    EXPECT_GE(refused.size(), 1);
    EXPECT_TRUE(data.toByteArray().isEmpty());
    EXPECT_TRUE(data.value<QImage>().isNull());

    // And a click on anything but a web link opens nothing.
    emit view.anchorClicked(QUrl(QStringLiteral("javascript:alert(1)")));
    emit view.anchorClicked(QUrl(QStringLiteral("file:///etc/passwd")));
    emit view.anchorClicked(QUrl(QStringLiteral("ftp://127.0.0.1/f")));
    ASSERT_EQ(opened.size(), 1);
    EXPECT_EQ(opened[0].scheme(), QStringLiteral("ftp"));
}

TEST_F(ChatLogViewTest, EditMenuOfTheLog)
{
    completeAndFlush();
    log.AddLogLine(QStringLiteral("copy me please"), LineSys);
    log.Timer3Timer();
    EXPECT_EQ(view.contextMenuPolicy(), Qt::CustomContextMenu);

    QTextCursor sel = view.document()->find(QStringLiteral("copy me"));
    ASSERT_FALSE(sel.isNull());
    view.setTextCursor(sel);
    std::unique_ptr<QMenu> menu(ChatLogView::buildEditMenu(&view));
    const QList<QAction*> actions = menu->actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_EQ(actions[0]->text(), QStringLiteral("切り取り(&T)"));
    EXPECT_EQ(actions[1]->text(), QStringLiteral("コピー(&C)"));
    EXPECT_EQ(actions[2]->text(), QStringLiteral("貼り付け(&P)"));
    EXPECT_FALSE(actions[0]->isEnabled());
    EXPECT_TRUE(actions[1]->isEnabled());
    EXPECT_FALSE(actions[2]->isEnabled());

    QApplication::clipboard()->clear();
    actions[1]->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("copy me"));
}

TEST(ChatLogViewEditMenu, InputBoxEnablesBySelectionAndClipboard)
{
    QTextEdit input;
    ChatLogView::installEditMenu(&input);
    EXPECT_EQ(input.contextMenuPolicy(), Qt::CustomContextMenu);
    input.setPlainText(QStringLiteral("hello world"));
    QApplication::clipboard()->clear();

    {
        std::unique_ptr<QMenu> menu(ChatLogView::buildEditMenu(&input));
        const QList<QAction*> a = menu->actions();
        EXPECT_FALSE(a[0]->isEnabled());
        EXPECT_FALSE(a[1]->isEnabled());
        EXPECT_FALSE(a[2]->isEnabled());
    }

    QTextCursor c = input.textCursor();
    c.setPosition(0);
    c.setPosition(5, QTextCursor::KeepAnchor);
    input.setTextCursor(c);
    {
        std::unique_ptr<QMenu> menu(ChatLogView::buildEditMenu(&input));
        const QList<QAction*> a = menu->actions();
        EXPECT_TRUE(a[0]->isEnabled());
        EXPECT_TRUE(a[1]->isEnabled());
        EXPECT_FALSE(a[2]->isEnabled());
        a[0]->trigger(); // cut
    }
    EXPECT_EQ(input.toPlainText(), QStringLiteral(" world"));
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("hello"));

    input.moveCursor(QTextCursor::End);
    {
        std::unique_ptr<QMenu> menu(ChatLogView::buildEditMenu(&input));
        const QList<QAction*> a = menu->actions();
        EXPECT_FALSE(a[1]->isEnabled());
        ASSERT_TRUE(a[2]->isEnabled());
        a[2]->trigger(); // paste
    }
    EXPECT_EQ(input.toPlainText(), QStringLiteral(" worldhello"));
}

TEST(ChatLogViewInput, InputColoursFollowTheLog)
{
    ChatLog log;
    log.timer3()->stop();
    QTextEdit input;
    QObject::connect(&log, &ChatLog::inputColorsChanged, &input,
                     [&input](const QString& bg, const QString& fg) { ChatLogView::applyInputColors(&input, bg, fg); });
    ChatLogStyle style;
    style.formColor = QStringLiteral("#123456");
    style.userColor = QStringLiteral("#ABCDEF");
    log.setStyle(style);
    log.WBDocumentComplete();
    EXPECT_EQ(input.palette().color(QPalette::Base), QColor(QStringLiteral("#123456")));
    EXPECT_EQ(input.palette().color(QPalette::Text), QColor(QStringLiteral("#ABCDEF")));
}

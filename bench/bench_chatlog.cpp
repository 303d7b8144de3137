// Appends lines through AddLogLine into the real chat log view (offscreen)
// and prints the time per 1,000 lines at the start and at the end of each
// run. Every line gets a writer step of its own (write, scroll to it), the
// costliest way lines can arrive. The view repaints every 100 lines in the
// main runs (the program repaints once per 500 ms tick whatever the number
// of lines); a last run repaints after every line to show that fixed cost.
#include "core/session/ChatLog.h"
#include "core/session/HtmlText.h"
#include "gui/session/ChatLogView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>

#include <cstdio>

using namespace corvid;

namespace {

QString lineText(int i)
{
    switch (i % 4) {
    case 0:
        return HtmlText::TextToHtml(QStringLiteral("こんにちは、メッセージ %1 です").arg(i));
    case 1:
        return HtmlText::TextToHtml(QStringLiteral("see http://127.0.0.1/page/%1, and <this> too").arg(i));
    case 2:
        return QStringLiteral("ファイル受信完了：file_%1.zip").arg(i);
    default:
        return HtmlText::TextToHtml(QStringLiteral("two\r\nlines %1").arg(i));
    }
}

// Appends `count` lines; returns the total milliseconds and fills the
// milliseconds of the first and the last 1,000 lines.
double appendLines(ChatLog& log, int count, int base, int repaintEvery, double* first, double* last)
{
    QElapsedTimer total;
    QElapsedTimer block;
    total.start();
    block.start();
    for (int i = 0; i < count; ++i) {
        log.AddLogLine(lineText(base + i), (base + i) % 3);
        log.Timer3Timer();
        if ((i + 1) % repaintEvery == 0)
            QCoreApplication::processEvents();
        if ((i + 1) % 1000 == 0) {
            const double ms = double(block.nsecsElapsed()) / 1e6;
            if (i + 1 == 1000)
                *first = ms;
            if (i + 1 == count)
                *last = ms;
            block.restart();
        }
    }
    return double(total.nsecsElapsed()) / 1e6;
}

void report(const char* what, int count, int shown, double total, double first, double last)
{
    std::printf("%-22s %7d lines (log now %7d): total %9.1f ms; first 1,000: %7.1f ms; last 1,000: %7.1f ms; "
                "last/first %.2f\n",
                what, count, shown, total, first, last, first > 0 ? last / first : 0.0);
    std::fflush(stdout);
}

struct Page {
    ChatLog log;
    ChatLogView view;

    Page()
    {
        log.timer3()->stop(); // the benchmark drives the writer itself
        log.setUserName(QStringLiteral("Ben"));
        log.setPeerName(QStringLiteral("Aki"));
        view.resize(800, 600);
        view.show();
        view.setLog(&log);
        while (!log.isReady())
            QCoreApplication::processEvents();
        log.Timer3Timer();
        QCoreApplication::processEvents();
    }
};

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    // Optional arguments replace the two line counts (for quick runs).
    int counts[2] = { 10000, 100000 };
    for (int i = 1; i < argc && i <= 2; ++i)
        counts[i - 1] = qMax(1000, QByteArray(argv[i]).toInt() / 1000 * 1000);

    {
        Page page;
        int base = 0;
        for (const int count : counts) {
            double first = 0;
            double last = 0;
            const double total = appendLines(page.log, count, base, 100, &first, &last);
            base += count;
            report("repaint every 100:", count, page.view.lineCount(), total, first, last);
        }
        const QScrollBar* bar = page.view.verticalScrollBar();
        std::printf("blocks %d, scrolled to the newest line: %s\n", page.view.document()->blockCount(),
                    bar->value() == bar->maximum() ? "yes" : "no");
    }
    {
        Page page;
        double first = 0;
        double last = 0;
        const double total = appendLines(page.log, counts[0], 0, 1, &first, &last);
        report("repaint every line:", counts[0], page.view.lineCount(), total, first, last);
    }
    return 0;
}

#pragma once
// The program instance of the list benchmark, in a child process: its own
// QApplication (offscreen), corvid.ini and folder, a real main window and
// transfer window, listening on a port. One-line commands come from a pipe;
// each gets one reply line ("ok ..." or "fail ...").
//
//   listen PORT | session | mark | lists N TIMEOUT-MS | late | peak | cpu
//   | recv | state NAME | clear | quit
#include "../exchange/CommandPipe.h"
#include "../exchange/ProcStats.h"

#include "core/protocol/TransferResultCode.h"
#include "core/settings/IniFile.h"
#include "core/transfer/ITransferEventObserver.h"
#include "core/transfer/TransferCenter.h"
#include "core/transfer/TransferQueue.h"
#include "gui/session/TForm1.h"
#include "gui/transfer/QueueView.h"
#include "gui/transfer/TForm2.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QSocketNotifier>
#include <QTimer>
#include <QToolButton>

#include <time.h>
#include <unistd.h>

#include <functional>
#include <memory>

namespace bench {

class ListInstance : public CommandPipe, public corvid::ITransferEventObserver {
public:
    ListInstance(const QString& dir, int inFd, int outFd) : CommandPipe(inFd, outFd)
    {
        const QString recv = dir + QStringLiteral("/recv/");
        QDir().mkpath(recv);
        const QString ini = dir + QStringLiteral("/corvid.ini");
        {
            corvid::IniFile f(ini);
            f.writeBool(QStringLiteral("Option"), QStringLiteral("UseUPnP"), false);
            f.writeBool(QStringLiteral("Option"), QStringLiteral("VerCheck"), false);
            f.writeString(QStringLiteral("Option"), QStringLiteral("UserName"), QStringLiteral("Ben"));
            f.writeString(QStringLiteral("Option"), QStringLiteral("RecvDir"), recv);
        }
        form_ = std::make_unique<corvid::TForm1>(ini);
        form_->show();
        win().show();
        form_->transfer().addEventObserver(this);
        probe_.setTimerType(Qt::PreciseTimer);
        probe_.setInterval(10);
        QObject::connect(&probe_, &QTimer::timeout, [this] {
            const double late = double(probeClock_.nsecsElapsed()) / 1e6 - 10.0;
            if (late > 50 && qEnvironmentVariableIsSet("LISTS_TRACE"))
                std::fprintf(stderr, "late %.0f ms at %.3f\n", late, now());
            lateMs_ = std::max(lateMs_, late);
            probeClock_.restart();
        });
        startReading(form_.get());
    }

    ~ListInstance() { form_->transfer().removeEventObserver(this); }

    void transferEvent(int code, const QString&) override
    {
        // Every list arrival ends in one of these codes, after its merge.
        if (code == corvid::RcListArrived || code == corvid::RcListNothingNew || code == corvid::RcListNotReceived) {
            ++lists_;
            lastList_ = now();
        }
    }

private:
    corvid::TForm2& win() { return form_->transferWindow(); }
    corvid::TransferQueue& recvQueue() { return form_->transfer().receiveQueue(); }
    corvid::QueueView* view() { return win().findChild<corvid::QueueView*>(QStringLiteral("ListView2")); }

    void run(const QStringList& a) override
    {
        const QString& c = a.value(0);
        if (c == QLatin1String("listen")) {
            child<QLineEdit>(form_.get(), "edPort")->setText(a.value(1));
            child<QToolButton>(form_.get(), "btServer")->click();
            waitFor([this] { return child<QToolButton>(form_.get(), "btServer")->isChecked(); }, 5000,
                    [this](bool ok) { reply(ok ? "ok" : "fail not listening"); });
        } else if (c == QLatin1String("session")) {
            QToolButton* b = child<QToolButton>(&win(), "btRecvList");
            waitFor([b] { return b->isEnabled(); }, 10000, [this](bool ok) { reply(ok ? "ok" : "fail no session"); });
        } else if (c == QLatin1String("mark")) {
            // Peak memory and UI lateness from here on.
            peakReset_ = resetPeak();
            rss0_ = statusKiB("VmRSS:");
            lateMs_ = 0;
            probeClock_.start();
            probe_.start();
            reply("ok");
        } else if (c == QLatin1String("lists")) {
            // Reply when N list arrivals ended and the view shows the queue:
            // ok <time of the Nth arrival's end> <time the view was in line> <rows>
            const int n = a.value(1).toInt();
            waitFor([this, n] { return lists_ >= n && view()->inLine(); }, a.value(2).toInt(), [this](bool ok) {
                reply(QStringLiteral("%1 %2 %3 %4")
                          .arg(ok ? QStringLiteral("ok") : QStringLiteral("fail"))
                          .arg(lastList_, 0, 'f', 4)
                          .arg(now(), 0, 'f', 4)
                          .arg(recvQueue().Count())
                          .toUtf8());
            });
        } else if (c == QLatin1String("late")) {
            reply("ok " + QByteArray::number(lateMs_, 'f', 2));
        } else if (c == QLatin1String("peak")) {
            reply(peakReset_ ? "ok " + QByteArray::number(qlonglong(statusKiB("VmHWM:") - rss0_)) : "fail no peak");
        } else if (c == QLatin1String("cpu")) {
            // The UI thread's processor time in ms: what a figure cost,
            // whatever else the machine was doing.
            timespec t{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
            reply("ok " + QByteArray::number(double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6, 'f', 1));
        } else if (c == QLatin1String("recv")) {
            if (!child<QToolButton>(&win(), "btRecv")->isChecked())
                win().btRecvClick(true);
            reply("ok");
        } else if (c == QLatin1String("state")) {
            // ok <state> of the first row of that name
            corvid::TransferQueue& q = recvQueue();
            const int i = q.FindByName(a.value(1));
            reply(i < 0 ? QByteArray("fail no row") : "ok " + QByteArray::number(int(q.Row(i).State())));
        } else if (c == QLatin1String("clear")) {
            win().btLV2AllClearClick();
            waitFor([this] { return view()->inLine(); }, 30000, [this](bool ok) { reply(ok ? "ok" : "fail"); });
        } else if (c == QLatin1String("quit")) {
            reply("ok");
            QCoreApplication::quit();
        } else {
            reply("fail unknown command");
        }
    }

    std::unique_ptr<corvid::TForm1> form_;
    QTimer probe_;
    QElapsedTimer probeClock_;
    double lateMs_ = 0;
    bool peakReset_ = false;
    long rss0_ = 0;
    int lists_ = 0;
    double lastList_ = 0;
};

inline int runListInstance(const QString& dir, int inFd, int outFd)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char arg0[] = "bench_lists";
    char* argv[] = {arg0, nullptr};
    QApplication app(argc, argv);
    ListInstance instance(dir, inFd, outFd);
    return app.exec();
}

} // namespace bench

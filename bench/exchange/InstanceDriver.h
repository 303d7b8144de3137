#pragma once
// One program instance in a child process of the exchange benchmark: its own
// QApplication (offscreen), corvid.ini and folder, a real main window and
// transfer window, driven through their controls by one-line commands read
// from a pipe. Every command gets one reply line ("ok ..." or "fail ...").
//
//   listen PORT | connect PORT | session | add PATH | adddir DIR | send
//   rows N | probe | late | cpu | receive NAME SIZE TIMEOUT-MS | clear | quit
//   protocol | chunk | drop PATH | dropfiles DIR | sendrows N TIMEOUT-MS
//   ownprotocol N | connecttime PORT TIMEOUT-MS [PREFIX] | disconnect | idle | logcount PREFIX
#include "CommandPipe.h"
#include "ProcStats.h"

#include "core/session/ChatLog.h"
#include "core/settings/IniFile.h"
#include "core/transfer/TransferCenter.h"
#include "core/transfer/TransferQueue.h"
#include "gui/session/ChatLogView.h"
#include "gui/session/TForm1.h"
#include "gui/transfer/TForm2.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QDirIterator>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QSocketNotifier>
#include <QTimer>
#include <QToolButton>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace bench {

// Watches the file a reception writes: when its first and its last byte
// reach the disk (stat polled off the UI thread).
class FileWatch {
public:
    FileWatch(QByteArray path, qint64 size) : path_(std::move(path)), size_(size)
    {
        thread_ = std::thread([this] { run(); });
    }
    ~FileWatch() { stop(); }
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;
    double first() const { return first_; }
    double last() const { return last_; }
    // Ends the watch; the watching thread's own CPU seconds.
    double stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        return cpu_;
    }

private:
    void run()
    {
        watch();
        cpu_ = threadCpu();
    }
    // Until the first byte the file is looked at every 200 us. After it,
    // each look sleeps a quarter of the time the rest should take at the
    // rate seen so far (at most 10 ms): a look every 200 us all along took
    // a tenth of a core beside the transfer it measures, while this way the
    // looks crowd only towards the last byte, which is still seen within a
    // few hundred microseconds unless the rate jumps fourfold.
    void watch()
    {
        const double limit = now() + 3600;
        qint64 firstSize = 0;
        while (!stop_ && now() < limit) {
            double wait = 0.0002;
            struct stat st {};
            if (::stat(path_.constData(), &st) == 0) {
                const double t = now();
                if (st.st_size > 0 && first_ == 0) {
                    first_ = t;
                    firstSize = st.st_size;
                }
                if (st.st_size >= size_) {
                    last_ = t;
                    return;
                }
                if (first_ > 0 && st.st_size > firstSize && t > first_) {
                    const double rate = double(st.st_size - firstSize) / (t - first_);
                    wait = std::clamp(double(size_ - st.st_size) / rate / 4, 0.0002, 0.01);
                }
            }
            ::usleep(useconds_t(wait * 1e6));
        }
    }
    QByteArray path_;
    qint64 size_;
    std::atomic<bool> stop_ {false};
    std::atomic<double> first_ {0};
    std::atomic<double> last_ {0};
    std::atomic<double> cpu_ {0};
    std::thread thread_;
};

class InstanceDriver : public CommandPipe {
public:
    InstanceDriver(const QString& dir, const QString& user, int inFd, int outFd)
        : CommandPipe(inFd, outFd), dir_(dir)
    {
        QDir().mkpath(recvDir());
        const QString ini = dir + QStringLiteral("/corvid.ini");
        {
            corvid::IniFile f(ini);
            f.writeBool(QStringLiteral("Option"), QStringLiteral("UseUPnP"), false);
            f.writeBool(QStringLiteral("Option"), QStringLiteral("VerCheck"), false);
            f.writeString(QStringLiteral("Option"), QStringLiteral("UserName"), user);
            f.writeString(QStringLiteral("Option"), QStringLiteral("RecvDir"), recvDir() + QLatin1Char('/'));
        }
        form_ = std::make_unique<corvid::TForm1>(ini);
        form_->show();
        win().show();
        probe_.setTimerType(Qt::PreciseTimer);
        probe_.setInterval(10);
        QObject::connect(&probe_, &QTimer::timeout, [this] {
            const double late = double(probeClock_.nsecsElapsed()) / 1e6 - 10.0;
            lateMs_ = std::max(lateMs_, late);
            probeClock_.restart();
        });
        startReading(form_.get());
    }
    ~InstanceDriver() { watch_.reset(); }
    InstanceDriver(const InstanceDriver&) = delete;
    InstanceDriver& operator=(const InstanceDriver&) = delete;

    QString recvDir() const { return dir_ + QStringLiteral("/recv"); }

private:
    corvid::TForm2& win() { return form_->transferWindow(); }
    corvid::TransferQueue& recvQueue() { return form_->transfer().receiveQueue(); }
    corvid::TransferQueue& sendQueue() { return form_->transfer().sendQueue(); }
    void replyWhen(std::function<bool()> cond, int timeoutMs)
    {
        waitFor(std::move(cond), timeoutMs, [this](bool ok) { reply(ok ? "ok" : "fail timeout"); });
    }

    bool allDone()
    {
        corvid::TransferQueue& q = recvQueue();
        for (int i = 0; i < q.Count(); ++i)
            if (q.Row(i).State() != corvid::RowState::Done)
                return false;
        return q.Count() > 0;
    }

    void run(const QStringList& a) override
    {
        const QString& c = a.value(0);
        QToolButton* btRecvList = child<QToolButton>(&win(), "btRecvList");
        if (c == QLatin1String("listen")) {
            child<QLineEdit>(form_.get(), "edPort")->setText(a.value(1));
            child<QToolButton>(form_.get(), "btServer")->click();
            replyWhen([this] { return child<QToolButton>(form_.get(), "btServer")->isChecked(); }, 5000);
        } else if (c == QLatin1String("connect")) {
            child<QLineEdit>(form_.get(), "edIP")->setText(QStringLiteral("127.0.0.1"));
            child<QLineEdit>(form_.get(), "edPort")->setText(a.value(1));
            child<QToolButton>(form_.get(), "btClient")->click();
            replyWhen([btRecvList] { return btRecvList->isEnabled(); }, 10000);
        } else if (c == QLatin1String("session")) {
            replyWhen([btRecvList] { return btRecvList->isEnabled(); }, 10000);
        } else if (c == QLatin1String("add")) {
            win().AddLocalFile(a.mid(1).join(QLatin1Char(' ')));
            reply("ok");
        } else if (c == QLatin1String("adddir")) {
            const QDir d(a.mid(1).join(QLatin1Char(' ')));
            for (const QString& f : d.entryList(QDir::Files, QDir::Name))
                win().AddLocalFile(d.filePath(f));
            reply("ok");
        } else if (c == QLatin1String("protocol")) {
            reply("ok " + QByteArray::number(form_->session().protocolNumber()));
        } else if (c == QLatin1String("ownprotocol")) {
            // 1: this instance plays an original peer from the next handshake on.
            form_->session().setOwnProtocol(a.value(1).toInt());
            reply("ok");
        } else if (c == QLatin1String("connecttime")) {
            connectTimed(a.value(1), a.value(2).toInt(), a.mid(3).join(QLatin1Char(' ')));
        } else if (c == QLatin1String("disconnect")) {
            corvid::SessionController& s = form_->session();
            QToolButton* btClient = child<QToolButton>(form_.get(), "btClient");
            if (s.isClientConnected())
                btClient->click();
            replyWhen([&s, btClient] { return !s.isClientConnected() && !s.isConnecting() && btClient->isEnabled(); },
                      10000);
        } else if (c == QLatin1String("idle")) {
            corvid::SessionController& s = form_->session();
            replyWhen([&s] { return !s.hasServerSession() && !s.isClientConnected() && !s.isConnecting(); }, 10000);
        } else if (c == QLatin1String("logcount")) {
            QString first;
            const int n = countLogLines(a.mid(1).join(QLatin1Char(' ')), &first);
            reply("ok " + QByteArray::number(n) + ' ' + first.toUtf8());
        } else if (c == QLatin1String("chunk")) {
            reply("ok " + QByteArray::number(win().center().settings().shared().ChunkSize));
        } else if (c == QLatin1String("drop")) {
            drop({QUrl::fromLocalFile(a.mid(1).join(QLatin1Char(' ')))});
        } else if (c == QLatin1String("dropfiles")) {
            QList<QUrl> urls;
            QDirIterator it(a.mid(1).join(QLatin1Char(' ')), QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext())
                urls << QUrl::fromLocalFile(it.next());
            drop(urls);
        } else if (c == QLatin1String("sendrows")) {
            const int n = a.value(1).toInt();
            waitFor([this, n] { return sendQueue().Count() >= n; }, a.value(2).toInt(),
                    [this](bool ok) { reply((ok ? "ok " : "fail ") + QByteArray::number(sendQueue().Count())); });
        } else if (c == QLatin1String("send")) {
            // "送信開始" down lists the queue; when it is down already, "リスト送信".
            if (child<QToolButton>(&win(), "btSend")->isChecked())
                win().btSendListClick();
            else
                win().btSendClick(true);
            reply("ok");
        } else if (c == QLatin1String("rows")) {
            const int n = a.value(1).toInt();
            replyWhen([this, n] { return recvQueue().Count() >= n; }, 30000);
        } else if (c == QLatin1String("probe")) {
            lateMs_ = 0;
            probeClock_.start();
            probe_.start();
            reply("ok");
        } else if (c == QLatin1String("late")) {
            probe_.stop();
            reply("ok " + QByteArray::number(lateMs_, 'f', 2));
        } else if (c == QLatin1String("cpu")) {
            reply("ok " + QByteArray::number(processCpu(), 'f', 6) + ' ' + QByteArray::number(threadCpu(), 'f', 6));
        } else if (c == QLatin1String("receive")) {
            // The name may hold blanks: it is all between the command and the last two words.
            receive(a.mid(1, a.size() - 3).join(QLatin1Char(' ')), a.value(a.size() - 2).toLongLong(),
                    a.value(a.size() - 1).toInt());
        } else if (c == QLatin1String("clear")) {
            win().btLV2AllClearClick();
            win().btLV1AllClearClick();
            reply("ok");
        } else if (c == QLatin1String("quit")) {
            reply("ok");
            QCoreApplication::quit();
        } else {
            reply("fail unknown command");
        }
    }

    // What a drag from the desktop hands the transfer window: the enter,
    // then the drop of the URL list. Reply: ok <URLs dropped>.
    void drop(const QList<QUrl>& urls)
    {
        QMimeData data;
        data.setUrls(urls);
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&win(), &enter);
        if (!enter.isAccepted()) {
            reply("fail drag not welcome");
            return;
        }
        QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&win(), &dropped);
        reply((dropped.isAccepted() ? "ok " : "fail drop refused ") + QByteArray::number(urls.size()));
    }

    // The log's lines as shown, after writing what is queued for the view
    // (its own timer would do so only every half second).
    int countLogLines(const QString& prefix, QString* first = nullptr)
    {
        form_->chatLog().Timer3Timer();
        int n = 0;
        const QString text = child<corvid::ChatLogView>(form_.get(), "WB")->toPlainText();
        for (const QString& line : text.split(QLatin1Char('\n'))) {
            if (!line.startsWith(prefix))
                continue;
            if (n++ == 0 && first)
                *first = line;
        }
        return n;
    }

    // Presses btClient towards 127.0.0.1:PORT. Reply: ok <ms from the press
    // to a new "接続成功" line in the log> <ms to a new line starting with
    // PREFIX, -1 when none came within a second after "接続成功" (or no
    // PREFIX was given)>; fail when the attempt ended without "接続成功".
    void connectTimed(const QString& port, int timeoutMs, const QString& prefix)
    {
        struct Watch {
            QString connected = corvid::SessionTexts::Connected();
            QString prefix;
            int connectedBefore = 0, prefixBefore = 0, seenLines = 0;
            double t0 = 0, connectedAt = 0, prefixAt = 0;
        };
        auto w = std::make_shared<Watch>();
        w->prefix = prefix;
        w->connectedBefore = countLogLines(w->connected);
        w->prefixBefore = prefix.isEmpty() ? 0 : countLogLines(prefix);
        w->seenLines = form_->chatLog().lineCount();
        child<QLineEdit>(form_.get(), "edIP")->setText(QStringLiteral("127.0.0.1"));
        child<QLineEdit>(form_.get(), "edPort")->setText(port);
        w->t0 = now();
        child<QToolButton>(form_.get(), "btClient")->click();
        corvid::SessionController& s = form_->session();
        waitFor([this, &s, w] {
            // Only a new line is worth reading the view for.
            const int lines = form_->chatLog().lineCount();
            if (lines != w->seenLines) {
                w->seenLines = lines;
                const double t = now();
                if (w->connectedAt == 0 && countLogLines(w->connected) > w->connectedBefore)
                    w->connectedAt = t;
                if (!w->prefix.isEmpty() && w->prefixAt == 0 && countLogLines(w->prefix) > w->prefixBefore)
                    w->prefixAt = t;
            }
            if (w->connectedAt > 0)
                return w->prefix.isEmpty() || w->prefixAt > 0 || now() > w->connectedAt + 1;
            return !s.isConnecting() && !s.isClientConnected();
        }, timeoutMs, [this, w](bool) {
            auto ms = [w](double at) { return at > 0 ? QByteArray::number((at - w->t0) * 1000, 'f', 3) : "-1"; };
            reply(w->connectedAt > 0 ? "ok " + ms(w->connectedAt) + ' ' + ms(w->prefixAt)
                                     : QByteArray("fail no 接続成功"));
        }, 1);
    }

    // All Done is looked for this often while a reception runs: every 2 ms
    // the receiver's UI thread woke 500 times a second beside the transfer.
    static constexpr int kDonePollMs = 10;

    // Presses "受信開始" and waits for every receive row to be Done. Reply:
    // ok <s to all Done> <s to first byte> <s first to last byte> <peak growth KiB>
    //    <CPU s of the file watch>
    void receive(const QString& name, qint64 size, int timeoutMs)
    {
        const bool peak = resetPeak();
        const long rss0 = statusKiB("VmRSS:");
        if (name != QLatin1String("-"))
            watch_ = std::make_unique<FileWatch>(QFile::encodeName(recvDir() + QLatin1Char('/') + name), size);
        const double t0 = now();
        if (!child<QToolButton>(&win(), "btRecv")->isChecked())
            win().btRecvClick(true);
        waitFor([this] { return allDone(); }, timeoutMs, [this, t0, rss0, peak](bool ok) {
            const double tDone = now() - t0;
            // The last byte may still be on its way to the disk's view.
            for (const double end = now() + 2; watch_ && watch_->last() == 0 && now() < end;)
                ::usleep(1000);
            if (watch_ && watch_->last() > t0 + tDone + 0.01)
                std::fprintf(stderr, "receiver: row Done %.4f s before its last byte reached the file\n",
                             watch_->last() - t0 - tDone);
            double first = -1, span = -1, watchCpu = 0;
            if (watch_) {
                if (watch_->first() > 0)
                    first = watch_->first() - t0;
                if (watch_->last() > 0 && watch_->first() > 0)
                    span = watch_->last() - watch_->first();
                watchCpu = watch_->stop();
                watch_.reset();
            }
            const long grow = peak ? statusKiB("VmHWM:") - rss0 : -1;
            reply(QStringLiteral("%1 %2 %3 %4 %5 %6")
                      .arg(ok ? QStringLiteral("ok") : QStringLiteral("fail"))
                      .arg(tDone, 0, 'f', 4)
                      .arg(first, 0, 'f', 4)
                      .arg(span, 0, 'f', 4)
                      .arg(grow)
                      .arg(watchCpu, 0, 'f', 6)
                      .toUtf8());
        }, kDonePollMs);
    }

    QString dir_;
    std::unique_ptr<corvid::TForm1> form_;
    QTimer probe_;
    QElapsedTimer probeClock_;
    double lateMs_ = 0;
    std::unique_ptr<FileWatch> watch_;
};

// The child's whole life: the application, the instance, the loop.
inline int runInstance(const QString& dir, const QString& user, int inFd, int outFd)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int argc = 1;
    char arg0[] = "bench_exchange";
    char* argv[] = {arg0, nullptr};
    QApplication app(argc, argv);
    InstanceDriver driver(dir, user, inFd, outFd);
    return app.exec();
}

} // namespace bench

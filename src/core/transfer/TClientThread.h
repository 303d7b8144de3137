#pragma once
#include "core/protocol/RowLink.h"
#include "core/protocol/TcpConnection.h"
#include "core/transfer/TransferRun.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <functional>
#include <thread>

namespace corvid {

class TransferCenter;

// One client-role job on a transfer connection of its own: send our list
// (21), push a file the peer asked for (22), fetch the peer's list (31),
// fetch a file (32); 40 (update check) runs a job given from outside. Every
// step that touches rows runs on the UI thread through the hand-over: the
// worker waits for the steps whose answer it needs (a hand-over that
// answers "not done", shutdown, ends the job at once, without touching rows
// again) and posts its report; a file job is a TransferRun, whose final
// step is posted. Owned by the TransferCenter, which joins it.
class TClientThread {
public:
    enum JobKind { SendList = 21, SendFile = 22, FetchList = 31, FetchFile = 32, UpdateCheck = 40 };
    // The update check's job: sets Host/Port, connects and fetches by itself,
    // and returns whether a report is asked for.
    using CustomJob = std::function<bool(TClientThread&)>;

    TClientThread(TransferCenter& center, int kind, QString argument, RowRef row, QString host, quint16 port);
    ~TClientThread();  // joins
    TClientThread(const TClientThread&) = delete;
    TClientThread& operator=(const TClientThread&) = delete;

    void setCustomJob(CustomJob job) { customJob_ = std::move(job); }
    void Start();
    // Any thread: stops the job before its next chunk (shuts the connection).
    void Stop();
    bool Finished() const { return finished_.load(std::memory_order_acquire); }

    // Worker thread only (and UI steps it waits for); Kind and Row are fixed
    // at creation and may be read from any thread.
    TcpConnection Connection;   // own connection
    QString Argument;           // kind 22: the request's StartPosition text
    QString ReportText;         // name that goes with the report
    qint32 ResultCode = -1;
    QList<QByteArray> Lines;    // a file list (wire lines) or the version file
    int Kind = 0;
    bool Outcome = false;
    RowRef Row;                 // kinds 22 and 32
    QString Host;
    quint16 Port = 0;

    bool Stopping() const { return stop_.load(std::memory_order_acquire); }

private:
    void Execute();
    bool RunSendList();
    bool RunSendFile();
    bool RunFetchList();
    bool RunFetchFile();
    bool RunFile(TransferRun::Flow flow, const TransferRun::Request& request);
    // The give-up test of every wait on the UI thread: only Stop(), which
    // comes with shutdown, ends one.
    std::function<bool()> stopping() const
    {
        return [this] { return Stopping(); };
    }

    TransferCenter& center_;
    CustomJob customJob_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

} // namespace corvid

#pragma once
#include "core/protocol/RowLink.h"
#include "core/protocol/TcpConnection.h"
#include "core/transfer/TransferRun.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <functional>

namespace corvid {

class TransferCenter;

// One client-role job on a transfer connection of its own: send our list
// (21), push a file the peer asked for (22), fetch the peer's list (31),
// fetch a file (32). Every step that touches rows runs on the UI thread
// through the hand-over: the worker waits for the steps whose answer it
// needs (a hand-over that answers "not done", shutdown, ends the job at
// once, without touching rows again) and posts its report; a file job is a
// TransferRun, whose final step is posted. The TransferCenter runs it on a
// thread of its ThreadOwner, which joins it.
class TClientThread {
public:
    enum JobKind { SendList = 21, SendFile = 22, FetchList = 31, FetchFile = 32 };

    TClientThread(TransferCenter& center, int kind, QString argument, RowRef row, QString host, quint16 port);
    TClientThread(const TClientThread&) = delete;
    TClientThread& operator=(const TClientThread&) = delete;

    // The job, on the thread that carries it.
    void Execute();
    // Any thread: stops the job before its next chunk (shuts the connection).
    void Stop();

    // Worker thread only (and UI steps it waits for); Kind and Row are fixed
    // at creation and may be read from any thread.
    TcpConnection Connection;   // own connection
    QString Argument;           // kind 22: the request's StartPosition text
    QString ReportText;         // name that goes with the report
    qint32 ResultCode = -1;
    QList<QByteArray> Lines;    // a file list (wire lines)
    int Kind = 0;
    bool Outcome = false;
    RowRef Row;                 // kinds 22 and 32
    QString Host;
    quint16 Port = 0;

    bool Stopping() const { return stop_.load(std::memory_order_acquire); }

private:
    // An encrypted session's connections are TLS to the partner's key;
    // false (logged) when this one is not.
    bool Secure();
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
    std::atomic<bool> stop_{false};
};

} // namespace corvid

#pragma once
// Helpers shared by the transfer tests: a loopback connection pair, raw
// byte reads with time limits, and small file utilities.
#include "core/protocol/FileAttributes.h"
#include "core/protocol/TcpConnection.h"
#include "core/protocol/TcpListener.h"

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>

namespace corvid::test {

// A connected pair over 127.0.0.1: `client` opened the connection, `server`
// is the accepted end.
struct Loopback {
    TcpListener listener;
    TcpConnection client;
    TcpConnection server;

    bool open()
    {
        if (!listener.listen(0))
            return false;
        if (!client.connectTo(QStringLiteral("127.0.0.1"), listener.port(), 2000))
            return false;
        std::optional<TcpConnection> accepted = listener.accept();
        if (!accepted)
            return false;
        server = std::move(*accepted);
        return true;
    }
};

// The wire bytes of a block: each line + CR LF, then CR LF.
inline QByteArray blockBytes(std::initializer_list<const char*> lines)
{
    QByteArray out;
    for (const char* line : lines)
        out += QByteArray(line) + "\r\n";
    return out + "\r\n";
}

// Reads exactly n bytes, or what came before the connection closed or the
// time ran out.
inline QByteArray readBytes(TcpConnection& c, qint64 n, int timeoutMs = 5000)
{
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (out.size() < n) {
        const int left = timeoutMs - int(timer.elapsed());
        if (left <= 0 || c.readSome(out, n - out.size(), left) != ReadStatus::Ok)
            break;
    }
    return out;
}

// Reads up to and including the first empty line (CR LF CR LF).
inline QByteArray readBlock(TcpConnection& c, int timeoutMs = 5000)
{
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (!out.endsWith("\r\n\r\n")) {
        const int left = timeoutMs - int(timer.elapsed());
        if (left <= 0 || c.readSome(out, 1, left) != ReadStatus::Ok)
            break;
    }
    return out;
}

// True when the peer closes (or shuts down) within the time; any byte that
// still arrives first is returned in `rest`.
inline bool waitClosed(TcpConnection& c, int timeoutMs = 5000, QByteArray* rest = nullptr)
{
    QElapsedTimer timer;
    timer.start();
    QByteArray got;
    for (;;) {
        const int left = timeoutMs - int(timer.elapsed());
        if (left <= 0)
            return false;
        const ReadStatus s = c.readSome(got, 1 << 20, left);
        if (rest)
            *rest = got;
        if (s == ReadStatus::Closed)
            return true;
        if (s == ReadStatus::Timeout)
            return false;
    }
}

inline QByteArray pattern(qint64 n, int seed = 7)
{
    QByteArray out(qsizetype(n), Qt::Uninitialized);
    quint32 x = quint32(seed) * 2654435761u + 1;
    for (qint64 i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        out[qsizetype(i)] = char((x >> 16) & 0xFF);
    }
    return out;
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline quint32 attrOf(const QString& path)
{
    return FileAttributes::Read(path).value_or(0xFFFFFFFFu);
}

} // namespace corvid::test

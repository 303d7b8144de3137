#pragma once
#include "core/netenv/NetCancel.h"
#include "core/netenv/ReplyReader.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace corvid {

// The update host: its name (request line, Host, Referer) and the IPv4
// address connected to. Both come from the build settings; tests aim them
// at a fake web server on loopback.
struct UpdateHost {
    QString name;
    QString address;
    quint16 port = 80;
    // Without a name or an address there is nothing to ask: the check ends
    // silently, as for an unreachable host.
    bool configured() const { return !name.isEmpty() && !address.isEmpty(); }
    static UpdateHost fromBuild();
};

// The steps of one update check. The fetch runs on a worker thread; the
// evaluation and the result line belong to the UI thread.
class UpdateCheck {
public:
    static constexpr int kConnectMs = 5000;
    static constexpr int kFirstLineMs = 5000;
    static constexpr const char* kPath = "/halvard123/soft/Corvid.txt";

    // Request lines, the last one empty.
    static void MakeHttpGetRequest(const QString& url, const QString& host, const QString& version,
                                   QStringList& lines);
    // Sends the request on a connected socket and reads the counted body
    // into `lines`. False for no head, no usable Content-Length, or a body
    // that does not arrive whole within the limits.
    static bool FetchHttpText(TcpConnection& c, const QString& url, const QString& host, QList<QByteArray>& lines,
                              const ReplyLimits& limits = {});

    // Worker side of the check: connect (5000 ms) and fetch. nullopt when
    // no connection could be made (the check then ends silently); else the
    // result code, 11 with the version file in `lines`, or 12.
    static std::optional<int> FetchVersionFile(const UpdateHost& host, QList<QByteArray>& lines,
                                               NetCancel* cancel = nullptr, const ReplyLimits& limits = {});

    // The first value of `name` (any case) in the version file; the value
    // is everything after the line's first "=".
    static QString VersionFileValue(const QList<QByteArray>& lines, const QString& name);
    // UI side: the link line when the file's Version differs from
    // ownVersion and the download link (the file's URL, else makerUrl) is a
    // web address, else empty text.
    static QString Evaluate(const QList<QByteArray>& lines, const QString& ownVersion, const QString& makerUrl);
    static QString LinkLine(const QString& link);
    // The log line for the worker's result code 11 or 12 (empty for any
    // other code), as the transfer event table gives it.
    static QString VersionCheckResultLine(int code);
};

} // namespace corvid

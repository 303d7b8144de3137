#pragma once
#include "core/netenv/NetCancel.h"
#include "core/netenv/ReplyReader.h"

#include <QString>
#include <QStringList>

namespace corvid {

// Where the SSDP search goes. Tests aim it at a fake gateway on loopback.
struct SsdpTarget {
    QString address = QStringLiteral("239.255.255.250");
    quint16 port = 1900;
};

// The router client: SSDP search, device description, the WAN connection
// service's control URL, and the SOAP calls for the external address and
// the port mapping. Every call blocks its thread up to its time limits;
// run it off the UI thread. cancel() (any thread) ends a call in progress
// with its failure result.
class TUPnPData {
public:
    static constexpr int kSearchWaitMs = 500;       // per search datagram
    static constexpr int kDatagramMax = 8192;       // one SSDP reply
    static constexpr int kDescConnectMs = 1000;
    static constexpr int kDescFirstLineMs = 1000;
    static constexpr int kSoapConnectMs = 5000;
    static constexpr int kSoapFirstLineMs = 1000;

    explicit TUPnPData(const SsdpTarget& target = {}, const ReplyLimits& limits = {});
    // Removes a mapping this instance made (result ignored).
    ~TUPnPData();
    TUPnPData(const TUPnPData&) = delete;
    TUPnPData& operator=(const TUPnPData&) = delete;

    bool Discover();
    QString GetExternalIPAddress();
    bool AddPortMapping(int externalPort, int internalPort, const QString& protocol, const QString& internalClient,
                        const QString& description);
    bool DeletePortMapping(int externalPort, const QString& protocol);

    // Any thread: the call in progress and every later one fail soon (the
    // destructor still removes a mapping).
    void cancel() { cancel_.cancel(); }

    // Lookups over received lines, also used by the update check.
    static QString GetHeaderValue(const QString& name, const QStringList& lines);
    static QString GetXmlTagValue(const QString& tag, const QStringList& lines, const QString& marker);
    static QString UrlHost(const QString& url);
    // 80 when the host part names no port; -1 (and *ok false) when the
    // port is not a number from 1 to 65535.
    static int UrlPort(const QString& url, bool* ok = nullptr);
    static QString UrlPath(const QString& url);

    // The exact bytes of requests (CR LF after every line).
    static QByteArray SearchDatagram(const QString& serviceName);
    static QByteArray JoinLines(const QStringList& lines);

    QString ControlHost;
    int ControlPort = 80;
    QString ServiceName;
    QString ControlURL;
    int MappedPort = -1;
    QString MappedProtocol;
    bool Mapped = false;

private:
    // One request to the control host: true when the reply's head says
    // "200"; `body` gets the lines after the head up to the first empty
    // line, a silence or the close.
    bool Exchange(const QByteArray& request, int connectMs, int firstLineMs, QList<QByteArray>& body);
    // One SOAP exchange; true on a "200" answer, whose body lines land in
    // `body`.
    bool Soap(const QString& action, const QStringList& actionLines, QStringList* body);
    // One reply datagram for one search, or empty text.
    QByteArray Search(int fd, const QString& serviceName);

    SsdpTarget target_;
    ReplyLimits limits_;
    NetCancel cancel_;
};

} // namespace corvid

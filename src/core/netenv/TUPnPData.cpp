#include "core/netenv/TUPnPData.h"

#include "core/base/TextLines.h"
#include "core/base/UniqueFd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace corvid {
namespace {

constexpr int kSliceMs = 50;  // how soon a cancel is noticed in the search
const QString kHttp = QStringLiteral("http://");
const QString kUserAgent = QStringLiteral("User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1)");

QStringList toText(const QList<QByteArray>& lines)
{
    QStringList out;
    out.reserve(lines.size());
    for (const QByteArray& l : lines)
        out << QString::fromUtf8(l);
    return out;
}

// A value that would end a request line early or forge another one.
bool breaksLines(const QString& text)
{
    for (const QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return true;
    return false;
}

// Releases a connection from the cancel watch before it goes away.
class Watched {
public:
    explicit Watched(NetCancel& cancel) : cancel_(cancel) {}
    ~Watched()
    {
        cancel_.unwatch(conn);
        conn.close();
    }
    Watched(const Watched&) = delete;
    Watched& operator=(const Watched&) = delete;
    TcpConnection conn;

private:
    NetCancel& cancel_;
};

// A mapping action's opening line and the mapping's key: remote host (any),
// external port and protocol.
QStringList mappingActionHead(const QString& action, const QString& serviceName, int externalPort,
                              const QString& protocol)
{
    return {
        QStringLiteral("<m:") + action + QStringLiteral(" xmlns:m=\"urn:schemas-upnp-org:service:") + serviceName
            + QStringLiteral(":1\">"),
        QStringLiteral("<NewRemoteHost></NewRemoteHost>"),
        QStringLiteral("<NewExternalPort>%1</NewExternalPort>").arg(externalPort),
        QStringLiteral("<NewProtocol>") + protocol + QStringLiteral("</NewProtocol>"),
    };
}

QString soapEnvelopeHead()
{
    return QStringLiteral("<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                          "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">");
}

} // namespace

TUPnPData::TUPnPData(const SsdpTarget& target, const ReplyLimits& limits)
    : target_(target)
    , limits_(limits)
{
}

TUPnPData::~TUPnPData()
{
    // The mapping outlives a cancelled call: removing it is the last word.
    cancel_.reset();
    if (Mapped)
        DeletePortMapping(MappedPort, MappedProtocol);
}

QByteArray TUPnPData::JoinLines(const QStringList& lines)
{
    QByteArray out;
    for (const QString& l : lines) {
        out += l.toUtf8();
        out += "\r\n";
    }
    return out;
}

QByteArray TUPnPData::SearchDatagram(const QString& serviceName)
{
    return JoinLines({QStringLiteral("M-SEARCH * HTTP/1.1"), QStringLiteral("MX: 3"),
                      QStringLiteral("HOST: 239.255.255.250:1900"), QStringLiteral("MAN: \"ssdp:discover\""),
                      QStringLiteral("ST: urn:schemas-upnp-org:service:") + serviceName + QStringLiteral(":1"),
                      QString()});
}

QString TUPnPData::GetHeaderValue(const QString& name, const QStringList& lines)
{
    QString value;
    for (const QString& line : lines)
        if (line.startsWith(name, Qt::CaseInsensitive))
            value = line.mid(name.size() + 1).trimmed();
    return value;
}

QString TUPnPData::GetXmlTagValue(const QString& tag, const QStringList& lines, const QString& marker)
{
    qsizetype start = 0;
    if (!marker.isEmpty()) {
        for (qsizetype i = 0; i < lines.size(); ++i)
            if (lines[i].contains(marker)) {
                start = i;
                break;
            }
    }
    const QString open = QLatin1Char('<') + tag + QLatin1Char('>');
    for (qsizetype i = start; i < lines.size(); ++i) {
        if (!lines[i].contains(open, Qt::CaseInsensitive))
            continue;
        const QString line = lines[i].trimmed();
        // The element is taken to stand alone on its line.
        const qsizetype from = tag.size() + 2;
        const qsizetype count = line.size() - from - (tag.size() + 3);
        return count > 0 ? line.mid(from, count).trimmed() : QString();
    }
    return QString();
}

QString TUPnPData::UrlHost(const QString& url)
{
    QString rest = url;
    rest.remove(kHttp, Qt::CaseInsensitive);
    const qsizetype slash = rest.indexOf(QLatin1Char('/'));
    return slash < 0 ? rest : rest.left(slash);
}

int TUPnPData::UrlPort(const QString& url, bool* ok)
{
    const QString host = UrlHost(url);
    const qsizetype colon = host.indexOf(QLatin1Char(':'));
    if (ok)
        *ok = true;
    if (colon < 0)
        return 80;
    const QString text = host.mid(colon + 1).trimmed();
    bool isNumber = !text.isEmpty() && text.size() <= 5;
    for (const QChar c : text)
        isNumber = isNumber && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    const int port = isNumber ? text.toInt() : 0;
    if (port < 1 || port > 65535) {
        if (ok)
            *ok = false;
        return -1;
    }
    return port;
}

QString TUPnPData::UrlPath(const QString& url)
{
    QString path = url;
    path.remove(QStringLiteral("HTTP://") + UrlHost(url), Qt::CaseInsensitive);
    return path.trimmed();
}

QByteArray TUPnPData::Search(int fd, const QString& serviceName)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(target_.port);
    if (::inet_pton(AF_INET, target_.address.toLatin1().constData(), &to.sin_addr) != 1)
        return QByteArray();
    const QByteArray datagram = SearchDatagram(serviceName);
    // A failed send (no route, say) leaves the search unanswered.
    ::sendto(fd, datagram.constData(), size_t(datagram.size()), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to),
             sizeof to);
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(kSearchWaitMs);
    for (;;) {
        if (cancel_.cancelled())
            return QByteArray();
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return QByteArray();
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, int(qMin<qint64>(left, kSliceMs)));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return QByteArray();
        if (r == 0)
            continue;
        QByteArray reply(kDatagramMax, Qt::Uninitialized);
        const ssize_t n = ::recv(fd, reply.data(), size_t(reply.size()), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        // One reply datagram per search, whatever it holds.
        reply.resize(n > 0 ? qsizetype(n) : 0);
        return reply;
    }
}

bool TUPnPData::Discover()
{
    // One UDP socket for the whole search; closed on every path.
    const UniqueFd udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!udp.valid())
        return false;
    QByteArray reply;
    for (const QString& name : {QStringLiteral("WANPPPConnection"), QStringLiteral("WANIPConnection")}) {
        reply = Search(udp.get(), name);
        if (!reply.isEmpty()) {
            ServiceName = name;
            break;
        }
    }
    if (reply.isEmpty())
        return false;

    const QString location = GetHeaderValue(QStringLiteral("LOCATION"), toText(TextLines::Split(reply)));
    if (location.isEmpty())
        return false;
    bool portOk = false;
    const int port = UrlPort(location, &portOk);
    if (!portOk)
        return false;
    QString host = UrlHost(location);
    host.remove(QLatin1Char(':') + QString::number(port), Qt::CaseInsensitive);
    const QString path = UrlPath(location);
    if (host.isEmpty() || breaksLines(host) || breaksLines(path))
        return false;
    ControlHost = host;
    ControlPort = port;

    const QByteArray request =
        JoinLines({QStringLiteral("GET ") + path + QStringLiteral(" HTTP/1.1"), QStringLiteral("Accept: */*"),
                   QStringLiteral("Accept-Language: ja"), kUserAgent, QStringLiteral("Host: ") + ControlHost,
                   QString()});
    // Whatever came of the description is searched.
    QList<QByteArray> description;
    if (!Exchange(request, kDescConnectMs, kDescFirstLineMs, description))
        return false;
    ControlURL = GetXmlTagValue(QStringLiteral("controlURL"), toText(description), ServiceName);
    return true;
}

bool TUPnPData::Exchange(const QByteArray& request, int connectMs, int firstLineMs, QList<QByteArray>& body)
{
    Watched w(cancel_);
    if (!cancel_.connect(w.conn, ControlHost, quint16(ControlPort), connectMs))
        return false;
    if (!w.conn.writeAll(request))
        return false;
    // A head cut short (closed, over its limits) is a failed read.
    QList<QByteArray> head;
    if (ReplyReader::ReadLines(w.conn, head, firstLineMs, limits_) != ReplyEnd::Done || head.isEmpty()
        || !head.first().contains("200"))
        return false;
    ReplyReader::ReadLines(w.conn, body, firstLineMs, limits_);
    return true;
}

bool TUPnPData::Soap(const QString& action, const QStringList& actionLines, QStringList* body)
{
    if (ControlHost.isEmpty() || breaksLines(ControlURL) || breaksLines(ControlHost))
        return false;
    QStringList bodyLines{QStringLiteral("<?xml version=\"1.0\"?>"), soapEnvelopeHead(),
                          QStringLiteral("<SOAP-ENV:Body>")};
    bodyLines << actionLines << QStringLiteral("</SOAP-ENV:Body>") << QStringLiteral("</SOAP-ENV:Envelope>");
    for (const QString& l : actionLines)
        if (breaksLines(l))
            return false;
    const QByteArray bodyBytes = JoinLines(bodyLines);
    const QByteArray head = JoinLines(
        {QStringLiteral("POST ") + ControlURL + QStringLiteral(" HTTP/1.1"),
         QStringLiteral("SoapAction: urn:schemas-upnp-org:service:") + ServiceName + QStringLiteral(":1#") + action,
         QStringLiteral("Host: ") + ControlHost, QStringLiteral("Content-Length: ") + QString::number(bodyBytes.size()),
         QString()});

    QList<QByteArray> replyBody;
    if (!Exchange(head + bodyBytes, kSoapConnectMs, kSoapFirstLineMs, replyBody))
        return false;
    if (body)
        *body = toText(replyBody);
    return true;
}

QString TUPnPData::GetExternalIPAddress()
{
    QStringList body;
    const QString line = QStringLiteral("<m:GetExternalIPAddress xmlns:m=\"urn:schemas-upnp-org:service:")
                         + ServiceName + QStringLiteral(":1\"></m:GetExternalIPAddress>");
    if (!Soap(QStringLiteral("GetExternalIPAddress"), {line}, &body))
        return QString();
    return GetXmlTagValue(QStringLiteral("NewExternalIPAddress"), body, QString());
}

bool TUPnPData::AddPortMapping(int externalPort, int internalPort, const QString& protocol,
                               const QString& internalClient, const QString& description)
{
    if (Mapped)
        DeletePortMapping(MappedPort, MappedProtocol);
    QStringList lines = mappingActionHead(QStringLiteral("AddPortMapping"), ServiceName, externalPort, protocol);
    lines << QStringList{
        QStringLiteral("<NewInternalPort>%1</NewInternalPort>").arg(internalPort),
        QStringLiteral("<NewInternalClient>") + internalClient + QStringLiteral("</NewInternalClient>"),
        QStringLiteral("<NewEnabled>1</NewEnabled>"),
        QStringLiteral("<NewPortMappingDescription>") + description + QStringLiteral("</NewPortMappingDescription>"),
        QStringLiteral("<NewLeaseDuration>0</NewLeaseDuration>"),
        QStringLiteral("</m:AddPortMapping>"),
    };
    if (!Soap(QStringLiteral("AddPortMapping"), lines, nullptr))
        return false;
    MappedPort = externalPort;
    MappedProtocol = protocol;
    Mapped = true;
    return true;
}

bool TUPnPData::DeletePortMapping(int externalPort, const QString& protocol)
{
    QStringList lines = mappingActionHead(QStringLiteral("DeletePortMapping"), ServiceName, externalPort, protocol);
    lines << QStringList{
        QStringLiteral("<NewLeaseDuration>0</NewLeaseDuration>"),
        QStringLiteral("</m:DeletePortMapping>"),
    };
    if (!Soap(QStringLiteral("DeletePortMapping"), lines, nullptr))
        return false;
    MappedPort = -1;
    MappedProtocol.clear();
    Mapped = false;
    return true;
}

} // namespace corvid

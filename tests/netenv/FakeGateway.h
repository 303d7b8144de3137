#pragma once
// A fake internet gateway on 127.0.0.1: SSDP answers only the
// WANIPConnection search (with a stale LOCATION line first), the
// description lists two services, and SOAP calls are answered as the
// switches below say.
#include "netenv/FakeNet.h"

#include <QByteArray>
#include <atomic>
#include <memory>

namespace corvid::test {

class FakeGateway {
public:
    std::atomic<int> soapDelayMs{0};       // wait before answering a SOAP call
    std::atomic<bool> soapSilent{false};   // accept SOAP calls, never answer
    std::atomic<bool> refuseMapping{false};
    std::atomic<bool> noAddress{false};    // 200 without NewExternalIPAddress

    FakeGateway()
        : http(std::make_unique<FakeHttp>([this](int fd, const QByteArray& req, const FakeHttp& s) { answer(fd, req, s); }))
        , ssdp(std::make_unique<FakeSsdp>([this](const QByteArray& d) { return searchReply(d); }))
    {
    }
    quint16 ssdpPort() const { return ssdp->port(); }
    quint16 httpPort() const { return http->port(); }
    QList<QByteArray> datagrams() const { return ssdp->datagrams(); }
    QList<QByteArray> requests() const { return http->requests(); }
    // The SOAP requests only, in order.
    QList<QByteArray> soapRequests() const
    {
        QList<QByteArray> out;
        for (const QByteArray& r : requests())
            if (r.startsWith("POST "))
                out << r;
        return out;
    }
    int soapCount() const { return http->requestCount("POST "); }
    static QByteArray action(const QByteArray& request)
    {
        const qsizetype at = request.indexOf(":1#");
        return at < 0 ? QByteArray() : request.mid(at + 3, request.indexOf('\r', at) - at - 3);
    }

    static QByteArray description()
    {
        return "<?xml version=\"1.0\"?>\r\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\">\r\n<device>\r\n"
               "<serviceList>\r\n<service>\r\n"
               "<serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType>\r\n"
               "<controlURL>/ctl/CommonIfc</controlURL>\r\n</service>\r\n<service>\r\n"
               "<serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>\r\n"
               "<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId>\r\n"
               "  <controlURL>/ctl/IPConn</controlURL>\r\n"
               "<eventSubURL>/evt/IPConn</eventSubURL>\r\n</service>\r\n</serviceList>\r\n</device>\r\n</root>\r\n";
    }

private:
    QByteArray searchReply(const QByteArray& datagram)
    {
        if (!datagram.contains("WANIPConnection"))
            return {};
        return "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nLOCATION: http://127.0.0.1:1/stale.xml\r\n"
               "ST: urn:schemas-upnp-org:service:WANIPConnection:1\r\nlocation: http://127.0.0.1:"
               + QByteArray::number(http->port()) + "/desc.xml\r\n\r\n";
    }
    void answer(int fd, const QByteArray& request, const FakeHttp& server)
    {
        if (request.startsWith("GET /desc.xml ")) {
            sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n" + description());
            return;
        }
        if (!request.startsWith("POST /ctl/IPConn "))
            return;
        if (soapSilent) {
            idle(server, 60000);
            return;
        }
        idle(server, soapDelayMs);
        const QByteArray act = action(request);
        if (act == "AddPortMapping" && refuseMapping) {
            sendAll(fd, "HTTP/1.1 500 Internal Server Error\r\n\r\n");
            return;
        }
        QByteArray body = "<?xml version=\"1.0\"?>\r\n<s:Envelope>\r\n<s:Body>\r\n<u:" + act + "Response>\r\n";
        if (act == "GetExternalIPAddress" && !noAddress)
            body += "<NewExternalIPAddress>203.0.113.7</NewExternalIPAddress>\r\n";
        body += "</u:" + act + "Response>\r\n</s:Body>\r\n</s:Envelope>\r\n";
        sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n" + body);
    }

    std::unique_ptr<FakeHttp> http;
    std::unique_ptr<FakeSsdp> ssdp;
};

} // namespace corvid::test

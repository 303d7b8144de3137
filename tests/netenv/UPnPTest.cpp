#include "core/netenv/TUPnPData.h"
#include "netenv/FakeGateway.h"
#include "settings/PrintQt.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>


using namespace corvid;
using namespace corvid::test;

namespace {

QByteArray crlf(std::initializer_list<const char*> lines)
{
    QByteArray out;
    for (const char* l : lines)
        out += QByteArray(l) + "\r\n";
    return out;
}

const QByteArray kEnvelope =
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
    "SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">";

// The bytes a gateway must receive for one SOAP action.
QByteArray soapBytes(const char* action, std::initializer_list<const char*> actionLines)
{
    QByteArray body = "<?xml version=\"1.0\"?>\r\n" + kEnvelope + "\r\n<SOAP-ENV:Body>\r\n";
    body += crlf(actionLines);
    body += "</SOAP-ENV:Body>\r\n</SOAP-ENV:Envelope>\r\n";
    return "POST /ctl/IPConn HTTP/1.1\r\nSoapAction: urn:schemas-upnp-org:service:WANIPConnection:1#"
           + QByteArray(action) + "\r\nHost: 127.0.0.1\r\nContent-Length: " + QByteArray::number(body.size())
           + "\r\n\r\n" + body;
}

const QByteArray kAdd6256 = soapBytes(
    "AddPortMapping",
    {"<m:AddPortMapping xmlns:m=\"urn:schemas-upnp-org:service:WANIPConnection:1\">", "<NewRemoteHost></NewRemoteHost>",
     "<NewExternalPort>6256</NewExternalPort>", "<NewProtocol>TCP</NewProtocol>",
     "<NewInternalPort>6256</NewInternalPort>", "<NewInternalClient>192.168.0.20</NewInternalClient>",
     "<NewEnabled>1</NewEnabled>", "<NewPortMappingDescription>Corvid</NewPortMappingDescription>",
     "<NewLeaseDuration>0</NewLeaseDuration>", "</m:AddPortMapping>"});
const QByteArray kDelete6256 = soapBytes(
    "DeletePortMapping",
    {"<m:DeletePortMapping xmlns:m=\"urn:schemas-upnp-org:service:WANIPConnection:1\">",
     "<NewRemoteHost></NewRemoteHost>", "<NewExternalPort>6256</NewExternalPort>", "<NewProtocol>TCP</NewProtocol>",
     "<NewLeaseDuration>0</NewLeaseDuration>", "</m:DeletePortMapping>"});

SsdpTarget at(quint16 port)
{
    return SsdpTarget{QStringLiteral("127.0.0.1"), port};
}

TEST(UPnPText, HeaderValueUrlPartsAndTagValue)
{
    const QStringList reply{"HTTP/1.1 200 OK", "LOCATION: http://a/1", "Server: x", "location:http://b/2 ",
                            "LOCATIONX: z"};
    // Last matching line wins, prefix compare ignores case, one character skipped.
    // (a longer name matches too: its next character is the one skipped)
    EXPECT_EQ(TUPnPData::GetHeaderValue("LOCATION", reply), ": z");
    EXPECT_EQ(TUPnPData::GetHeaderValue("LOCATION", reply.mid(0, 4)), "http://b/2");
    EXPECT_EQ(TUPnPData::GetHeaderValue("Server", reply), "x");
    EXPECT_EQ(TUPnPData::GetHeaderValue("ST", reply), "");

    const struct {
        const char* url;
        const char* host;
        int port;
        const char* controlHostPath;
    } urls[] = {
        {"http://192.168.0.1:2869/upnp/desc.xml", "192.168.0.1:2869", 2869, "/upnp/desc.xml"},
        {"http://192.168.0.1/desc.xml", "192.168.0.1", 80, "/desc.xml"},
        {"HTTP://10.0.0.1: 5000 /a/b", "10.0.0.1: 5000 ", 5000, "/a/b"},
        {"http://10.0.0.1:49152", "10.0.0.1:49152", 49152, ""},
        {"hTtP://gw.local:80/x", "gw.local:80", 80, "/x"},
    };
    for (const auto& u : urls) {
        EXPECT_EQ(TUPnPData::UrlHost(u.url), u.host) << u.url;
        bool ok = false;
        EXPECT_EQ(TUPnPData::UrlPort(u.url, &ok), u.port) << u.url;
        EXPECT_TRUE(ok);
        EXPECT_EQ(TUPnPData::UrlPath(u.url), u.controlHostPath) << u.url;
    }
    for (const char* bad : {"http://1.2.3.4:x/", "http://1.2.3.4:/", "http://1.2.3.4:0/", "http://1.2.3.4:70000/"}) {
        bool ok = true;
        TUPnPData::UrlPort(bad, &ok);
        EXPECT_FALSE(ok) << bad;
    }

    const QStringList desc = QString::fromLatin1(FakeGateway::description()).split("\r\n");
    // The first controlURL after the line naming the service, not the document's first.
    EXPECT_EQ(TUPnPData::GetXmlTagValue("controlURL", desc, "WANIPConnection"), "/ctl/IPConn");
    EXPECT_EQ(TUPnPData::GetXmlTagValue("controlURL", desc, ""), "/ctl/CommonIfc");
    EXPECT_EQ(TUPnPData::GetXmlTagValue("controlURL", desc, "NoSuchService"), "/ctl/CommonIfc");
    EXPECT_EQ(TUPnPData::GetXmlTagValue("CONTROLurl", {"<controlURL>/upnp/control/WANIPConn1</controlURL>"}, ""),
              "/upnp/control/WANIPConn1");
    // An element sharing its line with others is cut wrongly, as the lookup assumes one per line.
    EXPECT_EQ(TUPnPData::GetXmlTagValue("controlURL", {"<a>1</a><controlURL>/c</controlURL>"}, ""),
              "trolURL>/c");
    EXPECT_EQ(TUPnPData::GetXmlTagValue("NewExternalIPAddress", {"<x>", "</x>"}, ""), "");
    EXPECT_EQ(TUPnPData::GetXmlTagValue("a", {"<a>"}, ""), "");
}

TEST(UPnPWire, SearchDatagramsAreExact)
{
    const QByteArray ppp = crlf({"M-SEARCH * HTTP/1.1", "MX: 3", "HOST: 239.255.255.250:1900", "MAN: \"ssdp:discover\"",
                                 "ST: urn:schemas-upnp-org:service:WANPPPConnection:1", ""});
    EXPECT_EQ(TUPnPData::SearchDatagram("WANPPPConnection"), ppp);
    EXPECT_EQ(ppp.size(), 133);
    EXPECT_EQ(TUPnPData::SearchDatagram("WANIPConnection").size(), 132);
}

TEST(UPnPGateway, DiscoverQueryMapReplaceAndRemoveAtDestruction)
{
    FakeGateway gw;
    {
        TUPnPData upnp(at(gw.ssdpPort()));
        ASSERT_TRUE(upnp.Discover());
        EXPECT_EQ(upnp.ServiceName, "WANIPConnection");
        EXPECT_EQ(upnp.ControlHost, "127.0.0.1");
        EXPECT_EQ(upnp.ControlPort, gw.httpPort());
        EXPECT_EQ(upnp.ControlURL, "/ctl/IPConn");
        const QList<QByteArray> searches = gw.datagrams();
        ASSERT_EQ(searches.size(), 2);
        EXPECT_EQ(searches[0], TUPnPData::SearchDatagram("WANPPPConnection"));
        EXPECT_EQ(searches[1].size(), 132);
        ASSERT_EQ(gw.requests().size(), 1);
        EXPECT_EQ(gw.requests()[0], crlf({"GET /desc.xml HTTP/1.1", "Accept: */*", "Accept-Language: ja",
                                          "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1)",
                                          "Host: 127.0.0.1", ""}));

        EXPECT_EQ(upnp.GetExternalIPAddress(), "203.0.113.7");
        EXPECT_EQ(gw.soapRequests().value(0),
                  soapBytes("GetExternalIPAddress", {"<m:GetExternalIPAddress xmlns:m=\"urn:schemas-upnp-org:service:"
                                                     "WANIPConnection:1\"></m:GetExternalIPAddress>"}));
        gw.noAddress = true;
        EXPECT_EQ(upnp.GetExternalIPAddress(), "");

        ASSERT_TRUE(upnp.AddPortMapping(6256, 6256, "TCP", "192.168.0.20", "Corvid"));
        EXPECT_TRUE(upnp.Mapped);
        EXPECT_EQ(upnp.MappedPort, 6256);
        EXPECT_EQ(gw.soapRequests().value(2), kAdd6256);
        // A second start replaces the mapping: delete, then add.
        ASSERT_TRUE(upnp.AddPortMapping(6256, 6256, "TCP", "192.168.0.20", "Corvid"));
        EXPECT_EQ(gw.soapRequests().value(3), kDelete6256);
        EXPECT_EQ(gw.soapRequests().value(4), kAdd6256);

        gw.refuseMapping = true;
        EXPECT_FALSE(upnp.AddPortMapping(7000, 7000, "TCP", "192.168.0.20", "Corvid"));
        // The old mapping was removed before the refused request; none is left in force.
        EXPECT_EQ(gw.action(gw.soapRequests().value(5)), "DeletePortMapping");
        EXPECT_FALSE(upnp.Mapped);
        gw.refuseMapping = false;
        ASSERT_TRUE(upnp.AddPortMapping(6256, 6256, "TCP", "192.168.0.20", "Corvid"));
        ASSERT_EQ(gw.soapRequests().size(), 8);
        EXPECT_EQ(gw.soapRequests()[7], kAdd6256);
    }
    // Destruction removes the mapping in force.
    ASSERT_EQ(gw.soapRequests().size(), 9);
    EXPECT_EQ(gw.soapRequests()[8], kDelete6256);
}

TEST(UPnPGateway, UnansweredSearchesFailWithinTheirWaits)
{
    FakeSsdp silent([](const QByteArray&) { return QByteArray(); });
    TUPnPData upnp(at(silent.port()));
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(upnp.Discover());
    // Both waits ran out, and nothing more: slack of twice their length.
    EXPECT_GE(t.elapsed(), 2 * TUPnPData::kSearchWaitMs - 20);
    EXPECT_LT(t.elapsed(), 3 * 2 * TUPnPData::kSearchWaitMs);
    EXPECT_EQ(silent.datagrams().size(), 2);
    // No SOAP call is sent for a gateway that was never found.
    EXPECT_FALSE(upnp.AddPortMapping(6256, 6256, "TCP", "192.168.0.20", "Corvid"));
    EXPECT_EQ(upnp.GetExternalIPAddress(), "");
}

// A gateway whose answers are hostile or broken: each search ends in failure
// (or an empty control URL) within the overall limits, memory stays bounded.
TEST(UPnPGateway, HostileRepliesEndBoundedAndFail)
{
    enum Mode { EndlessLine, EndlessLines, SilentAfterHead, NotFound, GarbageXml, ControlUrlWithBreak };
    const struct {
        Mode mode;
        bool discovers;
    } cases[] = {{EndlessLine, false}, {EndlessLines, false}, {SilentAfterHead, true},
                 {NotFound, false},    {GarbageXml, true},    {ControlUrlWithBreak, true}};
    for (const auto& c : cases) {
        FakeHttp http([&](int fd, const QByteArray& req, const FakeHttp& s) {
            if (req.startsWith("POST ")) {
                sendAll(fd, "HTTP/1.1 200 OK\r\n\r\n<NewExternalIPAddress>1.2.3.4</NewExternalIPAddress>\r\n");
                return;
            }
            switch (c.mode) {
            case EndlessLine:
                sendAll(fd, "HTTP/1.1 200 OK\r\n");
                while (!s.stopping() && sendAll(fd, QByteArray(4096, 'x'))) {}
                break;
            case EndlessLines:
                sendAll(fd, "HTTP/1.1 200 OK\r\n");
                while (!s.stopping() && sendAll(fd, "X-Filler: 1\r\n")) {}
                break;
            case SilentAfterHead:
                sendAll(fd, "HTTP/1.1 200 OK\r\n\r\n");
                idle(s, 30000);
                break;
            case NotFound:
                sendAll(fd, "HTTP/1.1 404 Not Found\r\n\r\n");
                break;
            case GarbageXml:
                sendAll(fd, QByteArray("HTTP/1.1 200 OK\r\n\r\n<<controlURL>>\x01\xff<controlURL>\r\n<a\r\n", 50));
                break;
            case ControlUrlWithBreak:
                sendAll(fd, "HTTP/1.1 200 OK\r\n\r\nWANIPConnection\r\n<controlURL>/c\rX-Forged: 1</controlURL>\r\n");
                break;
            }
        });
        FakeSsdp ssdp([&](const QByteArray& d) -> QByteArray {
            if (!d.contains("WANIPConnection"))
                return {};
            return "HTTP/1.1 200 OK\r\nLOCATION: http://127.0.0.1:" + QByteArray::number(http.port()) + "/d.xml\r\n\r\n";
        });
        TUPnPData upnp(at(ssdp.port()), ReplyLimits{16384, 4096, 1024 * 1024, 3000, 500});
        QElapsedTimer t;
        t.start();
        EXPECT_EQ(upnp.Discover(), c.discovers) << c.mode;
        // Ended by a size limit, or at the latest by the first search's wait
        // and the description's silence (1.5 s); 9 s is six times that.
        EXPECT_LT(t.elapsed(), 9000) << c.mode;
        if (c.mode == ControlUrlWithBreak) {
            EXPECT_TRUE(upnp.ControlURL.contains('\r'));
            // A control URL that would forge a header line is never sent.
            EXPECT_EQ(upnp.GetExternalIPAddress(), "");
            for (const QByteArray& r : http.requests())
                EXPECT_FALSE(r.startsWith("POST ")) << r.constData();
        }
    }
}

TEST(UPnPGateway, ReplyDatagramsThatLeadNowhereFail)
{
    const QByteArray replies[] = {
        "HTTP/1.1 200 OK\r\nST: x\r\n\r\n",                          // no LOCATION
        "HTTP/1.1 200 OK\r\nLOCATION: http://127.0.0.1:port/\r\n",   // port not a number
        "HTTP/1.1 200 OK\r\nLOCATION: http://127.0.0.1:" + QByteArray::number(65000) + "/x\r\n",  // refused
        QByteArray(8192, '\n'),
    };
    for (const QByteArray& r : replies) {
        FakeSsdp ssdp([&](const QByteArray&) { return r; });
        TUPnPData upnp(at(ssdp.port()));
        EXPECT_FALSE(upnp.Discover()) << r.left(60).constData();
        // The first search was answered (any text counts as an answer).
        EXPECT_EQ(ssdp.datagrams().size(), 1);
    }
}

} // namespace

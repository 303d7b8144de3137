// The real SSDP address, on loopback only: runs inside a private network
// namespace (lo is its only interface), where multicast on lo can be
// switched on without touching the machine's own network.
#include "core/netenv/TUPnPData.h"
#include "netenv/FakeGateway.h"

#include <QFile>
#include <gtest/gtest.h>

#include <cstdlib>

using namespace corvid;
using namespace corvid::test;

namespace {

bool onlyLoopbackHere()
{
    QFile dev(QStringLiteral("/proc/net/dev"));
    if (!dev.open(QIODevice::ReadOnly))
        return false;
    int interfaces = 0;
    bool lo = false;
    for (const QByteArray& line : dev.readAll().split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            continue;
        ++interfaces;
        lo = lo || line.left(colon).trimmed() == "lo";
    }
    return lo && interfaces == 1;
}

TEST(SsdpMulticast, SearchReachesAResponderOnTheRealAddress)
{
    if (!onlyLoopbackHere())
        GTEST_SKIP() << "needs a private network namespace with only lo";
    if (std::system("ip link set lo multicast on && ip route replace 239.0.0.0/8 dev lo") != 0)
        GTEST_SKIP() << "cannot switch on multicast on lo";

    // A responder that joined the SSDP group on lo.
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(s, 0);
    const int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(1900);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ip_mreq group{};
    ::inet_pton(AF_INET, "239.255.255.250", &group.imr_multiaddr);
    group.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group), 0);

    FakeGateway gw;  // its description and SOAP server; its own SSDP port stays unused
    std::atomic<int> seen{0};
    std::thread responder([&] {
        for (int i = 0; i < 2; ++i) {
            pollfd p{s, POLLIN, 0};
            if (::poll(&p, 1, 3000) <= 0)
                return;
            char buf[2048];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0)
                return;
            ++seen;
            if (!QByteArray(buf, n).contains("WANIPConnection"))
                continue;
            const QByteArray reply = "HTTP/1.1 200 OK\r\nLOCATION: http://127.0.0.1:" + QByteArray::number(gw.httpPort())
                                     + "/desc.xml\r\n\r\n";
            ::sendto(s, reply.constData(), size_t(reply.size()), 0, reinterpret_cast<sockaddr*>(&from), len);
            return;
        }
    });
    TUPnPData upnp;  // the real destination, 239.255.255.250:1900
    EXPECT_TRUE(upnp.Discover());
    responder.join();
    ::close(s);
    EXPECT_EQ(seen, 2);
    EXPECT_EQ(upnp.ServiceName, "WANIPConnection");
    EXPECT_EQ(upnp.ControlURL, "/ctl/IPConn");
}

} // namespace

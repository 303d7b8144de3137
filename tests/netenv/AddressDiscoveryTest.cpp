#include "core/netenv/AddressDiscovery.h"
#include "core/netenv/NetworkEnvironment.h"

#include <QSysInfo>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <atomic>
#include <thread>
#include <vector>

using corvid::AddressDiscovery;
using corvid::NetworkEnvironment;

namespace {

TEST(IsPrivateAddress, TextRules)
{
    const struct {
        const char* text;
        bool expected;
    } cases[] = {
        {"192.168.1.20", true},  {"10.0.0.7", true},       {"172.16.0.1", true},
        {"172.31.255.254", true}, {"172.15.0.1", false},   {"172.32.0.1", false},
        {"172.217.3.4", false},  {"172.1.2.3", false},     {"8.8.8.8", false},
        {"127.0.0.1", false},    {"", false},              {"172.", false},
        {"172.x.0.1", false},    {"172..0.1", false},      {"172.-16.0.1", false},
        {"172.016.0.1", true},   {"172.20", true},         {"172.99999999999.0.1", false},
        {"169.254.1.1", false},  {"100.64.0.1", false},    {"10", false},
        {"110.0.0.1", false},    {"192.169.0.1", false},   {"1.10.0.1", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AddressDiscovery::IsPrivateAddress(QString::fromLatin1(c.text)), c.expected)
            << c.text;
}

TEST(LocalNames, HostNameIsTheSystemsName)
{
    EXPECT_EQ(AddressDiscovery::GetLocalHostName(), QSysInfo::machineHostName());
}

// The resolver's own answer for this machine's name, by the plain
// non-reentrant call, as an oracle independent of the code under test.
QString resolverFirstAddress()
{
    const QByteArray name = QSysInfo::machineHostName().toUtf8();
    const hostent* h = ::gethostbyname(name.constData());
    if (!h || h->h_addrtype != AF_INET || !h->h_addr_list || !h->h_addr_list[0])
        return QString();
    char text[INET_ADDRSTRLEN] = {};
    return QString::fromLatin1(::inet_ntop(AF_INET, h->h_addr_list[0], text, sizeof text));
}

TEST(LocalNames, AddressIsTheResolversFirstIpv4Entry)
{
    const QString address = AddressDiscovery::GetLocalAddress();
    EXPECT_EQ(address, resolverFirstAddress());
    // This machine's name always resolves here (the hosts file names it), so
    // the comparison above is never between two empty answers.
    ASSERT_FALSE(address.isEmpty());
    in_addr parsed{};
    EXPECT_EQ(::inet_pton(AF_INET, address.toLatin1().constData(), &parsed), 1) << address.toStdString();
}

TEST(NetworkEnvironment, WanAddressIsSharedSafely)
{
    NetworkEnvironment::setWanAddress(QStringLiteral("203.0.113.5"));
    EXPECT_EQ(NetworkEnvironment::wanAddress(), QStringLiteral("203.0.113.5"));

    const QString a = QStringLiteral("192.168.0.10");
    const QString b = QString();
    std::atomic<bool> bad{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                if (t == 0) {
                    // Fresh texts, so readers may hold the last reference.
                    NetworkEnvironment::setWanAddress(i % 2 ? QString(a.data(), a.size()) : b);
                } else {
                    const QString v = NetworkEnvironment::wanAddress();
                    if (v != a && v != b && v != QStringLiteral("203.0.113.5"))
                        bad = true;
                }
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    EXPECT_FALSE(bad);
    NetworkEnvironment::setWanAddress(QString());
    EXPECT_TRUE(NetworkEnvironment::wanAddress().isEmpty());
}

} // namespace

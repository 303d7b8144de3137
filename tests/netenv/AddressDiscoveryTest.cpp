#include "core/netenv/AddressDiscovery.h"
#include "core/netenv/LocalAddressLookup.h"
#include "core/protocol/DetachedLookup.h"
#include "core/protocol/HostResolver.h"
#include "core/session/UiHandOver.h"
#include "support/StuckResolver.h"
#include "support/WaitFor.h"

#include <QCoreApplication>
#include <QSysInfo>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>

using corvid::AddressDiscovery;
using corvid::DetachedLookup;
using corvid::IHostResolver;
using corvid::LocalAddressLookup;
using corvid::test::StuckResolver;
using corvid::UiHandOver;
using corvid::test::waitFor;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

bool helpersGone()
{
    return waitFor([] { return DetachedLookup::helpersAlive() == 0; });
}

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

TEST(IsGlobalIPv6, OnlyTheGlobalUnicastRangeReachesThisMachineDirectly)
{
    const struct {
        const char* text;
        bool expected;
    } cases[] = {
        {"2a01:4f8:c17:1::2", true}, {"2001:db8::1", true},    {"3fff::1", true},
        {"::1", false},              {"fe80::1", false},       {"fd12:3456::1", false},
        {"fc00::1", false},          {"::ffff:8.8.8.8", false}, {"ff02::1", false},
        {"::", false},               {"8.8.8.8", false},        {"", false},
        {"2001:db8::1%eth0", false}, {"4000::1", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AddressDiscovery::IsGlobalIPv6(QString::fromLatin1(c.text)), c.expected) << c.text;
    // In a private network namespace only loopback exists: no global address.
    const QString own = AddressDiscovery::GetGlobalIPv6Address();
    EXPECT_TRUE(own.isEmpty() || AddressDiscovery::IsGlobalIPv6(own)) << qPrintable(own);
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

TEST(LocalNames, LookupThatNeverAnswersEndsAtTheLimitAndOnCancel)
{
    auto resolver = std::make_shared<StuckResolver>();
    constexpr int kLimitMs = 500;
    const auto start = Clock::now();
    EXPECT_EQ(AddressDiscovery::GetLocalAddress(kLimitMs, nullptr, resolver), QString());
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, milliseconds(kLimitMs - 1));
    EXPECT_LT(waited, milliseconds(3 * kLimitMs));

    std::atomic<bool> cancel{false};
    auto lookup = std::async(std::launch::async, [&] { return AddressDiscovery::GetLocalAddress(-1, &cancel, resolver); });
    ASSERT_TRUE(resolver->waitAsked(2));
    cancel = true;
    ASSERT_EQ(lookup.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(lookup.get(), QString());

    resolver->letGo();
    EXPECT_TRUE(helpersGone());
    EXPECT_EQ(AddressDiscovery::GetLocalAddress(5000, nullptr, resolver), QStringLiteral("192.168.7.7"));
}

TEST(LocalNames, TheUiThreadGetsTheAddressWithoutWaitingForIt)
{
    UiHandOver ui;
    {
        // A name service that never answers: the answer is empty, at the limit.
        auto resolver = std::make_shared<StuckResolver>();
        LocalAddressLookup lookup(ui, 300, resolver);
        QStringList answers;
        lookup.request([&](const QString& a) { answers << (QStringLiteral("first:") + a); });
        lookup.request([&](const QString& a) { answers << (QStringLiteral("second:") + a); });
        ASSERT_TRUE(waitFor([&] { return answers.size() == 2; }));
        EXPECT_EQ(answers, (QStringList{"first:", "second:"}));
        EXPECT_EQ(resolver->asked(), 1);  // one lookup for both requests

        // A request returns though its lookup is stuck for good; closing
        // then neither waits for the lookup nor delivers it.
        bool late = false;
        {
            LocalAddressLookup unlimited(ui, -1, resolver);
            unlimited.request([&](const QString&) { late = true; });
            ASSERT_TRUE(resolver->waitAsked(2));
        }
        resolver->letGo();
        EXPECT_TRUE(helpersGone());
        QCoreApplication::processEvents();
        EXPECT_FALSE(late);
    }
    // The system's name service gives what the resolver lists first.
    LocalAddressLookup lookup(ui);
    QString address = QStringLiteral("none yet");
    lookup.request([&](const QString& a) { address = a; });
    ASSERT_TRUE(waitFor([&] { return address != QStringLiteral("none yet"); }));
    EXPECT_EQ(address, resolverFirstAddress());
}

} // namespace

#include "core/security/PeerPins.h"
#include "core/security/TrustRules.h"
#include "security/DescribePins.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

using namespace corvid;
using corvid::test::describe;

namespace corvid {
static void PrintTo(TrustVerdict v, std::ostream* os)
{
    static const char* const names[] = { "Verified",   "New",        "NotEncrypted",
                                         "KeyChanged", "Downgraded", "InvitationMismatch" };
    *os << names[int(v)];
}
} // namespace corvid

namespace {

using Pin = PeerPins::Pin;

QByteArray key(char c)
{
    return QByteArray(32, c);
}

const QByteArray K1 = key('\x01');
const QByteArray K2 = key('\x02');
const QString A = QStringLiteral("192.0.2.1");
const QString B = QStringLiteral("192.0.2.2");
const QString alice = QStringLiteral("alice");
const QString bob = QStringLiteral("bob");

TrustInput encrypted(const QString& name, const QString& address, const QByteArray& fp)
{
    return TrustInput{ name, address, true, fp };
}

TrustInput plain(const QString& name, const QString& address)
{
    return TrustInput{ name, address, false, {} };
}

struct Row {
    const char* what;
    QList<Pin> before; // an empty name is an invitation's key
    TrustInput in;
    TrustVerdict verdict;
    QList<Pin> after;
};

} // namespace

// Every rule, each pin that may or may not be made, and the pins a verdict
// must leave alone.
TEST(TrustRules, VerdictsAndPins)
{
    using V = TrustVerdict;
    const Pin aliceA{ K1, A, alice };
    const Row rows[] = {
        { "pinned key", { aliceA }, encrypted(alice, A, K1), V::Verified, { aliceA } },
        { "first sight", {}, encrypted(alice, A, K1), V::New, { aliceA } },
        { "original peer", {}, plain(alice, A), V::NotEncrypted, {} },
        { "key changed", { aliceA }, encrypted(alice, A, K2), V::KeyChanged, { aliceA } },
        { "downgrade after a pin", { aliceA }, plain(alice, A), V::Downgraded, { aliceA } },
        { "invitation met", { { K1, A, {} } }, encrypted(alice, A, K1), V::Verified, { aliceA } },
        { "invitation outranks an older pin",
          { { K2, A, alice }, { K1, A, {} } },
          encrypted(alice, A, K1),
          V::Verified,
          { aliceA } },
        { "invitation mismatched",
          { { K1, A, {} } },
          encrypted(alice, A, K2),
          V::InvitationMismatch,
          { { K1, A, {} } } },
        { "invitation mismatched despite a pin",
          { { K2, A, alice }, { K1, A, {} } },
          encrypted(alice, A, K2),
          V::InvitationMismatch,
          { { K2, A, alice }, { K1, A, {} } } },
        { "invitation downgraded", { { K1, A, {} } }, plain(bob, A), V::Downgraded, { { K1, A, {} } } },
        { "invitation for another address",
          { { K1, B, {} } },
          encrypted(alice, A, K2),
          V::New,
          { { K1, B, {} }, { K2, A, alice } } },
        { "same name at another address",
          { aliceA },
          encrypted(alice, B, K2),
          V::New,
          { aliceA, { K2, B, alice } } },
        { "same name at another address, plain", { aliceA }, plain(alice, B), V::NotEncrypted, { aliceA } },
        { "another name at the same address",
          { aliceA },
          encrypted(bob, A, K2),
          V::New,
          { aliceA, { K2, A, bob } } },
        { "another name at the same address, plain", { aliceA }, plain(bob, A), V::NotEncrypted, { aliceA } },
        { "the address as a dual-stack listener sees it",
          { aliceA },
          encrypted(alice, QStringLiteral("::ffff:192.0.2.1"), K2),
          V::KeyChanged,
          { aliceA } },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        PeerPins pins;
        for (const Pin& p : row.before)
            ASSERT_TRUE(p.name.isEmpty() ? pins.expect(p.address, p.fingerprint)
                                         : pins.pin(p.name, p.address, p.fingerprint));
        EXPECT_EQ(TrustRules::Judge(pins, row.in), row.verdict);
        EXPECT_EQ(describe(pins.pins()), describe(row.before)) << "Judge changed the pins";
        EXPECT_EQ(TrustRules::JudgeAndPin(pins, row.in), row.verdict);
        EXPECT_EQ(describe(pins.pins()), describe(row.after));
    }
}

// Connections of a never-seen peer with different keys: judging and
// pinning are one step, so only the first is New and the rest see its pin.
// Repeated, since a gap between the two shows only when threads meet in it.
TEST(TrustRules, OnlyOneOfRacingFirstSightsIsNew)
{
    constexpr int kThreads = 4;
    for (int round = 0; round < 1000; ++round) {
        PeerPins pins;
        std::atomic<int> fresh{ 0 };
        std::atomic<int> changed{ 0 };
        std::latch start(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                const TrustVerdict v = TrustRules::JudgeAndPin(pins, encrypted(alice, A, key(char(t + 1))));
                if (v == TrustVerdict::New)
                    ++fresh;
                else if (v == TrustVerdict::KeyChanged)
                    ++changed;
            });
        for (auto& t : threads)
            t.join();
        ASSERT_EQ(fresh.load(), 1) << "round " << round;
        ASSERT_EQ(changed.load(), kThreads - 1) << "round " << round;
        ASSERT_EQ(pins.pins().size(), 1);
    }
}

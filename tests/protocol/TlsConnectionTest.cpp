// A connection turned TLS: what each side learns of the other, both
// directions at once through the one lock, and the switch refusing
// plaintext that was already waiting.
#include "LoopbackPeer.h"

#include "core/security/Identity.h"
#include "core/security/TlsContext.h"
#include "core/security/VerificationCode.h"

#include <gtest/gtest.h>

#include <thread>

using namespace corvid;
using namespace corvid::test;

namespace {

struct TlsPair {
    ConnPair pair = makeConnPair();
    std::shared_ptr<const TlsContext> clientTls = TlsContext::Make(Identity::Create());
    std::shared_ptr<const TlsContext> serverTls = TlsContext::Make(Identity::Create());
    TlsStream::Result serverResult;

    // Both handshakes at once; the client's result is returned.
    TlsStream::Result handshake(int timeoutMs = 5000)
    {
        std::thread server([&] { serverResult = pair.server.startTls(*serverTls, TlsRole::Server, timeoutMs); });
        TlsStream::Result r = pair.client.startTls(*clientTls, TlsRole::Client, timeoutMs);
        server.join();
        return r;
    }
};

QByteArray pattern(qsizetype n, char seed)
{
    QByteArray b(n, '\0');
    for (qsizetype i = 0; i < n; ++i)
        b[i] = char(seed + i * 7 + i / 4093);
    return b;
}

} // namespace

TEST(TlsConnection, EachSideLearnsTheOthersKeyAndBothShareTheExporter)
{
    TlsPair t;
    ASSERT_EQ(t.handshake().failure, TlsStream::Failure::None);
    ASSERT_EQ(t.serverResult.failure, TlsStream::Failure::None);
    ASSERT_TRUE(t.pair.client.encrypted() && t.pair.server.encrypted());
    EXPECT_EQ(t.pair.client.peerFingerprint(), t.serverTls->identity().fingerprint());
    EXPECT_EQ(t.pair.server.peerFingerprint(), t.clientTls->identity().fingerprint());
    EXPECT_NE(t.clientTls->identity().fingerprint(), t.serverTls->identity().fingerprint());
    const QByteArray a = t.pair.client.tls()->exportKey(VerificationCode::kExporterLabel, 32);
    EXPECT_EQ(a.size(), 32);
    EXPECT_EQ(a, t.pair.server.tls()->exportKey(VerificationCode::kExporterLabel, 32));
    EXPECT_EQ(t.pair.client.tls()->cipherName(), QStringLiteral("TLS_AES_128_GCM_SHA256"));
}

// A reader and a writer on each end, on four threads, 8 MiB each way: the
// stream's lock must let both through without mixing records.
TEST(TlsConnection, BothDirectionsAtOnceArriveWhole)
{
    TlsPair t;
    ASSERT_EQ(t.handshake().failure, TlsStream::Failure::None);
    const QByteArray up = pattern(8 << 20, 'a');
    const QByteArray down = pattern(8 << 20, 'z');
    const auto readAll = [](TcpConnection& c, qsizetype n) {
        QByteArray got;
        while (got.size() < n && c.readSome(got, n - got.size(), 10000) == ReadStatus::Ok) {
        }
        return got;
    };
    QByteArray atServer;
    QByteArray atClient;
    bool wroteUp = false;
    bool wroteDown = false;
    std::thread w1([&] { wroteUp = t.pair.client.writeAll(up); });
    std::thread w2([&] { wroteDown = t.pair.server.writeAll(down); });
    std::thread r1([&] { atServer = readAll(t.pair.server, up.size()); });
    atClient = readAll(t.pair.client, down.size());
    w1.join();
    w2.join();
    r1.join();
    EXPECT_TRUE(wroteUp && wroteDown);
    EXPECT_TRUE(atServer == up);
    EXPECT_TRUE(atClient == down);
}

TEST(TlsConnection, PlaintextWaitingAtTheSwitchFailsItAndShutsTheConnection)
{
    TlsPair t;
    // A block's line and, in the same write, bytes behind it: as an
    // injection right behind a Connect block.
    ASSERT_TRUE(t.pair.client.writeAll(QByteArrayLiteral("Command=Connect\r\nCommand=Send")));
    QByteArray line;
    ASSERT_EQ(t.pair.server.readLine(line, 2000), ReadStatus::Ok);
    QByteArray rest;
    EXPECT_EQ(t.pair.server.readLine(rest, 300), ReadStatus::Timeout);  // no LF: the rest stays buffered
    ASSERT_GT(t.pair.server.bufferedBytes(), 0);
    const TlsStream::Result r = t.pair.server.startTls(*t.serverTls, TlsRole::Server, 2000);
    EXPECT_EQ(r.failure, TlsStream::Failure::Injected);
    EXPECT_FALSE(t.pair.server.isOpen());
    EXPECT_FALSE(t.pair.server.encrypted());
}

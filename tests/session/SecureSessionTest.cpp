// Peers of our own protocol that go wrong where the session turns TLS: each
// loses its connection within the TLS time limit, the user reads why, no
// session begins and nothing is pinned, and an honest peer gets in next.
// An original peer keeps today's plaintext.
#include "HostileTlsPeers.h"

#include "core/security/TrustTexts.h"
#include "core/session/SessionTexts.h"

#include <sys/socket.h>

#include <gtest/gtest.h>

using namespace corvid;
using namespace corvid::test;
using Outcome = SessionController::ConnectOutcome;
using Failure = TlsStream::Failure;

namespace {

constexpr int kWaitMs = 5000;

QString tlsFailed(Failure f, CertProblem p = CertProblem::None)
{
    return TrustTexts::TlsFailed(f, p);
}

// What a hostile peer does once the Connect exchange is over.
using Act = std::function<void(TcpConnection&)>;

Act writes(const QByteArray& bytes)
{
    return [bytes](TcpConnection& c) { c.writeAll(bytes); };
}

// Waits for the first bytes of the other side's handshake, then writes.
Act answersWith(const QByteArray& bytes)
{
    return [bytes](TcpConnection& c) {
        QByteArray hello;
        if (c.readSome(hello, 4096, kWaitMs) == ReadStatus::Ok)
            c.writeAll(bytes);
    };
}

Act handshakesWith(std::shared_ptr<const TlsContext> tls, TlsRole role = TlsRole::Client)
{
    return [tls, role](TcpConnection& c) { c.startTls(*tls, role, kWaitMs); };
}

} // namespace

// The listening side judges a peer that connected at 2.
TEST(SecureSession, TheListenerEndsEachBadUpgradeWithinItsLimitAndGoesOn)
{
    const IgnoreSigPipe pipe;
    const HostileKeys keys;
    const QByteArray chat = chatWire(QStringLiteral("injected"));
    struct Row {
        const char* what;
        QByteArray withConnect;  // bytes in the Connect block's own write
        Act after;
        QString line;  // what the listening user reads, and nothing else
    };
    const Row rows[] = {
        {"stalls before its ClientHello", {}, nullptr, tlsFailed(Failure::Timeout)},
        {"stalls inside the handshake", {}, [&](TcpConnection& c) { sendClientHelloOnly(c, *keys.honestTls); },
         tlsFailed(Failure::Timeout)},
        {"stalls after the handshake", {}, handshakesWith(keys.honestTls), TrustTexts::ConfirmIncomplete()},
        {"sends text instead of a ClientHello", {}, writes("HELO corvid\r\n\r\n"), tlsFailed(Failure::NotTls)},
        {"sends a broken TLS record", {}, writes(QByteArray("\x16\x03\x01\x00\x04junk", 9)),
         tlsFailed(Failure::NotTls)},
        {"sends a chat block after the answer", {}, writes(chat), tlsFailed(Failure::NotTls)},
        {"sends a chat block in the Connect's own write", chat, nullptr, tlsFailed(Failure::Injected)},
        {"sends plaintext under TLS",
         {},
         [&](TcpConnection& c) {
             c.startTls(*keys.honestTls, TlsRole::Client, kWaitMs);
             ::send(c.fd(), chat.constData(), size_t(chat.size()), MSG_NOSIGNAL);
         },
         TrustTexts::ConfirmIncomplete()},
        {"presents no certificate", {}, handshakesWith(keys.noCertTls), tlsFailed(Failure::NoCertificate)},
        {"presents an expired certificate", {}, handshakesWith(keys.expiredTls),
         tlsFailed(Failure::BadCertificate, CertProblem::Expired)},
        {"presents a broken certificate", {}, handshakesWith(keys.brokenTls),
         tlsFailed(Failure::BadCertificate, CertProblem::BadSignature)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        WithPinFile<ServerSide> a(QStringLiteral("Aki"));
        {
            TcpConnection raw;
            const HeaderBlock reply = rawConnect(a.ctl.listeningPort(), "2", raw, "Raw", row.withConnect);
            ASSERT_TRUE(Header::IsAccepted(reply));
            ASSERT_EQ(Header::Value(reply, "Protocol"), QByteArray("2"));
            if (row.after)
                row.after(raw);
            EXPECT_TRUE(endsWithin(raw, kTlsLimitMs));
        }
        EXPECT_TRUE(waitFor([&] { return a.log.contains(row.line); }, kWaitMs));
        EXPECT_EQ(a.log.lines(), QStringList{row.line});
        EXPECT_FALSE(a.ctl.hasServerSession());
        EXPECT_FALSE(a.pinWritten());

        WithPinFile<Side> b(QStringLiteral("Ben"));
        EXPECT_EQ(b.connect(QStringLiteral("127.0.0.1"), a.port()), Outcome::Connected);
        EXPECT_TRUE(waitFor([&] { return a.ctl.hasServerSession(); }, kWaitMs));
        EXPECT_TRUE(a.pinWritten());
    }
}

// The connecting side judges a listener that answered at 2.
TEST(SecureSession, TheConnectingSideEndsEachBadUpgradeWithinItsLimitAndGoesOn)
{
    const IgnoreSigPipe pipe;
    const HostileKeys keys;
    const QByteArray answer = acceptAnswer("2", "Raw");
    struct Row {
        const char* what;
        QByteArray answer;  // the Connect answer and what rides with it
        Act after;
        QString line;
    };
    const Row rows[] = {
        {"stalls", answer, nullptr, tlsFailed(Failure::Timeout)},
        {"answers the ClientHello with text", answer, answersWith("HELO corvid\r\n\r\n"), tlsFailed(Failure::NotTls)},
        {"sends a chat block with its answer", answer + chatWire(QStringLiteral("injected")), nullptr,
         tlsFailed(Failure::Injected)},
        {"presents an expired certificate", answer, handshakesWith(keys.expiredTls, TlsRole::Server),
         tlsFailed(Failure::BadCertificate, CertProblem::Expired)},
        {"presents a broken certificate", answer, handshakesWith(keys.brokenTls, TlsRole::Server),
         tlsFailed(Failure::BadCertificate, CertProblem::BadSignature)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        WithPinFile<Side> b(QStringLiteral("Ben"));
        {
            AnsweringListener raw(row.answer, [&](Stoppable&, TcpConnection& c) { if (row.after) row.after(c); },
                                  kTlsLimitMs);
            EXPECT_EQ(b.connect(QStringLiteral("127.0.0.1"), raw.port()), Outcome::Refused);
            EXPECT_TRUE(waitFor([&] { return raw.ended != -1; }, kTlsLimitMs + kWaitMs));
            EXPECT_EQ(raw.ended, 1);
        }
        EXPECT_EQ(b.log.count(row.line), 1) << b.log.lines().join(u'|').toStdString();
        EXPECT_FALSE(b.log.contains(SessionTexts::Connected()));
        EXPECT_FALSE(b.ctl.isClientConnected());
        EXPECT_TRUE(b.ctl.recentPeers().entries().isEmpty());
        EXPECT_FALSE(b.pinWritten());

        ServerSide honest;
        EXPECT_EQ(b.connect(QStringLiteral("127.0.0.1"), honest.port()), Outcome::Connected);
        EXPECT_TRUE(b.pinWritten());
    }
}

// An original peer at the listening side: today's answer, no TLS, today's
// chat bytes both ways, and the user reads that it is not encrypted.
TEST(SecureSession, AnOriginalPeerGetsTodaysPlaintextAndTheUserIsTold)
{
    ServerSide a;
    TcpConnection raw;
    EXPECT_EQ(rawConnect(a.ctl.listeningPort(), "1", raw),
              (HeaderBlock{"Command=Connect", "Accept=True", "Protocol=1", "UserAgent=CRV2/", "Name=Aki", ""}));
    ASSERT_TRUE(waitFor([&] { return a.ctl.hasServerSession(); }, kWaitMs));
    EXPECT_TRUE(a.log.contains(TrustTexts::NotEncrypted()));

    const QString text = QStringLiteral("平文のまま");
    ASSERT_TRUE(a.ctl.SendChatMessage(text));
    const QByteArray expected = chatWire(text);
    EXPECT_EQ(readExactly(raw, expected.size(), kWaitMs), expected);

    ASSERT_TRUE(raw.writeAll(chatWire(QStringLiteral("こんにちは"))));
    EXPECT_TRUE(waitFor([&] { return a.log.anyStartsWith(QStringLiteral("こんにちは")); }, kWaitMs))
        << a.log.lines().join(u'|').toStdString();
}

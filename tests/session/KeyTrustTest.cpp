// Peers known by their keys across sessions: a changed key or a return to
// plaintext ends the connection before anything of a session moves, in
// whichever role the judging side is, until the user accepts the new key;
// and a transfer connection of an encrypted session must show the partner's key.
#include "HostileTlsPeers.h"

#include "core/security/TrustTexts.h"
#include "core/session/ISessionDispatch.h"
#include "core/session/SessionTexts.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace corvid;
using namespace corvid::test;
using Outcome = SessionController::ConnectOutcome;

namespace {

constexpr int kWaitMs = 5000;
const QString kHost = QStringLiteral("127.0.0.1");

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Aki listens, Ben connects; both pin each other in files of their own.
struct Pair {
    WithPinFile<ServerSide> a{QStringLiteral("Aki")};
    WithPinFile<Side> b{QStringLiteral("Ben")};

    // A session of Ben's to Aki; false when it did not begin on both sides.
    bool meet()
    {
        return b.connect(kHost, a.port()) == Outcome::Connected
               && waitFor([&] { return a.ctl.hasServerSession(); }, kWaitMs);
    }
    bool part()
    {
        b.ctl.disconnectClient();
        return waitFor([&] { return !a.ctl.hasServerSession(); }, kWaitMs);
    }
    // Both sides read the same verification code, and the Verified line with it.
    void expectVerified()
    {
        ASSERT_TRUE(waitFor([&] { return !a.ctl.verificationCode().isEmpty(); }, kWaitMs));
        EXPECT_EQ(a.ctl.verificationCode(), b.ctl.verificationCode());
        EXPECT_TRUE(a.log.contains(TrustTexts::Verified(a.ctl.verificationCode())));
        EXPECT_TRUE(b.log.contains(TrustTexts::Verified(b.ctl.verificationCode())));
    }
};

// Counts the listener's transfer conversations handed over.
class ServedCalls : public ISessionDispatch {
public:
    void AcceptPushedList(TcpConnection&, HeaderBlock&) override { ++served; }
    void AcceptPushedFile(TcpConnection&, HeaderBlock&) override { ++served; }
    void ServeListRequest(TcpConnection&, HeaderBlock&) override { ++served; }
    void ServeFileRequest(TcpConnection&, HeaderBlock&) override { ++served; }
    void PeerListChanged() override {}
    void PeerAsksForList() override {}
    void PeerAsksForFile(const HeaderBlock&) override {}
    std::atomic<int> served{0};
};

} // namespace

TEST(KeyTrust, AChangedKeyEndsTheConnectionUntilTheUserAcceptsIt)
{
    const IgnoreSigPipe pipe;
    for (const bool listenerJudges : {true, false}) {
        SCOPED_TRACE(listenerJudges ? "the listener judges" : "the connecting side judges");
        Pair p;
        ASSERT_TRUE(p.meet());
        ASSERT_TRUE(p.part());
        Side& judge = listenerJudges ? static_cast<Side&>(p.a) : p.b;
        SessionController& changed = listenerJudges ? p.b.ctl : p.a.ctl;
        const QString judgeFile = (listenerJudges ? p.a.dir : p.b.dir).filePath(PeerPins::FileName);
        const QString name = listenerJudges ? QStringLiteral("Ben") : QStringLiteral("Aki");
        const QByteArray pinned = changed.identity()->fingerprint();
        changed.setIdentity(Identity::Create());
        const QByteArray offered = changed.identity()->fingerprint();
        const QByteArray pinsBefore = fileBytes(judgeFile);
        QSignalSpy refused(&judge.ctl, &SessionController::peerKeyRefused);

        const Outcome outcome = p.b.connect(kHost, p.a.port());
        const QString line = TrustTexts::KeyChanged(name, kHost, pinned, offered);
        EXPECT_TRUE(waitFor([&] { return judge.log.contains(line); }, kWaitMs));
        EXPECT_TRUE(waitFor([&] { return refused.count() == 1; }, kWaitMs));
        if (!refused.isEmpty()) {
            EXPECT_EQ(refused.first(), (QVariantList{name, kHost, pinned, offered}));
        }
        // The judge began no session and wrote no pin.
        EXPECT_EQ(judge.log.count(SessionTexts::Connected()), 1);
        EXPECT_FALSE(judge.ctl.hasSessionConnection());
        EXPECT_EQ(fileBytes(judgeFile), pinsBefore);
        // Neither side begins: the refused one reads that its key was not taken.
        EXPECT_EQ(outcome, Outcome::Refused);
        Side& other = listenerJudges ? p.b : static_cast<Side&>(p.a);
        const QString why = listenerJudges ? TrustTexts::PeerRefusedOurKey() : TrustTexts::ConfirmIncomplete();
        EXPECT_TRUE(waitFor([&] { return other.log.contains(why); }, kWaitMs)) << other.log.lines().join(u'|').toStdString();
        EXPECT_EQ(other.log.count(SessionTexts::Connected()), 1);

        // The user checked the new key: the next connect is verified.
        judge.ctl.acceptPeerKey(name, kHost, offered);
        EXPECT_TRUE(judge.log.contains(TrustTexts::KeyAccepted(name, kHost, offered)));
        ASSERT_TRUE(p.meet());
        p.expectVerified();
    }
}

// A peer once encrypted comes back at protocol 1, as an original peer would.
TEST(KeyTrust, APeerOnceEncryptedIsNotTakenBackInPlaintext)
{
    const IgnoreSigPipe pipe;
    for (const bool listenerJudges : {true, false}) {
        SCOPED_TRACE(listenerJudges ? "the listener judges" : "the connecting side judges");
        Pair p;
        ASSERT_TRUE(p.meet());
        ASSERT_TRUE(p.part());
        WithPinFile<ServerSide>& a = p.a;
        WithPinFile<Side>& b = p.b;
        const QString judgeFile = (listenerJudges ? a.dir : b.dir).filePath(PeerPins::FileName);
        const QByteArray pinsBefore = fileBytes(judgeFile);
        if (listenerJudges) {
            // Ben's name from Ben's address, at 1.
            TcpConnection raw;
            const HeaderBlock reply = rawConnect(a.ctl.listeningPort(), "1", raw, "Ben");
            EXPECT_EQ(Header::Value(reply, "Protocol"), QByteArray("1"));
            EXPECT_TRUE(endsWithin(raw, kTlsLimitMs));
        } else {
            // Aki's name at Aki's address (another port is the same peer), answering 1.
            AnsweringListener raw(acceptAnswer("1", "Aki"), nullptr, kTlsLimitMs);
            EXPECT_EQ(b.connect(kHost, raw.port()), Outcome::Refused);
            EXPECT_TRUE(waitFor([&] { return raw.ended != -1; }, kTlsLimitMs + kWaitMs));
            EXPECT_EQ(raw.ended, 1);
        }
        Side& judge = listenerJudges ? static_cast<Side&>(a) : b;
        const QString line = TrustTexts::Downgraded(listenerJudges ? QStringLiteral("Ben") : QStringLiteral("Aki"), kHost);
        EXPECT_TRUE(waitFor([&] { return judge.log.contains(line); }, kWaitMs)) << judge.log.lines().join(u'|').toStdString();
        EXPECT_EQ(judge.log.count(SessionTexts::Connected()), 1);
        EXPECT_FALSE(judge.log.contains(TrustTexts::NotEncrypted()));
        EXPECT_FALSE(judge.ctl.hasSessionConnection());
        EXPECT_EQ(fileBytes(judgeFile), pinsBefore);

        // The real Ben and Aki meet again as before.
        ASSERT_TRUE(p.meet());
        p.expectVerified();
    }
}

TEST(KeyTrust, ATransferConnectionOverTlsMustShowTheEncryptedPartnersKey)
{
    const IgnoreSigPipe pipe;
    const HostileKeys stranger;
    ServedCalls dispatch;  // outlives the listener's threads
    ServerSide a;
    a.ctl.setDispatch(&dispatch);
    a.ctl.setTlsTimeoutMs(kTlsMs);
    const HeaderBlock listRequest{"Command=Recv", "UserAgent=CRV2/", "ContentType=FileList", ""};
    // A TLS transfer connection with `tls` that asks for the list.
    const auto asks = [&](const TlsContext& tls, TcpConnection& c) {
        ASSERT_TRUE(c.connectTo(kHost, a.ctl.listeningPort(), 2000));
        c.startTls(tls, TlsRole::Client, kWaitMs);
        Transport::WriteHeader(c, listRequest);
    };
    const auto endedUnserved = [&](const TlsContext& tls) {
        TcpConnection c;
        asks(tls, c);
        return endsWithin(c, kTlsLimitMs) && dispatch.served == 0;
    };

    EXPECT_TRUE(endedUnserved(*stranger.honestTls)) << "no session";
    {
        // A plaintext session: not even the partner's own key opens one.
        Side old(QStringLiteral("Old"));
        old.ctl.setOwnProtocol(1);
        ASSERT_EQ(old.connect(kHost, a.port()), Outcome::Connected);
        ASSERT_TRUE(waitFor([&] { return a.ctl.hasServerSession(); }, kWaitMs));
        EXPECT_TRUE(endedUnserved(*old.ctl.tlsContext())) << "a plaintext session";
        old.ctl.disconnectClient();
        ASSERT_TRUE(waitFor([&] { return !a.ctl.hasServerSession(); }, kWaitMs));
    }
    EXPECT_EQ(a.log.count(TrustTexts::TransferKeyRefused(kHost)), 0);

    Side b(QStringLiteral("Ben"));
    ASSERT_EQ(b.connect(kHost, a.port()), Outcome::Connected);
    ASSERT_TRUE(waitFor([&] { return a.ctl.hasServerSession(); }, kWaitMs));
    EXPECT_TRUE(endedUnserved(*stranger.honestTls)) << "a stranger's key from the partner's address";
    EXPECT_EQ(a.log.count(TrustTexts::TransferKeyRefused(kHost)), 1);
    EXPECT_TRUE(a.ctl.hasServerSession());

    TcpConnection partners;
    asks(*b.ctl.tlsContext(), partners);
    EXPECT_TRUE(waitFor([&] { return dispatch.served == 1; }, kWaitMs)) << "the partner's key";
}

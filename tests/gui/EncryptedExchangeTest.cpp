// Two program instances talk through a relay that keeps every byte on the
// wire. Between two of our own, only the Connect exchange is readable: the
// session turns TLS right after it, every transfer connection is TLS from
// its first byte, and no chat text, file name or file byte is seen in clear.
// With an original peer the session stays plaintext, as it always was.
#include "gui/TransferInstance.h"
#include "support/RecordingRelay.h"
#include "support/WaitFor.h"

#include "core/security/Identity.h"
#include "core/security/TlsStream.h"
#include "core/security/TrustTexts.h"
#include "core/session/SessionController.h"

#include <QFile>
#include <QLineEdit>
#include <cstdio>

using namespace corvid;
using TransferInstance::Instance;
using TransferInstance::doneRows;
using test::RecordingRelay;

namespace {

constexpr int kWaitMs = 20000;

// The Connect blocks as they travel: the connecting side's request and the
// listening side's answer.
QByteArray connectRequest(int protocol, const char* name)
{
    return "Command=Connect\r\nProtocol=" + QByteArray::number(protocol) + "\r\nUserAgent=CRV2/\r\nName=" + name
        + "\r\n\r\n";
}
QByteArray connectAnswer(int protocol, const char* name)
{
    return "Command=Connect\r\nAccept=True\r\nProtocol=" + QByteArray::number(protocol)
        + "\r\nUserAgent=CRV2/\r\nName=" + name + "\r\n\r\n";
}

bool seenAnywhere(const std::vector<RecordingRelay::Capture>& caps, const QByteArray& needle)
{
    for (const RecordingRelay::Capture& c : caps)
        if (c.up.contains(needle) || c.down.contains(needle))
            return true;
    return false;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Aki listens; Ben connects to the relay, which forwards to Aki. `before`
// runs on both controllers before listening and connecting.
struct RelayedPair {
    Instance a{QStringLiteral("Aki")};
    Instance b{QStringLiteral("Ben")};
    std::unique_ptr<RecordingRelay> relay;
    bool up = false;

    template <typename Before> explicit RelayedPair(Before before)
    {
        before(a.form->session(), b.form->session());
        const quint16 port = TransferInstance::freePort();
        a.form->findChild<QLineEdit*>(QStringLiteral("edPort"))->setText(QString::number(port));
        QTest::mouseClick(a.form->findChild<QToolButton*>(QStringLiteral("btServer")), Qt::LeftButton);
        relay = std::make_unique<RecordingRelay>(port);
        if (relay->port() == 0)
            return;
        b.form->findChild<QLineEdit*>(QStringLiteral("edIP"))->setText(QStringLiteral("127.0.0.1"));
        b.form->findChild<QLineEdit*>(QStringLiteral("edPort"))->setText(QString::number(relay->port()));
        QTest::mouseClick(b.form->findChild<QToolButton*>(QStringLiteral("btClient")), Qt::LeftButton);
        up = test::waitFor([&] { return a.form->windowTitle() == QLatin1String("Ben"); }, kWaitMs)
            && test::waitFor([&] { return b.form->windowTitle() == QLatin1String("Aki"); }, kWaitMs);
    }
    void chat(const QString& fromBen, const QString& fromAki)
    {
        b.form->SendChatMessage(fromBen);
        a.form->SendChatMessage(fromAki);
        EXPECT_TRUE(test::waitFor([&] { return a.logText().contains(fromBen); }, kWaitMs));
        EXPECT_TRUE(test::waitFor([&] { return b.logText().contains(fromAki); }, kWaitMs));
    }
};

} // namespace

TEST(EncryptedExchange, OnTheWireOnlyTheConnectExchangeIsReadableAndBothSidesShowOneCode)
{
    RelayedPair p([](SessionController& a, SessionController& b) {
        a.setTlsTimeoutMs(5000);
        b.setTlsTimeoutMs(5000);
    });
    ASSERT_TRUE(p.up);

    const QString code = p.a.form->session().verificationCode();
    EXPECT_FALSE(code.isEmpty());
    EXPECT_EQ(p.b.form->session().verificationCode(), code);
    ASSERT_TRUE(p.a.form->session().identity() && p.b.form->session().identity());
    const QByteArray akiKey = p.a.form->session().identity()->fingerprint();
    const QByteArray benKey = p.b.form->session().identity()->fingerprint();
    ASSERT_NE(akiKey, benKey);
    EXPECT_TRUE(test::waitFor([&] { return p.a.logText().contains(TrustTexts::New(benKey, code)); }, kWaitMs))
        << p.a.logText().toStdString();
    EXPECT_TRUE(test::waitFor([&] { return p.b.logText().contains(TrustTexts::New(akiKey, code)); }, kWaitMs))
        << p.b.logText().toStdString();

    const QString chatFromBen = QStringLiteral("relay-chat-from-ben-Q7xv");
    const QString chatFromAki = QStringLiteral("relay-chat-from-aki-K2pw");
    p.chat(chatFromBen, chatFromAki);

    // A file each way: a push to the listening side, a pull by the
    // connecting side, both through transfer connections via the relay.
    QTemporaryDir source;
    const QByteArray markerToAki = "corvid-relay-marker-to-aki;";
    const QByteArray markerToBen = "corvid-relay-marker-to-ben;";
    const qint64 fileSize = 1024 * 1024;
    struct Leg {
        Instance& sender;
        Instance& receiver;
        QString name;
        QByteArray marker;
    };
    const Leg legs[] = {{p.b, p.a, QStringLiteral("relay-secret-name-to-aki.bin"), markerToAki},
                        {p.a, p.b, QStringLiteral("relay-secret-name-to-ben.bin"), markerToBen}};
    for (const Leg& leg : legs) {
        SCOPED_TRACE(leg.name.toStdString());
        QByteArray bytes;
        while (bytes.size() < fileSize)
            bytes += leg.marker;
        bytes.truncate(fileSize);
        QFile f(source.filePath(leg.name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(bytes), fileSize);
        f.close();
        leg.sender.win().AddLocalFile(source.filePath(leg.name));
        leg.receiver.showWindow();
        leg.sender.button("btSend")->click();
        ASSERT_TRUE(test::waitFor([&] { return leg.receiver.recv().FindByName(leg.name) >= 0; }, kWaitMs));
        leg.receiver.button("btRecv")->click();
        ASSERT_TRUE(test::waitFor([&] { return doneRows(leg.receiver.recv()) == 1; }, kWaitMs))
            << leg.receiver.logText().toStdString();
        EXPECT_TRUE(readAll(leg.receiver.dir.filePath(leg.name)) == bytes);
        leg.sender.button("btSend")->click();  // up again
    }

    const std::vector<RecordingRelay::Capture> caps = p.relay->captures();
    ASSERT_GE(caps.size(), 3u);  // the session and at least one transfer connection each way
    // The session: the Connect blocks in clear, then nothing but TLS.
    const QByteArray request = connectRequest(2, "Ben");
    const QByteArray answer = connectAnswer(2, "Aki");
    ASSERT_GT(caps[0].up.size(), request.size());
    ASSERT_GT(caps[0].down.size(), answer.size());
    EXPECT_EQ(caps[0].up.left(request.size()), request);
    EXPECT_EQ(caps[0].down.left(answer.size()), answer);
    EXPECT_EQ(caps[0].up[request.size()], TlsStream::kHandshakeByte);
    EXPECT_EQ(caps[0].down[answer.size()], TlsStream::kHandshakeByte);
    // Every transfer connection: TLS from its first byte, both ways.
    qint64 transferBytes = 0;
    for (size_t i = 1; i < caps.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_FALSE(caps[i].up.isEmpty());
        ASSERT_FALSE(caps[i].down.isEmpty());
        EXPECT_EQ(caps[i].up[0], TlsStream::kHandshakeByte);
        EXPECT_EQ(caps[i].down[0], TlsStream::kHandshakeByte);
        transferBytes += caps[i].up.size() + caps[i].down.size();
    }
    // The files went through the relay (there is no other way), so their
    // bytes were in the capture, and none of them in clear.
    EXPECT_GE(transferBytes, 2 * fileSize);
    std::printf("[ relay    ] %zu connections, %lld bytes on transfer connections for 2 x %lld file bytes\n",
                caps.size(), static_cast<long long>(transferBytes), static_cast<long long>(fileSize));
    for (const QByteArray& secret : {chatFromBen.toUtf8(), chatFromAki.toUtf8(), QByteArray("relay-secret-name"),
                                     markerToAki, markerToBen})
        EXPECT_FALSE(seenAnywhere(caps, secret)) << secret.constData();
    EXPECT_FALSE(seenAnywhere(caps, "Command=Send"));  // no block but Connect in clear
}

// Either side an original peer: the session stays plaintext both ways, the
// chat is in clear as it always was, and both users read that it is not
// encrypted.
TEST(EncryptedExchange, WithAnOriginalPeerTheRelaySeesTodaysPlaintextAndBothAreTold)
{
    for (const bool listenerIsOriginal : {true, false}) {
        SCOPED_TRACE(listenerIsOriginal ? "the listening side is an original peer"
                                        : "the connecting side is an original peer");
        RelayedPair p([&](SessionController& a, SessionController& b) {
            (listenerIsOriginal ? a : b).setOwnProtocol(1);
        });
        ASSERT_TRUE(p.up);
        const QString chatFromBen = QStringLiteral("plain-chat-from-ben-Z3");
        const QString chatFromAki = QStringLiteral("plain-chat-from-aki-M8");
        p.chat(chatFromBen, chatFromAki);

        for (Instance* side : {&p.a, &p.b}) {
            EXPECT_TRUE(test::waitFor([&] { return side->logText().contains(TrustTexts::NotEncrypted()); }, kWaitMs))
                << side->logText().toStdString();
            EXPECT_TRUE(side->form->session().verificationCode().isEmpty());
            EXPECT_TRUE(side->form->session().partnerKey().isEmpty());
        }

        const std::vector<RecordingRelay::Capture> caps = p.relay->captures();
        ASSERT_EQ(caps.size(), 1u);
        const QByteArray request = connectRequest(listenerIsOriginal ? 2 : 1, "Ben");
        const QByteArray answer = connectAnswer(1, "Aki");
        EXPECT_EQ(caps[0].up.left(request.size()), request);
        EXPECT_EQ(caps[0].down.left(answer.size()), answer);
        EXPECT_TRUE(caps[0].up.contains(chatFromBen.toUtf8()));
        EXPECT_TRUE(caps[0].down.contains(chatFromAki.toUtf8()));
        // No TLS record anywhere: header lines and chat bodies never hold this byte.
        EXPECT_FALSE(caps[0].up.contains(TlsStream::kHandshakeByte));
        EXPECT_FALSE(caps[0].down.contains(TlsStream::kHandshakeByte));
    }
}

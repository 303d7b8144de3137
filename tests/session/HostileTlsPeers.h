#pragma once
// Peers that speak protocol 2 and then go wrong, written by hand on raw
// connections: the Connect exchange with extra bytes in its write, TLS
// set-ups that present no, an expired or a broken certificate, a
// ClientHello with nothing after it, and a listener that answers Connect
// and then misbehaves. They report what they saw; the tests judge.
#include "HostilePeers.h"
#include "SessionSide.h"
#include "support/BrokenCertificate.h"
#include "support/WaitFor.h"

#include "core/protocol/HeaderBlock.h"
#include "core/protocol/SjisCodec.h"
#include "core/security/Identity.h"
#include "core/security/OpenSslPtr.h"
#include "core/security/PeerPins.h"
#include "core/security/TlsContext.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <csignal>

namespace corvid::test {

// The TLS time limit the tests set, and how long they give it to fire.
constexpr int kTlsMs = 1000;
constexpr int kTlsLimitMs = 3 * kTlsMs;

// A side (Side or ServerSide) whose pins live in a file of its own, so that
// a pin written shows, with the short TLS time limit.
template <class S>
struct WithPinFile : S {
    QTemporaryDir dir;
    explicit WithPinFile(const QString& name)
        : S(name)
    {
        auto pins = std::make_shared<PeerPins>(dir.filePath(PeerPins::FileName));
        pins->load();
        this->ctl.setPeerPins(std::move(pins));
        this->ctl.setTlsTimeoutMs(kTlsMs);
    }
    bool pinWritten() const { return QFile::exists(dir.filePath(PeerPins::FileName)); }
};

// OpenSSL writes its alerts with write(), which raises SIGPIPE when the
// other side has already gone (a fatal alert on an unexpected end, say).
// The program ignores SIGPIPE from its first line; a test that reads TLS
// from peers that vanish does the same while it runs.
struct IgnoreSigPipe {
    using Handler = void (*)(int);
    Handler old = std::signal(SIGPIPE, SIG_IGN);
    ~IgnoreSigPipe() { std::signal(SIGPIPE, old); }
};

// Connects, sends a Connect block (`extra` rides in the same write) and
// returns the reply.
inline HeaderBlock rawConnect(quint16 port, const QByteArray& protocolValue, TcpConnection& c,
                              const QByteArray& name = "Raw", const QByteArray& extra = {})
{
    EXPECT_TRUE(c.connectTo(QStringLiteral("127.0.0.1"), port, 2000));
    const HeaderBlock b{"Command=Connect", "Protocol=" + protocolValue, "UserAgent=CRV2/", "Name=" + name, ""};
    QByteArray wire;
    EXPECT_TRUE(Transport::EncodeHeader(b, wire));
    EXPECT_TRUE(c.writeAll(wire + extra));
    HeaderBlock reply;
    Commands::ReadCommand(c, reply, 3000);
    return reply;
}

// A chat message as the session carries it in plaintext: the Send block and its body.
inline QByteArray chatWire(const QString& text)
{
    const QByteArray body = SjisCodec::encode(SessionController::MessageBody(text));
    HeaderBlock b;
    Header::MakeSendHeader(b, QByteArray(kToken), QByteArrayLiteral("Message"), body.size());
    QByteArray wire;
    Transport::EncodeHeader(b, wire);
    return wire + body;
}

// Exactly n bytes, or what came of them within ms.
inline QByteArray readExactly(TcpConnection& c, qsizetype n, int ms)
{
    const QDeadlineTimer deadline(ms);
    QByteArray got;
    while (got.size() < n && !deadline.hasExpired())
        if (c.readSome(got, n - got.size(), int(qMax<qint64>(1, deadline.remainingTime()))) != ReadStatus::Ok)
            break;
    return got;
}

// Reads whatever comes until the other side ends the connection; true when
// that happened within `ms`.
inline bool endsWithin(TcpConnection& c, int ms)
{
    const QDeadlineTimer deadline(ms);
    for (;;) {
        const int left = int(deadline.remainingTime());
        if (left <= 0)
            return false;
        QByteArray some;
        const ReadStatus s = c.readSome(some, 4096, left);
        if (s == ReadStatus::Closed)
            return true;
        if (s != ReadStatus::Ok)
            return false;
    }
}

// TLS 1.3 presenting `cert` signed with `key` (nothing when cert is null),
// and taking whatever the other side presents: a peer that does not care.
inline std::shared_ptr<const TlsContext> looseTls(X509* cert = nullptr, EVP_PKEY* key = nullptr)
{
    SslCtxPtr ctx(SSL_CTX_new(TLS_method()));
    EXPECT_TRUE(ctx && SSL_CTX_set_min_proto_version(ctx.get(), TLS1_3_VERSION));
    if (cert) {
        EXPECT_EQ(SSL_CTX_use_certificate(ctx.get(), cert), 1);
        EXPECT_EQ(SSL_CTX_use_PrivateKey(ctx.get(), key), 1);
    }
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    // The identity is only carried along: the handshake presents the context's certificate.
    return std::make_shared<const TlsContext>(std::move(ctx), Identity::Create());
}

// Who presents what, in the handshakes of the tests.
struct HostileKeys {
    std::shared_ptr<const Identity> honest = Identity::Create();
    std::shared_ptr<const Identity> expired = Identity::Create(1, -10);
    X509Ptr broken = brokenCertificate(*honest);
    std::shared_ptr<const TlsContext> honestTls = TlsContext::Make(honest);
    std::shared_ptr<const TlsContext> expiredTls = TlsContext::Make(expired);
    std::shared_ptr<const TlsContext> noCertTls = looseTls();
    std::shared_ptr<const TlsContext> brokenTls = looseTls(broken.get(), honest->key());
};

// Sends a ClientHello and nothing after it: a handshake begun and left.
inline bool sendClientHelloOnly(TcpConnection& c, const TlsContext& tls)
{
    SslPtr ssl(SSL_new(tls.get()));
    BIO* in = BIO_new(BIO_s_mem());
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl.get(), in, out);  // the SSL object owns both
    SSL_set_connect_state(ssl.get());
    SSL_do_handshake(ssl.get());  // wants the server's answer; the hello waits in `out`
    char* data = nullptr;
    const long n = BIO_get_mem_data(out, &data);
    return n > 0 && c.writeAll(data, n);
}

// A listener on loopback that reads one Connect block, writes `answer`
// (wire bytes: a Connect answer, and whatever rides with it), runs `after`
// and then waits for the other side to end the connection.
struct AnsweringListener {
    std::atomic<int> ended{-1};  // -1: not yet known; 1: ended within the limit; 0: not
    RawServer server;            // after `ended`: its thread writes it
    AnsweringListener(const QByteArray& answer, After after, int limitMs)
        : server(
              [this, answer, after, limitMs](Stoppable& s, TcpConnection& c) {
                  c.writeAll(answer);
                  if (after)
                      after(s, c);
                  ended = endsWithin(c, limitMs) ? 1 : 0;
              },
              false)
    {
        EXPECT_TRUE(server.listening);
    }
    QString port() const { return server.port(); }
};

// A Connect answer as one of our own gives it.
inline QByteArray acceptAnswer(const QByteArray& protocol, const QByteArray& name)
{
    QByteArray wire;
    Transport::EncodeHeader({"Command=Connect", "Accept=True", "Protocol=" + protocol, "UserAgent=CRV2/",
                             "Name=" + name, ""},
                            wire);
    return wire;
}

} // namespace corvid::test

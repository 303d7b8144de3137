// The socket layer: connecting with a time limit, the listener, buffering,
// and waking blocked threads from another thread.
#include "LoopbackPeer.h"
#include "core/protocol/DetachedLookup.h"
#include "core/protocol/HostResolver.h"
#include "core/protocol/TcpConnection.h"
#include "core/protocol/TcpListener.h"
#include "core/protocol/Transport.h"
#include "support/StuckResolver.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <vector>

using namespace corvid;
using namespace corvid::test;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A name service that knows one name, and only its IPv6 address.
class V6OnlyResolver : public IHostResolver {
public:
    int resolve(const char* name, const char* service, const addrinfo* hints, addrinfo** list) override
    {
        if (QByteArray(name) != "v6only.test")
            return EAI_NONAME;
        addrinfo numeric = *hints;
        numeric.ai_flags |= AI_NUMERICHOST;
        numeric.ai_family = AF_INET6;
        return ::getaddrinfo("::1", service, &numeric, list);
    }
    void release(addrinfo* list) override { ::freeaddrinfo(list); }
    QString firstIpv4(const QByteArray&) override { return QString(); }
};

bool helpersGone()
{
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (DetachedLookup::helpersAlive() > 0 && Clock::now() < end)
        std::this_thread::sleep_for(milliseconds(5));
    return DetachedLookup::helpersAlive() == 0;
}

} // namespace

TEST(TcpConnect, RefusedPortFailsWithAnError)
{
    TcpConnection c;
    QString error;
    EXPECT_FALSE(c.connectTo(QStringLiteral("127.0.0.1"), unusedPort(), 5000, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(c.isOpen());
}

TEST(TcpConnect, UnansweredConnectEndsAtTheTimeLimit)
{
    // A listener whose accept queue is full drops further SYNs, so the
    // next connect hangs until our limit.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    socklen_t len = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    std::vector<int> fillers;
    bool full = false;
    for (int i = 0; i < 8 && !full; ++i) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(s);
        pollfd p{s, POLLOUT, 0};
        full = ::poll(&p, 1, 300) == 0;
    }
    if (full) {
        TcpConnection c;
        QString error;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(c.connectTo(QStringLiteral("127.0.0.1"), ntohs(a.sin_port), 300, &error));
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(250));
        EXPECT_LT(waited, std::chrono::milliseconds(3000));  // not the kernel's own SYN retries
        EXPECT_FALSE(error.isEmpty());
    }
    for (int s : fillers)
        ::close(s);
    ::close(listener);
    if (!full)
        GTEST_SKIP() << "could not fill the accept queue";
}

TEST(TcpConnect, HostNamesAndBothAddressFamiliesReachADualStackListener)
{
    TcpListener listener;
    QString error;
    ASSERT_TRUE(listener.listen(0, &error)) << error.toStdString();
    ASSERT_NE(listener.port(), 0);
    for (const char* host : {"127.0.0.1", "localhost", "::1", "[::1]"}) {
        TcpConnection c;
        ASSERT_TRUE(c.connectTo(QString::fromLatin1(host), listener.port(), 5000, &error)) << host;
        std::optional<TcpConnection> s = listener.accept();
        ASSERT_TRUE(s.has_value());
        EXPECT_TRUE(c.writeAll("ping\n"));
        QByteArray line;
        EXPECT_EQ(s->readLine(line, 5000), ReadStatus::Ok);
        EXPECT_EQ(line, "ping");
        EXPECT_EQ(s->peerPort(), c.localPort());
        if (QByteArray(host) == "127.0.0.1") {
            EXPECT_EQ(s->peerAddress(), QStringLiteral("127.0.0.1"));  // not as ::ffff:127.0.0.1
        }
    }
    TcpConnection c;
    EXPECT_FALSE(c.connectTo(QStringLiteral("no-such-host.invalid"), listener.port(), 5000, &error));

    // A host name whose only address is IPv6 (a home with IPv6 and no NAT).
    TcpConnection v6;
    v6.setResolver(std::make_shared<V6OnlyResolver>());
    ASSERT_TRUE(v6.connectTo(QStringLiteral("v6only.test"), listener.port(), 5000, &error)) << error.toStdString();
    std::optional<TcpConnection> s = listener.accept();
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->peerAddress(), QStringLiteral("::1"));
}

TEST(TcpConnect, NameLookupThatNeverAnswersEndsAtTheLimitAndOnCancel)
{
    TcpListener listener;
    ASSERT_TRUE(listener.listen(0));
    auto resolver = std::make_shared<StuckResolver>();
    {
        TcpConnection c;
        c.setResolver(resolver);
        QString error;
        constexpr int kLimitMs = 500;
        const auto start = Clock::now();
        EXPECT_FALSE(c.connectTo(QStringLiteral("peer.test"), listener.port(), kLimitMs, &error));
        const auto waited = Clock::now() - start;
        EXPECT_GE(waited, milliseconds(kLimitMs - 1));
        EXPECT_LT(waited, milliseconds(3 * kLimitMs));
        EXPECT_FALSE(error.isEmpty());

        // Without a time limit only the cancel flag ends the wait.
        std::atomic<bool> cancel{false};
        auto connecting = std::async(std::launch::async, [&] {
            return c.connectTo(QStringLiteral("peer.test"), listener.port(), TcpConnection::kNoLimit, nullptr,
                               &cancel);
        });
        ASSERT_TRUE(resolver->waitAsked(2));
        EXPECT_EQ(connecting.wait_for(milliseconds(200)), std::future_status::timeout);
        cancel = true;
        ASSERT_EQ(connecting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_FALSE(connecting.get());
        EXPECT_FALSE(c.isOpen());
    }
    // The helpers left behind end when the name service answers, after the
    // connections that asked are gone; they give the answers back themselves.
    resolver->letGo();
    ASSERT_TRUE(helpersGone());
    EXPECT_EQ(resolver->given(), 2);
    EXPECT_EQ(resolver->returned(), 2);

    // An answer in time is used.
    TcpConnection c;
    c.setResolver(resolver);
    ASSERT_TRUE(c.connectTo(QStringLiteral("peer.test"), listener.port(), 5000));
    EXPECT_TRUE(listener.accept(5000).has_value());
    ASSERT_TRUE(helpersGone());
    EXPECT_EQ(resolver->returned(), 3);
}

TEST(TcpConnection, WriteToAPeerThatNeverReadsFailsAtTheStallLimit)
{
    RawPair p = makeRawPair();
    constexpr int kStallMs = 1000;
    p.conn.setWriteStallMs(kStallMs);
    TcpConnection c(std::move(p.conn));  // the limit goes with the socket
    // Fill the socket buffers on both sides first, so that the wait below is
    // mostly the stall (the receiving side may still take a late piece,
    // which starts the stall again: hence the slack).
    const QByteArray piece(64 * 1024, 'x');
    for (auto quiet = Clock::now(); Clock::now() - quiet < milliseconds(500);) {
        if (::send(c.fd(), piece.constData(), size_t(piece.size()), MSG_DONTWAIT | MSG_NOSIGNAL) > 0)
            quiet = Clock::now();
        else
            std::this_thread::sleep_for(milliseconds(5));
    }
    const auto start = Clock::now();
    auto writing = std::async(std::launch::async, [&] { return Transport::SendStream(c, piece); });
    if (writing.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        c.shutdown();  // today's unbounded write: free the thread, then fail
        writing.wait();
        FAIL() << "the write did not give up";
    }
    const auto waited = Clock::now() - start;
    EXPECT_FALSE(writing.get());
    EXPECT_GE(waited, milliseconds(kStallMs));
    EXPECT_LT(waited, milliseconds(3 * kStallMs));
    // The stream is broken mid-write: the connection is shut, the peer sees
    // its end after the bytes that got through.
    EXPECT_FALSE(c.isOpen());
    bool closed = false;
    p.peer->readUntilClosed(&closed, 10000);
    EXPECT_TRUE(closed);
}

TEST(TcpConnection, BufferServesLinesAndPiecesInOrderAndSeesTheClose)
{
    RawPair p = makeRawPair();
    ASSERT_TRUE(p.peer->send("first\r\nsecond\nrest-of-data"));
    p.peer->close();
    QByteArray line;
    ASSERT_EQ(p.conn.readLine(line, 5000), ReadStatus::Ok);
    EXPECT_EQ(line, "first");
    ASSERT_EQ(p.conn.readLine(line, 5000), ReadStatus::Ok);
    EXPECT_EQ(line, "second");
    QByteArray some;
    ASSERT_EQ(p.conn.readSome(some, 4, 5000), ReadStatus::Ok);
    EXPECT_EQ(some, "rest");
    // Buffered bytes are still served after the peer closed, then Closed.
    EXPECT_EQ(p.conn.readLine(line, 5000), ReadStatus::Closed);
    ASSERT_EQ(p.conn.readSome(some, 100, 5000), ReadStatus::Ok);
    EXPECT_EQ(some, "rest-of-data");
    EXPECT_EQ(p.conn.readSome(some, 100, 5000), ReadStatus::Closed);
    EXPECT_FALSE(p.conn.isOpen());
}

TEST(TcpConnection, MovedConnectionKeepsSocketAndBuffer)
{
    RawPair p = makeRawPair();
    ASSERT_TRUE(p.peer->send("one\ntwo\n"));
    QByteArray line;
    ASSERT_EQ(p.conn.readLine(line, 5000), ReadStatus::Ok);
    TcpConnection moved(std::move(p.conn));
    EXPECT_FALSE(p.conn.isOpen());
    EXPECT_TRUE(moved.isOpen());
    ASSERT_EQ(moved.readLine(line, 5000), ReadStatus::Ok);
    EXPECT_EQ(line, "two");
    TcpConnection assigned;
    assigned = std::move(moved);
    EXPECT_TRUE(assigned.writeAll("back"));
    EXPECT_EQ(p.peer->read(4), "back");
}

TEST(TcpConnection, ShutdownFromAnotherThreadWakesABlockedReader)
{
    RawPair p = makeRawPair();
    std::promise<int> tid;
    auto reader = std::async(std::launch::async, [&] {
        tid.set_value(currentTid());
        QByteArray line;
        return p.conn.readLine(line, TcpConnection::kNoLimit);
    });
    ASSERT_TRUE(waitUntilBlocked(tid.get_future().get()));
    p.conn.shutdown();
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(reader.get(), ReadStatus::Closed);
    EXPECT_FALSE(p.conn.isOpen());
    bool closed = false;
    p.peer->readUntilClosed(&closed);
    EXPECT_TRUE(closed);
}

TEST(TcpConnection, ReaderAndWriterRunOnDifferentThreads)
{
    ConnPair c = makeConnPair();
    constexpr int kLines = 2000;
    auto reader = std::async(std::launch::async, [&] {
        int n = 0;
        QByteArray line;
        while (c.server.readLine(line, 5000) == ReadStatus::Ok && line == QByteArray::number(n))
            ++n;
        return n;
    });
    auto echo = std::async(std::launch::async, [&] {
        bool ok = true;
        for (int i = 0; i < kLines; ++i)
            ok = c.server.writeAll(QByteArray::number(i) + "\n") && ok;
        return ok;
    });
    for (int i = 0; i < kLines; ++i)
        ASSERT_TRUE(c.client.writeAll(QByteArray::number(i) + "\n"));
    QByteArray line;
    for (int i = 0; i < kLines; ++i) {
        ASSERT_EQ(c.client.readLine(line, 5000), ReadStatus::Ok);
        ASSERT_EQ(line, QByteArray::number(i));
    }
    EXPECT_TRUE(echo.get());
    c.client.close();
    EXPECT_EQ(reader.get(), kLines);
}

TEST(TcpListener, CloseFromAnotherThreadWakesABlockedAccept)
{
    TcpListener listener;
    ASSERT_TRUE(listener.listen(0));
    std::promise<int> tid;
    auto acceptor = std::async(std::launch::async, [&] {
        tid.set_value(currentTid());
        return listener.accept().has_value();
    });
    ASSERT_TRUE(waitUntilBlocked(tid.get_future().get()));
    listener.close();
    ASSERT_EQ(acceptor.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(acceptor.get());
    EXPECT_FALSE(listener.isListening());
    EXPECT_FALSE(listener.accept().has_value());
}

TEST(TcpListener, BusyPortIsReported)
{
    TcpListener first;
    ASSERT_TRUE(first.listen(0));
    TcpListener second;
    QString error;
    EXPECT_FALSE(second.listen(first.port(), &error));
    EXPECT_FALSE(error.isEmpty());
}

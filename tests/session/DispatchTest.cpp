// Which block reaches which call of the transfer side, on which thread, and
// when a disconnection is logged.
#include "SessionSide.h"

#include "core/protocol/Commands.h"
#include "core/protocol/TcpListener.h"
#include "core/protocol/Transport.h"
#include "core/session/ISessionDispatch.h"

#include <QTest>
#include <QThread>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace corvid;
using namespace corvid::test;
using Outcome = SessionController::ConnectOutcome;

namespace {

constexpr int kWaitMs = 5000;

// Records each call with the FileName of its block and whether it ran on
// the UI thread.
class RecordingDispatch : public ISessionDispatch {
public:
    struct Call {
        QString what;
        QByteArray fileName;
        bool onUiThread = false;
    };
    void AcceptPushedList(TcpConnection&, HeaderBlock& b) override { add("AcceptPushedList", b); }
    void AcceptPushedFile(TcpConnection&, HeaderBlock& b) override { add("AcceptPushedFile", b); }
    void ServeListRequest(TcpConnection&, HeaderBlock& b) override { add("ServeListRequest", b); }
    void ServeFileRequest(TcpConnection&, HeaderBlock& b) override { add("ServeFileRequest", b); }
    void PeerListChanged() override { add("PeerListChanged", {}); }
    void PeerAsksForList() override { add("PeerAsksForList", {}); }
    void PeerAsksForFile(const HeaderBlock& b) override { add("PeerAsksForFile", b); }

    std::vector<Call> calls() const
    {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    // For polls: counts in place.
    int count() const
    {
        std::lock_guard lock(mutex_);
        return int(calls_.size());
    }

private:
    void add(const char* what, const HeaderBlock& b)
    {
        std::lock_guard lock(mutex_);
        calls_.push_back({QString::fromLatin1(what), Header::Value(b, "FileName"),
                          QThread::currentThread() == qApp->thread()});
    }
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
};

HeaderBlock block(const char* command, const char* type, const char* fileName)
{
    return {QByteArray("Command=") + command, "UserAgent=CRV2/", QByteArray("ContentType=") + type,
            QByteArray("FileName=") + fileName, "ContentLength=1", ""};
}

const HeaderBlock kConnect{"Command=Connect", "Protocol=1", "UserAgent=CRV2/", "Name=Raw", ""};
const HeaderBlock kAccept{"Command=Connect", "Accept=True", "Protocol=1", "UserAgent=CRV2/", "Name=Raw", ""};

} // namespace

TEST(Dispatch, EachBlockReachesItsOwnCallInBothRoles)
{
    struct Row {
        const char* command;
        const char* type;
        const char* expected;  // nullptr: the role ignores it
    };
    // The server takes them on the connection's thread, any connection.
    const std::vector<Row> server{{"Send", "FileList", "AcceptPushedList"},
                                  {"Send", "File", "AcceptPushedFile"},
                                  {"Recv", "FileList", "ServeListRequest"},
                                  {"Recv", "File", "ServeFileRequest"},
                                  {"Result", "File", nullptr}};
    {
        ServerSide a;
        RecordingDispatch d;
        a.ctl.setDispatch(&d);
        TcpConnection c;
        ASSERT_TRUE(c.connectTo(QStringLiteral("127.0.0.1"), a.ctl.listeningPort(), 2000));
        for (const Row& r : server)
            ASSERT_TRUE(Transport::WriteHeader(c, block(r.command, r.type, r.command)));
        QTRY_COMPARE_WITH_TIMEOUT(d.count(), 4, kWaitMs);
        for (size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(d.calls()[i].what, QString::fromLatin1(server[i].expected));
            EXPECT_EQ(d.calls()[i].fileName, QByteArray(server[i].command));
            EXPECT_FALSE(d.calls()[i].onUiThread);
        }
        a.ctl.shutdown();
    }
    // The client takes them from its session connection, on the UI thread.
    const std::vector<Row> client{{"Send", "FileList", "PeerListChanged"},
                                  {"Recv", "FileList", "PeerAsksForList"},
                                  {"Recv", "File", "PeerAsksForFile"},
                                  {"Send", "File", nullptr}};
    TcpListener listener;
    ASSERT_TRUE(listener.listen(0));
    Side b(QStringLiteral("Ben"));
    RecordingDispatch d;
    b.ctl.setDispatch(&d);
    std::thread peer([&] {
        auto c = listener.accept();
        ASSERT_TRUE(c);
        HeaderBlock hello;
        Commands::ReadCommand(*c, hello, 3000);
        Transport::WriteHeader(*c, kAccept);
        for (const Row& r : client)
            Transport::WriteHeader(*c, block(r.command, r.type, "want.txt"));
        QByteArray rest;
        c->readSome(rest, 1, 5000);  // until the client lets go
    });
    ASSERT_EQ(b.connect(QStringLiteral("127.0.0.1"), QString::number(listener.port())), Outcome::Connected);
    QTRY_COMPARE_WITH_TIMEOUT(d.count(), 3, kWaitMs);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(d.calls()[i].what, QString::fromLatin1(client[i].expected));
        EXPECT_TRUE(d.calls()[i].onUiThread);
    }
    EXPECT_EQ(d.calls()[2].fileName, QByteArray("want.txt"));
    b.ctl.disconnectClient();
    peer.join();
}

TEST(Dispatch, DisconnectIsLoggedOnlyAfterAPeerWasKnown)
{
    ServerSide a;
    Side b(QStringLiteral("Ben"));
    Side c(QStringLiteral("Cho"));
    ASSERT_EQ(b.connect(QStringLiteral("127.0.0.1"), a.port()), Outcome::Connected);
    QTRY_VERIFY_WITH_TIMEOUT(a.ctl.hasServerSession(), kWaitMs);
    // Refused while busy: the reply carries no name, so there is no peer to
    // have been cut from.
    ASSERT_EQ(c.connect(QStringLiteral("127.0.0.1"), a.port()), Outcome::Refused);
    EXPECT_EQ(c.log.kindOf(QStringLiteral("接続失敗")), LineSys);
    EXPECT_FALSE(c.log.contains(QStringLiteral("切断")));
    // A connection that never shook hands leaves without a word.
    {
        TcpConnection raw;
        ASSERT_TRUE(raw.connectTo(QStringLiteral("127.0.0.1"), a.ctl.listeningPort(), 2000));
    }
    b.ctl.disconnectClient();
    QTRY_VERIFY_WITH_TIMEOUT(!a.ctl.hasServerSession(), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(a.log.count(QStringLiteral("切断")), 1, kWaitMs);
    EXPECT_EQ(b.log.count(QStringLiteral("切断")), 1);
    EXPECT_EQ(b.log.kindOf(QStringLiteral("切断")), LineSys);
}

// The listening side's file conversations through the session's dispatch:
// only the session partner is served, and each conversation leaves the rows
// and log lines it should.
#include "TransferTestSupport.h"
#include "session/SessionSide.h"

#include "core/protocol/Commands.h"
#include "core/protocol/FileListExchange.h"
#include "core/protocol/TransferEngine.h"
#include "core/protocol/TransferResultCode.h"
#include "core/protocol/Transport.h"
#include "core/settings/AppSettings.h"
#include "core/settings/Conversions.h"
#include "core/transfer/TransferCenter.h"
#include "core/transfer/TransferDispatch.h"

#include <QDir>
#include <future>
#include <QTemporaryDir>
#include <QTest>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace corvid;
using namespace corvid::test;
using Outcome = SessionController::ConnectOutcome;

namespace {

constexpr int kWaitMs = 5000;

// A listening program instance with its transfer side, and a partner that
// shook hands with it from 127.0.0.1.
struct Listening {
    QTemporaryDir recvDir;
    QTemporaryDir sendDir;
    ServerSide a;
    AppSettings settings;
    std::unique_ptr<TransferCenter> center;
    std::unique_ptr<TransferDispatch> dispatch;
    Side partner{QStringLiteral("Ben")};
    int receptionsEnded = 0;

    Listening()
    {
        settings.RecvDir = recvDir.path() + "/";
        settings.publish();
        center = std::make_unique<TransferCenter>(settings, a.log, a.ui);
        TransferDispatch::Hooks hooks;
        hooks.partnerAddress = [this] { return a.ctl.partnerAddress(); };
        dispatch = std::make_unique<TransferDispatch>(*center, std::move(hooks));
        // What the scheduler listens to: the end of each reception.
        center->setEventObserver([this](int code, const QString&) {
            if (code == RcReceived || code == RcReceiveFailed)
                ++receptionsEnded;
        });
        a.ctl.setDispatch(dispatch.get());
        EXPECT_EQ(partner.connect(QStringLiteral("127.0.0.1"), a.port()), Outcome::Connected);
        QTRY_VERIFY_WITH_TIMEOUT(a.ctl.hasServerSession(), kWaitMs);
    }
    ~Listening()
    {
        a.ui.beginShutdown();
        center->Shutdown();
        a.ctl.shutdown();
    }
    // A file in the send queue.
    RowRef offer(const QString& name, const QByteArray& bytes)
    {
        writeFile(sendDir.filePath(name), bytes);
        return center->sendQueue().Append(name, Conversions::FormatThousands(bytes.size()), sendDir.path() + "/",
                                          RowState::Waiting);
    }
    // A transfer connection from `source` (127.0.0.1 is the partner).
    TcpConnection open(const char* source = "127.0.0.1")
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        ::inet_pton(AF_INET, source, &from.sin_addr);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(a.ctl.listeningPort());
        ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        return TcpConnection(fd);
    }
};

// Runs the peer's side of a conversation on a thread of its own while the
// UI thread (this one) serves the listening side's row steps.
template <typename F> auto asPeer(F fn)
{
    auto f = std::async(std::launch::async, std::move(fn));
    while (f.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
        QCoreApplication::processEvents();  // every conversation has its own time limits
    return f.get();
}

// The peer's side of a transfer: a queue row of its own, in transfer.
struct PeerRow {
    TransferQueue queue;
    RowRef row;
    PeerRow(QueueKind kind, const QString& name, qint64 size, const QString& folder)
        : queue(kind)
    {
        queue.RunButton()->SetPressed(true);
        row = queue.Append(name, Conversions::FormatThousands(size), folder, RowState::Transferring);
    }
};

// The peer's pull of `name` into the folder `into`.
bool pull(TcpConnection c, const QString& name, qint64 size, const QString& into)
{
    PeerRow p(QueueKind::Receive, name, size, into);
    auto rec = p.queue.MakeRecord(p.row, into);
    return TransferEngine::ReceiveFile(c, QByteArray(kToken), *rec, 65536).ok();
}

} // namespace

TEST(TransferDispatch, StrangersGetNoAnswerToAnyConversation)
{
    Listening l;
    l.offer(QStringLiteral("a.txt"), pattern(1000));
    // A stranger at another loopback address, and anyone once there is no
    // session, asks for the list and gets nothing within the wait.
    QList<QByteArray> lines;
    EXPECT_FALSE(FileListExchange::FetchFileList(*std::make_unique<TcpConnection>(l.open("127.0.0.2")), QByteArray(kToken), lines));
    QTemporaryDir into;
    EXPECT_FALSE(pull(l.open("127.0.0.2"), QStringLiteral("a.txt"), 1000, into.path() + "/"));
    EXPECT_TRUE(QDir(into.path()).isEmpty());
    EXPECT_EQ(l.center->sendQueue().Row(0).State(), RowState::Waiting);

    l.partner.ctl.disconnectClient();
    QTRY_VERIFY_WITH_TIMEOUT(!l.a.ctl.hasServerSession(), kWaitMs);
    EXPECT_FALSE(FileListExchange::FetchFileList(*std::make_unique<TcpConnection>(l.open()), QByteArray(kToken), lines));
}

TEST(TransferDispatch, PartnerPullsTheListAndAFile)
{
    Listening l;
    const QByteArray bytes = pattern(150000);
    const RowRef row = l.offer(QStringLiteral("report.txt"), bytes);
    l.center->sendQueue().RunButton()->SetPressed(true);

    QList<QByteArray> lines;
    TcpConnection listConn = l.open();
    ASSERT_TRUE(asPeer([&] { return FileListExchange::FetchFileList(listConn, QByteArray(kToken), lines); }));
    EXPECT_EQ(lines, (QList<QByteArray>{"\"report.txt\",\"150,000\","}));

    QTemporaryDir into;
    TcpConnection fileConn = l.open();
    EXPECT_TRUE(asPeer([&] { return pull(std::move(fileConn), QStringLiteral("report.txt"), bytes.size(), into.path() + "/"); }));
    EXPECT_EQ(readFile(into.filePath(QStringLiteral("report.txt"))), bytes);
    QTRY_COMPARE_WITH_TIMEOUT(row->State(), RowState::Done, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(l.a.log.contains(QStringLiteral("ファイル送信成功：report.txt")), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(l.center->sendingList().NotInTransfer(row), kWaitMs);
}

TEST(TransferDispatch, PushedListWaitsForTheWindowThenMerges)
{
    Listening l;
    const auto push = [&](const QByteArray& body) {
        TcpConnection c = l.open();
        return Transport::SendContent(c, QByteArray(kToken), "FileList", body);
    };
    ASSERT_TRUE(push("\"one.txt\",\"10\",\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(l.center->schedule().PendingList.size(), 1, kWaitMs);
    // A second list before the first showing replaces the first.
    ASSERT_TRUE(push("\"two.txt\",\"20\",\r\n\"three.txt\",\"30\",\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(l.center->schedule().PendingList.size(), 2, kWaitMs);
    EXPECT_TRUE(l.center->schedule().PriorityPending);
    EXPECT_EQ(l.center->receiveQueue().Count(), 0);

    l.center->schedule().ListWindowShown = true;
    ASSERT_TRUE(push("\"two.txt\",\"20\",\r\n\"four.txt\",\"40\",\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(l.center->receiveQueue().Count(), 2, kWaitMs);
    EXPECT_EQ(l.center->receiveQueue().Row(1).Name(), QStringLiteral("four.txt"));
}

TEST(TransferDispatch, PushedFileLandsInTheReceiveFolderOnceAndTellsTheScheduler)
{
    Listening l;
    const QByteArray bytes = pattern(70000);
    const RowRef row = l.center->receiveQueue().Append(QStringLiteral("pic.png"), Conversions::FormatThousands(bytes.size()),
                                                       l.settings.RecvDir, RowState::Waiting);
    l.center->receiveQueue().RunButton()->SetPressed(true);
    QTemporaryDir from;
    writeFile(from.filePath(QStringLiteral("pic.png")), bytes);
    const auto pushFile = [&](const char* source) {
        PeerRow p(QueueKind::Send, QStringLiteral("pic.png"), bytes.size(), from.path() + "/");
        auto rec = p.queue.MakeRecord(p.row);
        TcpConnection c = l.open(source);
        return TransferEngine::PushFile(c, QByteArray(kToken), *rec, 65536).ok();
    };
    EXPECT_FALSE(asPeer([&] { return pushFile("127.0.0.2"); }));  // a stranger's push is not taken
    EXPECT_EQ(row->State(), RowState::Waiting);
    EXPECT_TRUE(asPeer([&] { return pushFile("127.0.0.1"); }));
    QTRY_COMPARE_WITH_TIMEOUT(row->State(), RowState::Done, kWaitMs);
    EXPECT_EQ(readFile(l.recvDir.filePath(QStringLiteral("pic.png"))), bytes);
    QTRY_COMPARE_WITH_TIMEOUT(l.receptionsEnded, 1, kWaitMs);
    EXPECT_TRUE(l.a.log.contains(QStringLiteral("ファイル受信成功：pic.png")));
}

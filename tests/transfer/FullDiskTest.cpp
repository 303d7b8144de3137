// A receive folder that fills up: the reception fails once with a line
// naming the file, keeps whole chunks only, is not tried again until the
// user starts receiving again, and resumes once there is room.
#include "SmallDisk.h"
#include "TransferFakes.h"
#include "TransferTestSupport.h"
#include "WorkerPeer.h"
#include "session/FakeLog.h"

#include "core/protocol/CopyLoop.h"
#include "core/protocol/LocalFileChooser.h"
#include "core/session/UiHandOver.h"
#include "core/settings/AppSettings.h"
#include "core/settings/Conversions.h"
#include "core/transfer/ReceiveScheduler.h"
#include "core/transfer/TransferCenter.h"

#include <QTest>

using namespace corvid;
using namespace corvid::test;

namespace {

constexpr int kWaitMs = 20000;
constexpr qint64 kDisk = 1 << 20;
constexpr qint64 kFile = 2000000;
constexpr int kChunk = 100000;  // a full disk tears the eleventh chunk

class FullDiskTest : public ::testing::Test {
protected:
    QTemporaryDir base;
    QTemporaryDir sendDir;
    QString folder;

    void SetUp() override
    {
        ASSERT_TRUE(QDir(base.path()).mkdir("in"));
        folder = base.path() + "/in/";
    }
};

} // namespace

TEST_F(FullDiskTest, AFullFolderFailsTheRowOnceAndTheNextStartResumes)
{
    SmallDisk disk(folder, kDisk);
    if (!disk.ok())
        GTEST_SKIP() << "no private tmpfs here (needs root)";
    const QByteArray content = pattern(kFile, 9);
    ASSERT_TRUE(writeFile(sendDir.filePath("big.bin"), content));
    FileServer server{sendDir.path(), content};
    Peer peer([&](TcpConnection& c) { server.serve(c); });

    FakeLog log;
    UiHandOver handOver;
    AppSettings settings;
    settings.RecvDir = folder;
    settings.ChunkSize = kChunk;
    settings.publish();
    TransferCenter center(settings, log, handOver);
    FakeSessionLink session;
    session.isConnected = true;
    session.host = QStringLiteral("127.0.0.1");
    session.port = peer.port();
    center.setSession(&session);
    ReceiveScheduler scheduler(center);
    TransferQueue& q = center.receiveQueue();
    // The window's "受信開始", pressed or released by the user or the scheduler.
    const auto press = [&] {
        const bool down = !q.IsRunning();
        q.RunButton()->SetPressed(down);
        scheduler.ReceiveToggled(down);
    };
    FakeTransferWindow window;
    window.onPressReceive = press;
    center.setWindow(&window);
    const RowRef row = q.Append("big.bin", Conversions::FormatThousands(kFile), folder, RowState::Waiting);

    press();
    const QString failed = QStringLiteral("ファイル受信失敗：big.bin");
    ASSERT_TRUE(QTest::qWaitFor([&] { return center.WorkerCount() == 0 && log.contains(failed); }, kWaitMs));
    // Ticks after the failure: the cursor passes the row, then receiving ends.
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents();
        scheduler.Timer2Timer();
    }
    QCoreApplication::processEvents();
    EXPECT_FALSE(q.IsRunning());
    EXPECT_EQ(row->State(), RowState::Stopped);
    EXPECT_EQ(peer.accepted(), 1);  // tried once, not again and again
    EXPECT_EQ(log.count(failed), 1);
    EXPECT_EQ(log.count(QStringLiteral("受信フォルダの空き容量が足りません：big.bin")), 1);
    const QString path = folder + "big.bin";
    const QByteArray kept = readFile(path);
    EXPECT_GT(kept.size(), 0);
    EXPECT_EQ(kept.size() % kChunk, 0) << kept.size() << " bytes: a torn chunk was kept";
    EXPECT_TRUE(kept == content.left(kept.size()));
    EXPECT_EQ(attrOf(path), 34u);

    // Room again: the next start resumes from the whole chunks.
    ASSERT_TRUE(disk.resize(8 * kDisk));
    press();
    ASSERT_TRUE(QTest::qWaitFor([&] { return center.WorkerCount() == 0 && row->State() == RowState::Done; },
                                kWaitMs));
    EXPECT_EQ(server.lastStart.load(), kept.size());
    EXPECT_TRUE(readFile(path) == content);
    EXPECT_EQ(attrOf(path), 32u);
    EXPECT_TRUE(log.contains(QStringLiteral("ファイル受信成功：big.bin")));
}

TEST_F(FullDiskTest, APushIntoAFullFolderEndsAsDiskFullWithWholeChunks)
{
    SmallDisk disk(folder, kDisk);
    if (!disk.ok())
        GTEST_SKIP() << "no private tmpfs here (needs root)";
    const QByteArray content = pattern(kFile, 4);
    ASSERT_TRUE(writeFile(sendDir.filePath("p.bin"), content));
    TransferQueue in(QueueKind::Receive);
    TransferQueue out(QueueKind::Send);
    in.RunButton()->SetPressed(true);
    out.RunButton()->SetPressed(true);
    const auto size = Conversions::FormatThousands(kFile);
    const auto receiving = [&] {
        return in.MakeRecord(in.Append("p.bin", size, folder, RowState::Transferring));
    };

    const auto pushFrom = [&](qint64 start, TransferOutcome& received) {
        auto src = out.MakeRecord(out.Append("p.bin", size, sendDir.path() + "/", RowState::Transferring));
        src->StartPosition = start;
        auto dst = receiving();
        Loopback lo;
        if (!lo.open()) {
            ADD_FAILURE() << "no loopback connection";
            return;
        }
        std::thread server([&] {
            HeaderBlock m;
            if (Commands::ReadCommand(lo.server, m, 3000) == CmdSend)
                received = TransferEngine::ReceivePushedFile(lo.server, kToken, *dst, m, kChunk);
        });
        TransferEngine::PushFile(lo.client, kToken, *src, 65536);
        server.join();
    };
    TransferOutcome first;
    pushFrom(0, first);
    EXPECT_EQ(first.status(), TransferStatus::DiskFull) << TransferOutcome::StatusName(first.status());
    const QByteArray kept = readFile(folder + "p.bin");
    EXPECT_GT(kept.size(), 0);
    EXPECT_EQ(kept.size() % kChunk, 0);
    EXPECT_EQ(first.fileBytes(), kept.size());

    ASSERT_TRUE(disk.resize(8 * kDisk));
    const qint64 start = LocalFileChooser::ResumeOffset(folder + "p.bin", kFile);
    EXPECT_EQ(start, kept.size());
    TransferOutcome second;
    pushFrom(start, second);
    EXPECT_TRUE(second.ok()) << TransferOutcome::StatusName(second.status());
    EXPECT_TRUE(readFile(folder + "p.bin") == content);
}

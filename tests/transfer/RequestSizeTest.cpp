// The server role asks the peer for a row's file with the row's size as
// ContentLength. A size text that no request can carry must never become
// another size on the wire (an overflow read as 0): such a row is not asked
// for, ends as a failed reception would, and the cursor moves on.
#include "TransferFakes.h"
#include "TransferTestSupport.h"
#include "session/FakeLog.h"

#include "core/session/UiHandOver.h"
#include "core/settings/AppSettings.h"
#include "core/transfer/ReceiveScheduler.h"
#include "core/transfer/TransferCenter.h"

using namespace corvid;
using namespace corvid::test;

TEST(RequestSize, ARowWhoseSizeNoRequestCanCarryIsNeverAskedFor)
{
    QTemporaryDir dir;
    FakeLog log;
    UiHandOver handOver;
    AppSettings settings;
    settings.RecvDir = dir.path() + "/";
    settings.publish();
    TransferCenter center(settings, log, handOver);
    FakeSessionLink session;
    session.server = true;
    center.setSession(&session);
    ReceiveScheduler scheduler(center);
    QList<QByteArray>& requests = session.sent;
    TransferQueue& q = center.receiveQueue();

    for (const char* size : {"2,147,483,648", "4,294,967,296", "abc", "0", "-1"}) {
        SCOPED_TRACE(size);
        requests.clear();
        const RowRef row = q.Append("big.mp4", size, settings.RecvDir, RowState::Waiting);
        EXPECT_FALSE(scheduler.RequestReceive(row));
        EXPECT_TRUE(requests.isEmpty());
        EXPECT_EQ(row->State(), RowState::Stopped);  // "受信開始" is up
        q.Remove(row);
    }
    EXPECT_EQ(log.count(QStringLiteral("ファイル受信失敗：big.mp4")), 5);

    // While receiving: the row fails, the next tick passes it and asks for
    // the next row, and nothing asks for it again.
    const RowRef big = q.Append("big.mp4", "2,147,483,648", settings.RecvDir, RowState::Waiting);
    const RowRef small = q.Append("small.txt", "2,147,483,647", settings.RecvDir, RowState::Waiting);
    q.RunButton()->SetPressed(true);
    requests.clear();
    scheduler.ReceiveToggled(true);
    EXPECT_EQ(big->State(), RowState::Failed);
    EXPECT_TRUE(requests.isEmpty());
    scheduler.Timer2Timer();
    scheduler.Timer2Timer();
    EXPECT_EQ(big->State(), RowState::Stopped);
    ASSERT_FALSE(requests.isEmpty());
    for (const QByteArray& r : requests) {
        EXPECT_TRUE(r.contains("FileName=small.txt\r\n")) << r.constData();
        EXPECT_TRUE(r.contains("ContentLength=2147483647\r\n")) << r.constData();
    }
}

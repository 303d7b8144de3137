// During an encrypted session the listening side knows its partner's
// transfer connections by their key: plaintext from the partner's own
// address is refused, told once per connection, and nothing is answered
// or written; the same conversations over TLS with the partner's key are served.
#include "ListeningSide.h"
#include "session/HostileTlsPeers.h"

#include "core/protocol/FileListExchange.h"
#include "core/protocol/ProtocolLevel.h"
#include "core/protocol/TransferEngine.h"
#include "core/security/TrustTexts.h"
#include "core/settings/AppSettings.h"
#include "core/settings/Conversions.h"
#include "core/transfer/SessionControllerLink.h"
#include "core/transfer/TransferCenter.h"
#include "core/transfer/TransferDispatch.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <future>

using namespace corvid;
using namespace corvid::test;

namespace {

constexpr int kWaitMs = 5000;

// A transfer connection from the partner's address over TLS with the
// partner's key, as its transfer side opens them.
TcpConnection openTls(Listening& l)
{
    TcpConnection c = l.open();
    EXPECT_EQ(c.startTls(*l.partner.ctl.tlsContext(), TlsRole::Client, kWaitMs).failure, TlsStream::Failure::None);
    return c;
}

} // namespace

TEST(EncryptedDispatch, PlaintextFromThePartnersAddressIsRefusedAndItsKeyIsServed)
{
    // Destroyed last: the listener's threads are joined while SIGPIPE is ignored.
    const IgnoreSigPipe pipe;
    Listening l(ProtocolLevel::kOwn);  // Ben is one of our own: the session is encrypted
    ASSERT_FALSE(l.link.partnerKey().isEmpty());
    writeFile(l.sendDir.filePath("report.txt"), pattern(1000));
    l.center->sendQueue().Append(QStringLiteral("report.txt"), QStringLiteral("1,000"), l.sendDir.path() + "/",
                                 RowState::Waiting);
    const QByteArray picture = pattern(70000);
    const RowRef row = l.center->receiveQueue().Append(QStringLiteral("pic.png"),
                                                       Conversions::FormatThousands(picture.size()),
                                                       l.settings.RecvDir, RowState::Waiting);
    l.center->receiveQueue().RunButton()->SetPressed(true);
    QTemporaryDir from;
    writeFile(from.filePath(QStringLiteral("pic.png")), picture);
    const auto push = [&](TcpConnection c) {
        TransferQueue queue(QueueKind::Send);
        queue.RunButton()->SetPressed(true);
        const RowRef own = queue.Append(QStringLiteral("pic.png"), Conversions::FormatThousands(picture.size()),
                                        from.path() + "/", RowState::Transferring);
        auto rec = queue.MakeRecord(own);
        rec->Protocol = ProtocolLevel::kOwn;  // as the partner's own push
        return TransferEngine::PushFile(c, QByteArray(kToken), *rec, 65536).ok();
    };
    const auto fetchList = [&](TcpConnection c) {
        QList<QByteArray> lines;
        return FileListExchange::FetchFileList(c, QByteArray(kToken), lines) && lines.size() == 1;
    };

    EXPECT_FALSE(asPeer([&] { return fetchList(l.open()); }));
    EXPECT_FALSE(asPeer([&] { return push(l.open()); }));
    EXPECT_EQ(l.a.log.count(TrustTexts::TransferPlainRefused(QStringLiteral("127.0.0.1"))), 2);
    EXPECT_TRUE(QDir(l.recvDir.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    EXPECT_EQ(row->State(), RowState::Waiting);
    EXPECT_TRUE(l.a.ctl.hasServerSession());

    EXPECT_TRUE(asPeer([&] { return fetchList(openTls(l)); }));
    EXPECT_TRUE(asPeer([&] { return push(openTls(l)); }));
    EXPECT_TRUE(waitFor([&] { return row->State() == RowState::Done; }, kWaitMs));
    EXPECT_EQ(readFile(l.recvDir.filePath(QStringLiteral("pic.png"))), picture);
    EXPECT_EQ(l.a.log.count(TrustTexts::TransferPlainRefused(QStringLiteral("127.0.0.1"))), 2);
}

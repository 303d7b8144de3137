// Transfers between two of our own (protocol 2): 64-bit sizes, the digest
// after the data, and what a sender that stops early leaves on the wire.
#include "EngineFixture.h"

#include "core/protocol/FileAttributes.h"
#include "core/protocol/FileDigest.h"
#include "core/protocol/LocalFileChooser.h"

#include <fcntl.h>
#include <unistd.h>

namespace corvid::test {
namespace {

QByteArray digestOf(const QByteArray& bytes)
{
    FileDigest d;
    d.Update(bytes.constData(), bytes.size());
    return d.Text();
}

class ExtendedEngine : public EngineTest {
protected:
    std::shared_ptr<TCRFileRec> receiving2(const QString& name, qint64 size)
    {
        auto rec = receiving(name, size);
        rec->Protocol = 2;
        return rec;
    }
    std::shared_ptr<TCRFileRec> sending2(const QString& name, qint64 start = 0)
    {
        auto rec = sending(name, start);
        rec->Protocol = 2;
        return rec;
    }
    // Whether the receive folder holds nothing but hidden partial copies.
    bool nothingShownAsFinished() const
    {
        for (const QFileInfo& f : QDir(recvDir.path()).entryInfoList(QDir::Files | QDir::Hidden)) {
            const auto word = FileAttributes::Read(f.filePath());
            if (!word || !FileAttributes::IsHidden(*word))
                return false;
        }
        return true;
    }
};

TEST(FileDigest, PiecesAndWholeAgreeAndAnyByteChangesIt)
{
    const QByteArray bytes = pattern(300000);
    FileDigest pieces;
    for (qsizetype at = 0; at < bytes.size(); at += 7777)
        pieces.Update(bytes.constData() + at, qMin<qsizetype>(7777, bytes.size() - at));
    EXPECT_EQ(pieces.Text(), digestOf(bytes));
    EXPECT_TRUE(digestOf(bytes).startsWith("xxh3-128:"));
    EXPECT_EQ(digestOf(bytes).size(), 9 + 32);
    QByteArray changed = bytes;
    changed[150000] = char(changed[150000] ^ 1);
    EXPECT_NE(digestOf(changed), digestOf(bytes));

    QTemporaryDir dir;
    ASSERT_TRUE(writeFile(dir.filePath("f"), bytes));
    const int fd = ::open(QFile::encodeName(dir.filePath("f")).constData(), O_RDONLY);
    FileDigest fromFile;
    EXPECT_TRUE(fromFile.UpdateFromFile(fd, 0, 100000));
    fromFile.Update(bytes.constData() + 100000, bytes.size() - 100000);
    EXPECT_EQ(fromFile.Text(), digestOf(bytes));
    FileDigest pastEnd;
    EXPECT_FALSE(pastEnd.UpdateFromFile(fd, 0, bytes.size() + 1));
    ::close(fd);
}

TEST_F(ExtendedEngine, PullAndPushEndWithTheDigestBothSidesAgreeOn)
{
    const QByteArray data = pattern(200000);
    ASSERT_TRUE(writeFile(outPath("b.bin"), data));
    auto in = receiving2("b.bin", data.size());
    auto out = sending2("b.bin");
    const Pair pushed = push(*out, *in);
    EXPECT_TRUE(pushed.client.ok()) << TransferOutcome::StatusName(pushed.client.status());
    EXPECT_TRUE(pushed.server.ok()) << TransferOutcome::StatusName(pushed.server.status());
    EXPECT_EQ(readFile(inPath("b.bin")), data);
    EXPECT_EQ(attrOf(inPath("b.bin")), 32u);

    Loopback second;
    ASSERT_TRUE(second.open());
    ASSERT_TRUE(writeFile(outPath("a.bin"), data));
    auto in2 = receiving2("a.bin", data.size());
    auto out2 = sending2("a.bin");
    const Pair pulled = pullOn(second, *in2, *out2);
    EXPECT_TRUE(pulled.client.ok()) << TransferOutcome::StatusName(pulled.client.status());
    EXPECT_TRUE(pulled.server.ok()) << TransferOutcome::StatusName(pulled.server.status());
    EXPECT_EQ(readFile(inPath("a.bin")), data);
}

// The sender's side of the wire at protocol 2: K with the 64-bit size, the
// data, the digest block; then Result and P as today.
TEST_F(ExtendedEngine, ServeSendsTheDigestBlockAfterTheData)
{
    const QByteArray data = pattern(1000);
    ASSERT_TRUE(writeFile(outPath("a.txt"), data));
    auto rec = sending2("a.txt", 400);
    TransferOutcome result;
    std::thread server([&] { result = TransferEngine::ServeFile(lo.server, kToken, *rec, 65536); });
    EXPECT_EQ(readBlock(lo.client), blockBytes({"Command=Recv", "Accept=True", "FileName=a.txt",
                                                "ContentLength=1000", "FileAttr=32", "UserAgent=CRV2/",
                                                "ContentType=File"}));
    EXPECT_EQ(readBytes(lo.client, 600), data.mid(400));
    const QByteArray digestLine = "Digest=" + digestOf(data);  // of the whole file, not of the part sent
    EXPECT_EQ(readBlock(lo.client), blockBytes({"Command=Digest", "UserAgent=CRV2/", digestLine.constData()}));
    lo.client.writeAll(blockBytes({"Command=Result", "UserAgent=CRV2/", "Result=True"}));
    EXPECT_EQ(readBlock(lo.client), blockBytes({"Command=Disconnect", "UserAgent=CRV2/"}));
    server.join();
    EXPECT_TRUE(result.ok()) << TransferOutcome::StatusName(result.status());
}

TEST_F(ExtendedEngine, AWrongOrMissingDigestFailsTheReceptionAndDiscardsTheCopy)
{
    const QByteArray data = pattern(5000);
    for (const QByteArray& sent : {QByteArray("Digest=xxh3-128:00000000000000000000000000000000"), QByteArray()}) {
        SCOPED_TRACE(sent.constData());
        Loopback link;
        ASSERT_TRUE(link.open());
        auto rec = receiving2("w.bin", data.size());
        TransferOutcome result;
        std::thread client([&] { result = TransferEngine::ReceiveFile(link.client, kToken, *rec, 65536); });
        readBlock(link.server);
        link.server.writeAll(blockBytes({"Command=Recv", "Accept=True", "FileName=w.bin", "ContentLength=5000",
                                         "FileAttr=32", "UserAgent=CRV2/", "ContentType=File"})
                             + data);
        if (!sent.isEmpty())
            link.server.writeAll(blockBytes({"Command=Digest", "UserAgent=CRV2/", sent.constData()}));
        EXPECT_EQ(readBlock(link.server), blockBytes({"Command=Result", "UserAgent=CRV2/", "Result=False"}));
        client.join();
        EXPECT_EQ(result.status(), TransferStatus::DigestMismatch);
        EXPECT_EQ(result.ReceiveResultCode(), RcReceiveFailed);
        EXPECT_FALSE(QFile::exists(inPath("w.bin")));
        EXPECT_TRUE(nothingShownAsFinished());
    }
}

// A resumed copy whose first part is not the sender's: at protocol 1 the
// size is all there is to judge; at protocol 2 the digest over the whole
// file catches the splice and the next try starts from the first byte.
TEST_F(ExtendedEngine, ASplicedResumeIsCaughtAndTheNextTryStartsAfresh)
{
    const QByteArray data = pattern(100000);
    ASSERT_TRUE(writeFile(outPath("s.bin"), data));
    {
        LocalFile partial;
        ASSERT_TRUE(LocalFileChooser::Choose(inPath("s.bin"), data.size(), partial));
        QByteArray other = data.left(40000);
        other[10] = char(other[10] ^ 0x55);
        ASSERT_TRUE(partial.Append(other));
    }
    auto in = receiving2("s.bin", data.size());
    auto out = sending2("s.bin");
    const Pair first = pull(*in, *out);
    EXPECT_EQ(first.client.status(), TransferStatus::DigestMismatch);
    EXPECT_EQ(first.server.status(), TransferStatus::NotConfirmed);
    EXPECT_TRUE(nothingShownAsFinished());
    EXPECT_EQ(LocalFileChooser::ResumeOffset(inPath("s.bin"), data.size()), 0);

    Loopback second;
    ASSERT_TRUE(second.open());
    auto in2 = receiving2("s.bin", data.size());
    auto out2 = sending2("s.bin");
    const Pair again = pullOn(second, *in2, *out2);
    EXPECT_TRUE(again.client.ok()) << TransferOutcome::StatusName(again.client.status());
    EXPECT_EQ(readFile(inPath("s.bin")), data);
}

// A folder's file lands in the tree the receiver builds itself; a link
// planted where a folder goes stops the reception and nothing is written
// through it.
TEST_F(ExtendedEngine, AFoldersFileBuildsItsTreeAndAPlantedLinkStopsIt)
{
    const QByteArray data = pattern(3000);
    ASSERT_TRUE(QDir().mkpath(outPath("photos/2026")));
    ASSERT_TRUE(writeFile(outPath("photos/2026/a b.jpg"), data));
    const QString entry = QStringLiteral("photos/2026/a b.jpg");
    auto in = receiving2(entry, data.size());
    in->Entry = entry;
    auto out = sending2(entry);
    out->Entry = entry;
    const Pair p = pull(*in, *out);
    EXPECT_TRUE(p.client.ok()) << TransferOutcome::StatusName(p.client.status());
    EXPECT_EQ(readFile(inPath(entry)), data);

    QTemporaryDir outside;
    ASSERT_TRUE(QFile::link(outside.path(), inPath("docs")));
    ASSERT_TRUE(QDir().mkpath(outPath("docs")));
    ASSERT_TRUE(writeFile(outPath("docs/x.txt"), data));
    Loopback second;
    ASSERT_TRUE(second.open());
    auto in2 = receiving2(QStringLiteral("docs/x.txt"), data.size());
    in2->Entry = QStringLiteral("docs/x.txt");
    auto out2 = sending2(QStringLiteral("docs/x.txt"));
    out2->Entry = in2->Entry;
    const Pair blocked = pullOn(second, *in2, *out2);
    EXPECT_EQ(blocked.client.status(), TransferStatus::PathBlocked);
    EXPECT_TRUE(QDir(outside.path()).isEmpty());
}

// Sizes of 2 GiB and more travel at protocol 2 and are never served at 1.
TEST_F(ExtendedEngine, AFileOver2GiBIsServedAt2AndRefusedAt1)
{
    const qint64 size = qint64(3) << 30;
    {
        QFile f(outPath("big.iso"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(size));  // sparse
    }
    for (const int protocol : {1, 2}) {
        SCOPED_TRACE(protocol);
        Loopback link;
        ASSERT_TRUE(link.open());
        auto rec = sending("big.iso");
        rec->Protocol = protocol;
        TransferOutcome result;
        std::thread server([&] { result = TransferEngine::ServeFile(link.server, kToken, *rec, 65536); });
        const QByteArray k = readBlock(link.client);
        if (protocol == 2) {
            EXPECT_TRUE(k.contains("Accept=True\r\n"));
            EXPECT_TRUE(k.contains("\r\nContentLength=3221225472\r\n"));
        } else {
            EXPECT_EQ(k, blockBytes({"Command=Recv", "Accept=False", "UserAgent=CRV2/", "ContentType=File"}));
        }
        link.client.close();
        server.join();
        EXPECT_FALSE(result.ok());
    }
    // The receiving side's request carries the size only at protocol 2.
    QByteArray wire;
    TransferEngine::FileRequest request{recvDir.path() + "/", QStringLiteral("big.iso"), size, -1, 1};
    EXPECT_FALSE(TransferEngine::EncodeFileRequest(kToken, request, wire));
    request.protocol = 2;
    ASSERT_TRUE(TransferEngine::EncodeFileRequest(kToken, request, wire));
    EXPECT_TRUE(wire.contains("\r\nContentLength=3221225472\r\nStartPosition=0\r\n"));
    request.entry = QStringLiteral("../big.iso");
    EXPECT_FALSE(TransferEngine::EncodeFileRequest(kToken, request, wire));
}

// At protocol 1 a sender that stops sends its closing block (today's
// bytes); at protocol 2 it only closes, so nothing of ours can ever be
// taken for file data.
TEST_F(ExtendedEngine, ASenderThatStopsEarlyClosesWithoutItsClosingBlock)
{
    const QByteArray data = pattern(400000);
    ASSERT_TRUE(writeFile(outPath("c.bin"), data));
    for (const int protocol : {1, 2}) {
        SCOPED_TRACE(protocol);
        Loopback link;
        ASSERT_TRUE(link.open());
        auto rec = sending("c.bin");
        rec->Protocol = protocol;
        Trace trace;
        trace.afterChunk = [&](int) { sendQueue.RunButton()->SetPressed(false); };
        rec->Observer = &trace;
        std::thread server([&] { TransferEngine::ServeFile(link.server, kToken, *rec, 65536); });
        readBlock(link.client);
        QByteArray rest;
        EXPECT_TRUE(waitClosed(link.client, 5000, &rest));
        server.join();
        sendQueue.RunButton()->SetPressed(true);
        EXPECT_EQ(rest.endsWith(blockBytes({"Command=Disconnect", "UserAgent=CRV2/"})), protocol == 1);
        EXPECT_LT(rest.size(), data.size());
    }
}

} // namespace
} // namespace corvid::test

// File lists by protocol: what an original peer (1) sees of the send queue,
// the lines two of our own (2) exchange (64-bit sizes, relative paths, the
// source's time), and a protocol-2 peer's hostile list.
#include "TransferTestSupport.h"
#include "session/FakeLog.h"

#include "core/protocol/FileListExchange.h"
#include "core/protocol/RelativePath.h"
#include "core/transfer/FileListText.h"
#include "core/transfer/TransferTexts.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace corvid;
using namespace corvid::test;

namespace {

constexpr qint64 k3GiB = qint64(3) << 30;

// Sets a file's modification time to `ns` nanoseconds since the epoch.
bool setTime(const QString& path, qint64 ns)
{
    const timespec times[2] = {{0, UTIME_OMIT}, {time_t(ns / 1000000000), long(ns % 1000000000)}};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

} // namespace

// An original peer sees today's bytes: rows it could not ask for (2 GiB and
// more, a file inside a folder) are left out and keep their state, and the
// user is told once per row why.
TEST(ListProtocol, AnOriginalPeersListLeavesOutBigAndFolderRowsTellingOnce)
{
    TransferQueue send(QueueKind::Send);
    send.Append("a.txt", "1,234", "/s/", RowState::Waiting);
    const RowRef big = send.Append("big.iso", Conversions::FormatThousands(k3GiB), "/s/", RowState::Unlisted);
    const RowRef nested = send.Append("photos/2026/a.jpg", "56", "/s/", RowState::Unlisted);
    send.Append("edge.iso", "2,147,483,647", "/s/", RowState::Unlisted);  // the largest 32-bit size: listed
    send.Append("just-over.iso", "2,147,483,648", "/s/", RowState::Unlisted);
    FakeLog log;
    QByteArray body;
    ASSERT_TRUE(FileListText::BuildFileListStream(send, body, ProtocolLevel::kOriginal, &log));
    EXPECT_EQ(body, QByteArray("\"a.txt\",\"1,234\",\r\n\"edge.iso\",\"2,147,483,647\",\r\n"));
    const QStringList told{QStringLiteral("big.iso は2GB以上のため、相手(旧プロトコル)には送信できません"),
                           QStringLiteral("photos/2026/a.jpg はフォルダ内のファイルのため、相手(旧プロトコル)には送信できません"),
                           QStringLiteral("just-over.iso は2GB以上のため、相手(旧プロトコル)には送信できません")};
    EXPECT_EQ(log.lines(), told);
    EXPECT_EQ(log.kindOf(told[0]), int(LineSys));
    EXPECT_EQ(big->State(), RowState::Unlisted);
    EXPECT_EQ(nested->State(), RowState::Unlisted);
    EXPECT_EQ(send.Row(3).State(), RowState::Waiting);

    // The next list says nothing again; a row added since is told of.
    send.Append("more/b.txt", "1", "/s/", RowState::Unlisted);
    QByteArray again;
    ASSERT_TRUE(FileListText::BuildFileListStream(send, again, ProtocolLevel::kOriginal, &log));
    EXPECT_EQ(again, body);
    EXPECT_EQ(log.lines().size(), 4);
    EXPECT_TRUE(log.lines().last().startsWith(QStringLiteral("more/b.txt は")));

    // Nothing left to list is an empty queue: no list, nothing written.
    TransferQueue onlyBig(QueueKind::Send);
    onlyBig.Append("big.iso", Conversions::FormatThousands(k3GiB), "/s/", RowState::Unlisted);
    QByteArray untouched("x");
    EXPECT_FALSE(FileListText::BuildFileListStream(onlyBig, untouched, ProtocolLevel::kOriginal, &log));
    EXPECT_EQ(untouched, "x");
    // Requests of an original peer never find such rows either.
    EXPECT_EQ(send.FindRequested("big.iso", k3GiB, ProtocolLevel::kOriginal), RowRef());
    EXPECT_EQ(send.FindRequested("photos/2026/a.jpg", 56, ProtocolLevel::kOriginal), RowRef());
    EXPECT_EQ(send.FindRequested("big.iso", k3GiB, ProtocolLevel::kOwn), big);
    EXPECT_EQ(send.FindRequested("photos/2026/a.jpg", 56, ProtocolLevel::kOwn), nested);
}

// Two of our own: every row, 64-bit sizes grouped as ever, paths, and the
// file's time in nanoseconds; the receiver reads them all back, and an
// original receiver of the same body takes only what it could ask for.
TEST(ListProtocol, OwnPeersListCarriesBigSizesPathsAndTimesAndMergesBack)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString root = dir.path() + "/";
    ASSERT_TRUE(QDir(root).mkpath("photos/2026"));
    ASSERT_TRUE(writeFile(root + "a.txt", pattern(1234)));
    ASSERT_TRUE(writeFile(root + "photos/2026/a.jpg", pattern(56)));
    ASSERT_TRUE(writeFile(root + "big.iso", {}));
    ASSERT_EQ(::truncate(QFile::encodeName(root + "big.iso").constData(), k3GiB), 0);  // sparse
    const qint64 times[] = {1700000000123456789LL, 1600000000000000001LL, 1234567890LL};
    ASSERT_TRUE(setTime(root + "a.txt", times[0]));
    ASSERT_TRUE(setTime(root + "photos/2026/a.jpg", times[1]));
    ASSERT_TRUE(setTime(root + "big.iso", times[2]));

    TransferQueue send(QueueKind::Send);
    send.Append("a.txt", "1,234", root, RowState::Unlisted);
    send.Append("big.iso", Conversions::FormatThousands(k3GiB), root, RowState::Unlisted);
    send.Append("photos/2026/a.jpg", "56", root, RowState::Unlisted);
    send.Append("gone.txt", "9", root, RowState::Unlisted);  // its file went away: listed without a time
    FakeLog log;
    QByteArray body;
    ASSERT_TRUE(FileListText::BuildFileListStream(send, body, ProtocolLevel::kOwn, &log));
    EXPECT_EQ(body, QByteArray("\"a.txt\",\"1,234\",,\"1700000000123456789\"\r\n"
                               "\"big.iso\",\"3,221,225,472\",,\"1234567890\"\r\n"
                               "\"photos/2026/a.jpg\",\"56\",,\"1600000000000000001\"\r\n"
                               "\"gone.txt\",\"9\",\r\n"));
    EXPECT_TRUE(log.lines().isEmpty());
    for (int i = 0; i < send.Count(); ++i)
        EXPECT_EQ(send.Row(i).State(), RowState::Waiting) << i;

    TransferQueue recv(QueueKind::Receive);
    MergeOptions own{"/in/", false, nullptr, &log};
    own.protocol = ProtocolLevel::kOwn;
    ASSERT_TRUE(FileListText::MergeListLines(recv, FileListText::SplitBody(body), own));
    ASSERT_EQ(recv.Count(), 4);
    EXPECT_EQ(recv.Row(2).LocalPath(), "/in/photos/2026/a.jpg");
    const qint64 modTimes[] = {times[0], times[2], times[1], -1};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(recv.Row(i).Name(), send.Row(i).Name());
        EXPECT_EQ(recv.Row(i).SizeText(), send.Row(i).SizeText());
        EXPECT_EQ(recv.Row(i).ModTime(), modTimes[i]) << i;
    }
    const auto rec = recv.MakeRecord(recv.Row(1).Ref());
    EXPECT_EQ(rec->Entry, "big.iso");
    EXPECT_EQ(rec->ExpectedSize, k3GiB);
    EXPECT_EQ(rec->ExpectedTime, times[2]);
    EXPECT_EQ(recv.MakeRecord(recv.Row(2).Ref())->LocalPath, "/in/photos/2026/a.jpg");
    EXPECT_TRUE(log.lines().isEmpty());

    // The source changed but kept its size: listed again, the row takes the
    // new time (no partial copy of the old one may be resumed), no new row.
    QStringList changed{FileListText::MakeTimedLine("a.txt", "1,234", times[0] + 1)};
    EXPECT_FALSE(FileListText::MergeListLines(recv, changed, own));
    EXPECT_EQ(recv.Count(), 4);
    EXPECT_EQ(recv.Row(0).ModTime(), times[0] + 1);

    // An original receiver of the same body: bare names under 2 GiB only,
    // the fourth field ignored.
    TransferQueue old(QueueKind::Receive);
    FakeLog oldLog;
    ASSERT_TRUE(FileListText::MergeListLines(old, FileListText::SplitBody(body), {"/in/", false, nullptr, &oldLog}));
    ASSERT_EQ(old.Count(), 2);
    EXPECT_EQ(old.Row(0).Name(), "a.txt");
    EXPECT_EQ(old.Row(0).ModTime(), -1);
    EXPECT_EQ(old.Row(1).Name(), "gone.txt");
    EXPECT_EQ(oldLog.lines(), QStringList{QStringLiteral("2GB以上のファイルは受信できません：big.iso")});
}

// A protocol-2 peer's list: paths the rules refuse and sizes past 2^63-1
// give no row and are named (the first few, then counted), the rest merge.
TEST(ListProtocol, HostilePathsAndSizesFromAnOwnPeerAreSkippedAndNamed)
{
    const QString deep = QString("d/").repeated(69) + "f";  // 70 levels
    const QString wide = "a/" + QString(300, u'c');         // a 300-byte component
    struct Case {
        QString name;
        QString size;
        bool row;  // a row results
    };
    const Case cases[] = {
        {"../x", "1", false},
        {QString("a") + QChar(1) + "b", "1", false},  // named with "?" for the control character
        {"/etc/x", "1", false},
        {"a//b", "1", false},
        {"a/./b", "1", false},
        {wide, "1", false},
        {deep, "1", false},
        {"a/", "1", false},
        {"a\\b", "1", false},
        {"ok/dir/file.txt", "1", true},
        {QString("d/").repeated(63) + "f", "1", true},  // 64 levels: the most
        {"past.bin", "9,223,372,036,854,775,808", false},
        {"longer.bin", "99,999,999,999,999,999,999", false},
        {"max.bin", "9,223,372,036,854,775,807", true},
        {"zero.bin", "0", false},
    };
    QStringList lines;
    int rows = 0;
    for (const Case& c : cases) {
        lines.append(FileListText::MakeTimedLine(c.name, c.size, 1));
        rows += c.row ? 1 : 0;
    }
    ASSERT_EQ(RelativePath::Check(deep), RelativePath::Problem::TooDeep);
    ASSERT_EQ(RelativePath::Check(wide), RelativePath::Problem::ComponentTooLong);

    TransferQueue recv(QueueKind::Receive);
    FakeLog log;
    QList<SkippedLine> skipped;
    MergeOptions own{"/in/", false, &skipped, &log};
    own.protocol = ProtocolLevel::kOwn;
    EXPECT_TRUE(FileListText::MergeListLines(recv, lines, own));
    ASSERT_EQ(recv.Count(), rows);
    int r = 0;
    for (const Case& c : cases) {
        if (c.row) {
            EXPECT_EQ(recv.Row(r++).Name(), c.name);
        }
    }
    EXPECT_EQ(recv.Row(2).SizeText(), "9,223,372,036,854,775,807");
    ASSERT_EQ(skipped.size(), qsizetype(std::size(cases)) - rows);
    for (const SkippedLine& s : skipped) {
        const MergeSkip want = s.line >= 11 ? MergeSkip::BadSize : MergeSkip::UnsafeName;
        EXPECT_EQ(s.reason, want) << s.line;
    }
    EXPECT_EQ(log.lines(), (QStringList{QStringLiteral("このファイル名は受信できません：../x"),
                                        QStringLiteral("このファイル名は受信できません：a?b"),
                                        QStringLiteral("このファイル名は受信できません：/etc/x"),
                                        QStringLiteral("ほか9件のファイルも受信できません")}));
}

// 200,000 lines of paths: the first 100,000 become rows, with the cut's line.
TEST(ListProtocol, AnOwnPeersListIsCutAtTheLineCap)
{
    QList<QByteArray> wire;
    wire.reserve(200000);
    for (int i = 0; i < 200000; ++i)
        wire.append("\"dir/" + QByteArray::number(i) + "\",\"3,221,225,472\",,\"" + QByteArray::number(i) + "\"");
    TransferQueue recv(QueueKind::Receive);
    FakeLog log;
    MergeOptions own{"/in/", false, nullptr, &log};
    own.protocol = ProtocolLevel::kOwn;
    EXPECT_TRUE(FileListText::MergeWireLines(recv, wire, own));
    ASSERT_EQ(recv.Count(), int(FileListExchange::kMaxListLines));
    EXPECT_EQ(recv.Row(recv.Count() - 1).Name(), "dir/99999");
    EXPECT_EQ(recv.Row(recv.Count() - 1).ModTime(), 99999);
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral("ファイルリストが長すぎるため、100,000行で打ち切りました")});
}

// Our own folder files are rows of the send queue at any protocol: the name
// is the path under column 6; a path the rules refuse is no row.
TEST(ListProtocol, TheSendQueueTakesRelativePathsThatPassThePathRules)
{
    TransferQueue send(QueueKind::Send);
    ASSERT_TRUE(FileListText::MergeListLines(send, {FileListText::MakeLocalAddLine("photos/2026/a.jpg", "56", "/home/u/")}));
    EXPECT_EQ(send.Row(0).LocalPath(), "/home/u/photos/2026/a.jpg");
    EXPECT_FALSE(FileListText::MergeListLines(send, {FileListText::MakeLocalAddLine("PHOTOS/2026/A.JPG", "56", "/x/")}));
    // A long bare name stays as acceptable as it was.
    const QString longBare(250, u'n');
    EXPECT_TRUE(FileListText::MergeListLines(send, {FileListText::MakeLocalAddLine(longBare, "1", "/home/u/")}));
    for (const char* bad : {"../x", "/abs", "a//b", "a/./b", "a/", "a/b\\c"})
        EXPECT_FALSE(FileListText::MergeListLines(send, {FileListText::MakeLocalAddLine(bad, "1", "/home/u/")})) << bad;
    EXPECT_EQ(send.Count(), 2);
}


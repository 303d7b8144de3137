// File-list text: building the body from the send queue, splitting lines
// and fields, merging into both queues, hostile names, local adds.
#include "TransferTestSupport.h"
#include "session/FakeLog.h"

#include "core/protocol/FileAttributes.h"
#include "core/protocol/FileListExchange.h"
#include "core/protocol/LocalFileChooser.h"
#include "core/protocol/SjisCodec.h"
#include "core/transfer/FileListText.h"
#include "core/transfer/LocalFileAdder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using namespace corvid;
using namespace corvid::test;

namespace {

TransferQueue& sendQueueAB(TransferQueue& q)
{
    q.Append("a.txt", "1,234", "/s/", RowState::Waiting);
    q.Append("b c,d.txt", "56", "/s/", RowState::Unlisted);
    return q;
}

} // namespace

TEST(FileListText, TwoRowsGiveThe37ByteBodyAndListTheUnlistedRow)
{
    TransferQueue send(QueueKind::Send);
    sendQueueAB(send);
    QByteArray body;
    ASSERT_TRUE(FileListText::BuildFileListStream(send, body));
    EXPECT_EQ(body, QByteArray("\"a.txt\",\"1,234\",\r\n\"b c,d.txt\",\"56\",\r\n"));
    EXPECT_EQ(body.size(), 37);
    EXPECT_EQ(FileListText::MakeLine("a.txt", "1,234").size(), 16);
    EXPECT_EQ(send.Row(1).State(), RowState::Waiting);

    TransferQueue empty(QueueKind::Send);
    QByteArray untouched("x");
    EXPECT_FALSE(FileListText::BuildFileListStream(empty, untouched));
    EXPECT_EQ(untouched, "x");
}

TEST(FileListText, MergingTheBodyTwiceAppendsOnce)
{
    TransferQueue send(QueueKind::Send);
    QByteArray body;
    ASSERT_TRUE(FileListText::BuildFileListStream(sendQueueAB(send), body));

    TransferQueue recv(QueueKind::Receive);
    const MergeOptions opts{"/home/u/in/", false};
    ASSERT_TRUE(FileListText::MergeListLines(recv, FileListText::SplitBody(body), opts));
    ASSERT_EQ(recv.Count(), 2);
    EXPECT_EQ(recv.Row(0).Name(), "a.txt");
    EXPECT_EQ(recv.Row(0).SizeText(), "1,234");
    EXPECT_EQ(recv.Row(1).Name(), "b c,d.txt");
    EXPECT_EQ(recv.Row(1).SizeText(), "56");
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(recv.Row(i).State(), RowState::Waiting);
        EXPECT_EQ(recv.Row(i).Folder(), "/home/u/in/");
        EXPECT_TRUE(recv.Row(i).Text(QueueRow::ColDone).isEmpty());
    }
    EXPECT_FALSE(FileListText::MergeListLines(recv, FileListText::SplitBody(body), opts));
    EXPECT_EQ(recv.Count(), 2);
    EXPECT_FALSE(FileListText::MergeListLines(recv, {}, opts));
}

TEST(FileListText, NewRowsWaitForPermissionOnlyWhileReceivingWithoutAutoAccept)
{
    TransferQueue recv(QueueKind::Receive);
    recv.RunButton()->SetPressed(true);
    FileListText::MergeListLines(recv, {"\"x\",\"1\","}, {"/in", false});
    FileListText::MergeListLines(recv, {"\"y\",\"1\","}, {"/in", true});
    EXPECT_EQ(recv.Row(0).State(), RowState::New);
    EXPECT_EQ(recv.Row(1).State(), RowState::Waiting);
    EXPECT_EQ(recv.Row(0).Folder(), "/in/");
}

TEST(FileListText, MatchingIgnoresCaseButNotTheSizeText)
{
    TransferQueue recv(QueueKind::Receive);
    FileListText::MergeListLines(recv, {"\"a.txt\",\"1,234\","}, {"/in/"});
    EXPECT_FALSE(FileListText::MergeListLines(recv, {"\"A.TXT\",\"1,234\","}, {"/in/"}));
    EXPECT_TRUE(FileListText::MergeListLines(recv, {"\"a.txt\",\"1,235\","}, {"/in/"}));
    // Ungrouped size text is kept as it stands.
    EXPECT_TRUE(FileListText::MergeListLines(recv, {"\"c.txt\",\"1234\","}, {"/in/"}));
    ASSERT_EQ(recv.Count(), 3);
    EXPECT_EQ(recv.Row(2).SizeText(), "1234");
    // Only the first row of a name is compared: a line that equals the
    // second row is still appended.
    EXPECT_TRUE(FileListText::MergeListLines(recv, {"\"a.txt\",\"1,235\","}, {"/in/"}));
    EXPECT_EQ(recv.Count(), 4);
}

TEST(FileListText, FieldSplittingFollowsTheCommaTextRules)
{
    using F = QStringList;
    EXPECT_EQ(FileListText::SplitFields("\"a.txt\",\"1,234\","), (F{"a.txt", "1,234", ""}));
    EXPECT_EQ(FileListText::SplitFields("\"a.txt\",\"1,234\""), (F{"a.txt", "1,234"}));
    EXPECT_EQ(FileListText::SplitFields("\"say \"\"hi\"\".txt\",\"5\","), (F{"say \"hi\".txt", "5", ""}));
    EXPECT_EQ(FileListText::SplitFields("my file.txt,5"), (F{"my", "file.txt", "5"}));
    EXPECT_EQ(FileListText::SplitFields("  \t a , b"), (F{"a", "b"}));
    EXPECT_EQ(FileListText::SplitFields(",,x"), (F{"", "", "x"}));
    EXPECT_EQ(FileListText::SplitFields(""), F{});
    EXPECT_EQ(FileListText::SplitFields("\"open"), F{"open"});
    // A zero character cannot hang the scan.
    EXPECT_EQ(FileListText::SplitFields(QString("a") + QChar(0) + "b,c"), (F{"a", "", "b", "c"}));

    // Unquoted names with spaces are split into several fields: the second
    // word lands in the size field, which is no size, so the line gives no
    // row (rather than a row of the wrong name that could never be asked for).
    TransferQueue recv(QueueKind::Receive);
    QList<SkippedLine> skipped;
    EXPECT_FALSE(FileListText::MergeListLines(recv, {"my file.txt,5,"}, {"/in/", false, &skipped}));
    EXPECT_TRUE(recv.IsEmpty());
    ASSERT_EQ(skipped.size(), 1);
    EXPECT_EQ(skipped[0].reason, MergeSkip::BadSize);
}

TEST(FileListText, BodiesSplitAtEveryKindOfLineBreak)
{
    EXPECT_EQ(FileListText::SplitBody("a\r\nb\nc\rd"), (QStringList{"a", "b", "c", "d"}));
    EXPECT_EQ(FileListText::SplitBody("a\r\n"), QStringList{"a"});
    // Shift-JIS names decode to Unicode and encode back to the same bytes.
    const QString name = QStringLiteral("資料.txt");
    const QByteArray wire = FileListText::EncodeLines({FileListText::MakeLine(name, "1")});
    TransferQueue recv(QueueKind::Receive);
    ASSERT_TRUE(FileListText::MergeListLines(recv, FileListText::SplitBody(wire), {"/in/"}));
    EXPECT_EQ(recv.Row(0).Name(), name);
}

TEST(FileListText, HostileNamesNeverBecomeRows)
{
    const char* hostile[] = {
        "\"\",\"1\",",               "\".\",\"1\",",          "\"..\",\"1\",",
        "\"../../etc/passwd\",\"1\",", "\"/etc/passwd\",\"1\",", "\"a/b.txt\",\"1\",",
        "\"..\\\\x.txt\",\"1\",",     "\"a\\b.txt\",\"1\",",    "\"a\x01.txt\",\"1\",",
        "\"a\x7f.txt\",\"1\",",       "\"only-one-field\"",     "",
    };
    TransferQueue recv(QueueKind::Receive);
    for (const char* line : hostile)
        EXPECT_FALSE(FileListText::MergeListLines(recv, {QString::fromLatin1(line)}, {"/in/"})) << line;
    QStringList withTab{QString("\"a") + QChar(9) + "b\",\"1\","};
    EXPECT_FALSE(FileListText::MergeListLines(recv, withTab, {"/in/"}));
    // Undecodable bytes cannot name a file that we could ask for again.
    QByteArray bad("\"\x81\x20.txt\",\"1\",");
    EXPECT_FALSE(FileListText::MergeListLines(recv, FileListText::SplitBody(bad), {"/in/"}));
    EXPECT_TRUE(recv.IsEmpty());
    // A harmless name among them still gets through.
    EXPECT_TRUE(FileListText::MergeListLines(recv, {"\"..a\",\"1\",", "\"../b\",\"1\","}, {"/in/"}));
    ASSERT_EQ(recv.Count(), 1);
    EXPECT_EQ(recv.Row(0).Name(), "..a");
}

TEST(FileListText, SkippedLinesSayWhy)
{
    TransferQueue recv(QueueKind::Receive);
    QList<SkippedLine> skipped;
    const QString longest = QString(LocalFileChooser::kMaxListedNameBytes, u'n');
    const QString tooLong = longest + u'n';
    const QStringList lines{"\"a/b\",\"1\",", "\"..\",\"1\",", "\"x\"", "\"" + tooLong + "\",\"1\",",
                            "\"" + longest + "\",\"1\","};
    EXPECT_TRUE(FileListText::MergeListLines(recv, lines, {"/in/", false, &skipped}));
    ASSERT_EQ(skipped.size(), 4);
    EXPECT_EQ(skipped[0].line, 0);
    EXPECT_EQ(skipped[0].reason, MergeSkip::UnsafeName);
    EXPECT_EQ(skipped[1].reason, MergeSkip::UnsafeName);
    EXPECT_EQ(skipped[2].reason, MergeSkip::TooFewFields);
    EXPECT_EQ(skipped[3].line, 3);
    EXPECT_EQ(skipped[3].reason, MergeSkip::NameTooLong);
    ASSERT_EQ(recv.Count(), 1);
    EXPECT_EQ(recv.Row(0).Name(), longest);
    // Two-byte characters count as their bytes on disk.
    skipped.clear();
    EXPECT_FALSE(FileListText::MergeListLines(recv, {"\"" + QString(90, QChar(0x65E5)) + "\",\"1\","},
                                              {"/in/", false, &skipped}));
    ASSERT_EQ(skipped.size(), 1);
    EXPECT_EQ(skipped[0].reason, MergeSkip::NameTooLong);
}

TEST(FileListText, AReceiveQueueNeedsAnAbsoluteReceiveFolder)
{
    TransferQueue recv(QueueKind::Receive);
    QList<SkippedLine> skipped;
    for (const char* folder : {"", "in/", "../in"}) {
        skipped.clear();
        EXPECT_FALSE(FileListText::MergeListLines(recv, {"\"a\",\"1\","}, {folder, false, &skipped})) << folder;
        ASSERT_EQ(skipped.size(), 1);
        EXPECT_EQ(skipped[0].reason, MergeSkip::NoReceiveFolder);
    }
    EXPECT_TRUE(recv.IsEmpty());
    // The folder rows carry is cleaned.
    ASSERT_TRUE(FileListText::MergeListLines(recv, {"\"a\",\"1\","}, {"/in/x/../y//"}));
    EXPECT_EQ(recv.Row(0).LocalPath(), "/in/y/a");
}

TEST(FileListText, WireNamesThatDoNotComeBackAsTheSameBytesAreSkipped)
{
    // ED40 and 8790 decode to characters whose own codes are FA5C and 81E0:
    // asking for them again would name another file.
    const QList<QByteArray> wire{"\"\xED\x40.txt\",\"1\",", "\"\x87\x90.txt\",\"1\",",
                                 "\"\xFA\x5C.txt\",\"2\",", "\"\x93\xFA.txt\",\"3\","};
    TransferQueue recv(QueueKind::Receive);
    QList<SkippedLine> skipped;
    EXPECT_TRUE(FileListText::MergeWireLines(recv, wire, {"/in/", false, &skipped}));
    ASSERT_EQ(skipped.size(), 2);
    EXPECT_EQ(skipped[0].line, 0);
    EXPECT_EQ(skipped[0].reason, MergeSkip::NotRoundTrip);
    EXPECT_EQ(skipped[1].line, 1);
    EXPECT_EQ(skipped[1].reason, MergeSkip::NotRoundTrip);
    ASSERT_EQ(recv.Count(), 2);
    EXPECT_EQ(SjisCodec::encode(recv.Row(0).Name()), QByteArray("\xFA\x5C.txt"));
    EXPECT_EQ(recv.Row(1).Name(), QStringLiteral("日.txt"));
}

// A peer's list is bounded twice: its lines (a longer one is cut, and the
// user is told) and the rows the receive queue takes from lists at all.
TEST(FileListText, AListPastTheCapIsCutWithALineAndTheReceiveQueueStopsAtItsCap)
{
    const int cap = int(FileListExchange::kMaxListLines);
    ASSERT_EQ(FileListText::kMaxReceiveRows, 2 * cap);
    TransferQueue recv(QueueKind::Receive);
    for (const char* prefix : {"a", "b"}) {
        QList<QByteArray> wire;
        for (int i = 0; i <= cap; ++i)  // one line more than a list may have
            wire.append("\"" + QByteArray(prefix) + QByteArray::number(i) + "\",\"1\",");
        FakeLog log;
        EXPECT_TRUE(FileListText::MergeWireLines(recv, wire, {"/in/", false, nullptr, &log}));
        EXPECT_EQ(recv.Row(recv.Count() - 1).Name(), QString("%1%2").arg(prefix).arg(cap - 1));
        EXPECT_EQ(log.lines(), QStringList{QStringLiteral("ファイルリストが長すぎるため、100,000行で打ち切りました")});
        EXPECT_EQ(log.kindOf(log.lines().value(0)), int(LineSys));
    }
    EXPECT_EQ(recv.Count(), 2 * cap);

    // A full queue takes nothing more, and says how much it left out.
    FakeLog full;
    EXPECT_FALSE(FileListText::MergeWireLines(recv, {"\"new1\",\"1\",", "\"new2\",\"2\","},
                                              {"/in/", false, nullptr, &full}));
    EXPECT_EQ(recv.Count(), 2 * cap);
    EXPECT_EQ(full.lines(),
              QStringList{QStringLiteral("受信リストが200,000件に達したため、2件のファイルを追加しませんでした")});
}

// A size that no request can carry (2^31 or more, not a number, nothing to
// receive) gives no row but a line naming the file: once per name, and
// past the first few only a count.
TEST(FileListText, SizesNoRequestCanCarryGetNoRowAndOneLineNamingTheFile)
{
    const QList<QByteArray> wire{
        "\"video.mp4\",\"2,147,483,648\",", "\"fits.bin\",\"2,147,483,647\",",
        "\"video.mp4\",\"4,294,967,296\",", "\"word.txt\",\"abc\",",
        "\"empty.txt\",\"0\",",              "\"a.iso\",\"3000000000\",",
        "\"b.iso\",\"-5\",",                 "\"a.iso\",\"9,999,999,999\",",
    };
    TransferQueue recv(QueueKind::Receive);
    FakeLog log;
    QList<SkippedLine> skipped;
    EXPECT_TRUE(FileListText::MergeWireLines(recv, wire, {"/in/", false, &skipped, &log}));
    ASSERT_EQ(recv.Count(), 1);
    EXPECT_EQ(recv.Row(0).Name(), "fits.bin");
    EXPECT_EQ(log.lines(), (QStringList{QStringLiteral("2GB以上のファイルは受信できません：video.mp4"),
                                        QStringLiteral("サイズの正しくないファイルは受信できません：word.txt"),
                                        QStringLiteral("サイズの正しくないファイルは受信できません：empty.txt"),
                                        QStringLiteral("ほか2件のファイルも受信できません")}));
    ASSERT_EQ(skipped.size(), 7);
    EXPECT_EQ(skipped[0].reason, MergeSkip::SizeTooLarge);
    EXPECT_EQ(skipped[1].line, 2);
    EXPECT_EQ(skipped[2].reason, MergeSkip::BadSize);
    // The same list again names the files again: each arrival is told.
    FakeLog again;
    EXPECT_FALSE(FileListText::MergeWireLines(recv, wire, {"/in/", false, nullptr, &again}));
    EXPECT_EQ(again.lines().size(), 4);
}

TEST(FileListText, SendQueueRowsTakeTheirFolderFromTheThirdField)
{
    TransferQueue send(QueueKind::Send);
    EXPECT_FALSE(FileListText::MergeListLines(send, {"\"a\",\"1\""}));   // no folder field
    EXPECT_FALSE(FileListText::MergeListLines(send, {"\"a\",\"1\","}));  // an empty folder
    send.RunButton()->SetPressed(true);
    ASSERT_TRUE(FileListText::MergeListLines(send, {FileListText::MakeLocalAddLine("a", "1", "/x \"q\"/")}));
    EXPECT_EQ(send.Row(0).Folder(), "/x \"q\"/");
    EXPECT_EQ(send.Row(0).State(), RowState::Unlisted);
    QStringList lines;
    ASSERT_TRUE(FileListText::BuildFileList(send, lines));
    EXPECT_EQ(lines, QStringList{"\"a\",\"1\","});  // the folder is never sent
    EXPECT_EQ(send.Row(0).State(), RowState::Waiting);
}

TEST(LocalFileAdder, AddsFilesOnceAndRefusesWhatNoListCanCarry)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("report.txt");
    ASSERT_TRUE(writeFile(path, pattern(1234)));
    ASSERT_TRUE(writeFile(dir.filePath("empty.bin"), {}));
    ASSERT_TRUE(writeFile(dir.filePath("say\"hi\".txt"), "x"));

    TransferQueue send(QueueKind::Send);
    EXPECT_EQ(LocalFileAdder::AddLocalFile(send, path), AddFileResult::Added);
    EXPECT_EQ(LocalFileAdder::AddLocalFile(send, path), AddFileResult::AlreadyListed);
    ASSERT_EQ(send.Count(), 1);
    EXPECT_EQ(send.Row(0).SizeText(), "1,234");
    EXPECT_EQ(send.Row(0).Folder(), dir.path() + "/");
    EXPECT_EQ(send.Row(0).State(), RowState::Waiting);
    EXPECT_EQ(LocalFileAdder::AddLocalFile(send, dir.path()), AddFileResult::NotAFile);
    EXPECT_EQ(LocalFileAdder::AddLocalFile(send, dir.filePath("empty.bin")), AddFileResult::NotAFile);
    EXPECT_EQ(LocalFileAdder::AddLocalFile(send, dir.filePath("missing")), AddFileResult::NotAFile);
    EXPECT_EQ(LocalFileAdder::AddLocalFile(send, dir.filePath("say\"hi\".txt")), AddFileResult::NameNotListable);
    EXPECT_FALSE(LocalFileAdder::Message(AddFileResult::NameNotListable, "x").isEmpty());
    EXPECT_TRUE(LocalFileAdder::Message(AddFileResult::AlreadyListed, "x").isEmpty());
    EXPECT_EQ(send.Count(), 1);
}

TEST(LocalFileAdder, FilesOf2GiBOrMoreJoinTheSendQueue)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // Sparse files: no disk space is used.
    const QString big = dir.filePath("big.iso");
    const QString edge = dir.filePath("edge.iso");
    ASSERT_TRUE(writeFile(big, {}));
    ASSERT_TRUE(writeFile(edge, {}));
    ASSERT_EQ(::truncate(QFile::encodeName(big).constData(), 3LL << 30), 0);
    ASSERT_EQ(::truncate(QFile::encodeName(edge).constData(), 0x7FFFFFFFLL), 0);

    // Whether a peer is offered such a row is decided when its list is built.
    TransferQueue send(QueueKind::Send);
    EXPECT_EQ(LocalFileAdder::AddLocalFile(send, big), AddFileResult::Added);
    EXPECT_EQ(LocalFileAdder::AddLocalFile(send, edge), AddFileResult::Added);
    ASSERT_EQ(send.Count(), 2);
    EXPECT_EQ(send.Row(0).SizeText(), "3,221,225,472");
    EXPECT_EQ(send.Row(1).SizeText(), "2,147,483,647");
}

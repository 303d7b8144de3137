// Adding a folder to the send queue: which files of the tree become rows,
// their names and order, and how rows of folders and of files of several
// gigabytes sort and move in the queue.
#include "TransferTestSupport.h"

#include "core/transfer/FolderScan.h"
#include "core/transfer/LocalFileAdder.h"
#include "core/transfer/QueueOrdering.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace corvid;
using namespace corvid::test;

namespace {

QStringList names(const TransferQueue& q)
{
    QStringList out;
    for (int i = 0; i < q.Count(); ++i)
        out << q.Row(i).Name();
    return out;
}

QByteArray fsName(const QString& path)
{
    return QFile::encodeName(path);
}

// root/旅行 写真 with four files to offer (written in another order than
// the rows come in) and beside them what is never offered: an empty file,
// links to a file and to a folder outside, a pipe, names with a double
// quote, a control character and characters Shift-JIS lacks.
struct Tree {
    QTemporaryDir root;
    QString top;

    bool make()
    {
        top = root.filePath(QStringLiteral("旅行 写真"));
        const QString outside = root.filePath(QStringLiteral("outside"));
        return QDir().mkpath(top + QStringLiteral("/2026/深い フォルダ")) && QDir().mkpath(outside)
            && writeFile(outside + QStringLiteral("/secret.txt"), "secret")
            && writeFile(top + QStringLiteral("/夏 休み.jpg"), "55555")
            && writeFile(top + QStringLiteral("/b.txt"), "333")
            && writeFile(top + QStringLiteral("/2026/深い フォルダ/x.bin"), "1")
            && writeFile(top + QStringLiteral("/2026/z.bin"), "22")
            && writeFile(top + QStringLiteral("/empty.txt"), {})
            && writeFile(top + QStringLiteral("/say\"hi\".txt"), "q")
            && writeFile(top + QStringLiteral("/tab\tname.txt"), "t")
            && writeFile(top + QStringLiteral("/한글.txt"), "h")
            && ::symlink("b.txt", fsName(top + QStringLiteral("/to-file")).constData()) == 0
            && ::symlink(fsName(outside).constData(), fsName(top + QStringLiteral("/to-folder")).constData()) == 0
            && ::mkfifo(fsName(top + QStringLiteral("/pipe")).constData(), 0600) == 0;
    }
};

const QStringList kOffered = {
    QStringLiteral("旅行 写真/2026/z.bin"),
    QStringLiteral("旅行 写真/2026/深い フォルダ/x.bin"),
    QStringLiteral("旅行 写真/b.txt"),
    QStringLiteral("旅行 写真/夏 休み.jpg"),
};

} // namespace

TEST(FolderAdd, EveryRegularFileUnderTheFolderBecomesARowInPathOrder)
{
    Tree tree;
    ASSERT_TRUE(tree.make());
    TransferQueue send(QueueKind::Send);
    const FolderAddResult r = LocalFileAdder::AddFolder(send, tree.top + u'/');
    EXPECT_TRUE(r.opened);
    EXPECT_EQ(r.added, 4);
    EXPECT_EQ(r.skipped, 7);
    EXPECT_FALSE(r.cut);
    EXPECT_EQ(names(send), kOffered);
    const QStringList sizes = {QStringLiteral("2"), QStringLiteral("1"), QStringLiteral("3"), QStringLiteral("5")};
    for (int i = 0; i < send.Count(); ++i) {
        const QueueRow& row = send.Row(i);
        EXPECT_EQ(row.SizeText(), sizes[i]) << i;
        // Column 6 is the folder's parent: parent and name find the file.
        EXPECT_EQ(row.Folder(), tree.root.path() + u'/');
        EXPECT_EQ(QFileInfo(row.LocalPath()).size(), sizes[i].toLongLong()) << i;
        EXPECT_EQ(row.State(), RowState::Waiting);
    }
    EXPECT_EQ(LocalFileAdder::Message(r),
              QStringLiteral("フォルダのファイルを4件追加しました（送信できない7件を除外）：旅行 写真"));

    // The same folder again, here by a path through a link to it: nothing
    // new, and the line says so.
    const QString link = tree.root.filePath(QStringLiteral("link"));
    ASSERT_EQ(::symlink(fsName(tree.top).constData(), fsName(link).constData()), 0);
    EXPECT_EQ(LocalFileAdder::Add(send, link),
              QStringLiteral("フォルダのファイルを0件追加しました（4件は追加済み、送信できない7件を除外）：旅行 写真"));
    EXPECT_EQ(names(send), kOffered);

    // A walk that reaches its most files stops with the first ones in the
    // same order, and the line tells where it stopped.
    const FolderContents firstTwo = FolderScan::Scan(tree.top, 2);
    ASSERT_EQ(firstTwo.files.size(), 2u);
    EXPECT_TRUE(firstTwo.cut);
    EXPECT_EQ(firstTwo.files[0].entry, kOffered[0]);
    EXPECT_EQ(firstTwo.files[1].entry, kOffered[1]);
    FolderAddResult cut;
    cut.opened = true;
    cut.name = QStringLiteral("旅行 写真");
    cut.added = 100000;
    cut.cut = true;
    EXPECT_EQ(LocalFileAdder::Message(cut),
              QStringLiteral("フォルダのファイルを100,000件追加しました（100,000件で打ち切り）：旅行 写真"));

    // A folder gone before it could be read is named; a plain file still
    // adds as one row by its bare name.
    const FolderAddResult gone = LocalFileAdder::AddFolder(send, tree.root.filePath(QStringLiteral("gone")));
    EXPECT_FALSE(gone.opened);
    EXPECT_EQ(LocalFileAdder::Message(gone), QStringLiteral("フォルダを読み込めません：gone"));
    EXPECT_EQ(LocalFileAdder::Add(send, tree.top + QStringLiteral("/b.txt")), QString());
    EXPECT_EQ(send.Row(send.Count() - 1).Name(), QStringLiteral("b.txt"));
}

TEST(QueueOrdering, RowsOfFoldersAndOfGigabytesSortAndMoveLikeAnyRows)
{
    TransferQueue q(QueueKind::Send);
    q.Append(QStringLiteral("photos/2026/b.jpg"), QStringLiteral("3,221,225,472"), "/h/", RowState::Waiting);
    q.Append(QStringLiteral("photos/a.jpg"), QStringLiteral("2,147,483,648"), "/h/", RowState::Waiting);
    q.Append(QStringLiteral("notes.txt"), QStringLiteral("1,000"), "/h/", RowState::Waiting);
    q.Append(QStringLiteral("photos/2026/a.jpg"), QStringLiteral("5,000,000,000"), "/h/", RowState::Waiting);
    // Sizes past 32 bits are numbers like any others.
    QueueOrdering::SortByColumn(q, 1, +1);
    EXPECT_EQ(names(q), QStringList({"notes.txt", "photos/a.jpg", "photos/2026/b.jpg", "photos/2026/a.jpg"}));
    QueueOrdering::SortByColumn(q, 1, -1);
    EXPECT_EQ(names(q), QStringList({"photos/2026/a.jpg", "photos/2026/b.jpg", "photos/a.jpg", "notes.txt"}));
    EXPECT_LT(QueueOrdering::Compare(q.Row(3), q.Row(2), 1, +1), 0);
    // Paths sort as names.
    QueueOrdering::SortByColumn(q, 0, +1);
    EXPECT_EQ(names(q), QStringList({"notes.txt", "photos/2026/a.jpg", "photos/2026/b.jpg", "photos/a.jpg"}));
    // Two files of a folder dragged in front of the first row.
    const QSet<quint64> selected = {q.Row(2).Ref()->Id(), q.Row(3).Ref()->Id()};
    QueueOrdering::ReorderForDrop(q, selected, 0);
    EXPECT_EQ(names(q), QStringList({"photos/2026/b.jpg", "photos/a.jpg", "notes.txt", "photos/2026/a.jpg"}));
}

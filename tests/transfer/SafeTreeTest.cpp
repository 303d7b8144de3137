// Receiving into folders a peer names: levels are made by us below the
// receive folder and never followed through a link.
#include "TransferTestSupport.h"

#include "core/protocol/FileAttributes.h"
#include "core/protocol/LocalFileChooser.h"
#include "core/protocol/SafeTree.h"
#include "core/protocol/TCRFileRec.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace corvid;
using namespace corvid::test;

namespace {

using Target = LocalFileChooser::Target;
using Choice = LocalFileChooser::Choice;

QStringList everything(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                                  QDir::Name);
}

bool link(const QString& target, const QString& at)
{
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(at).constData()) == 0;
}

Target nested(const QString& folder, const QString& entry, qint64 expected = 100, qint64 time = 7)
{
    return Target{folder, entry, expected, time, true};
}

} // namespace

TEST(SafeTree, ALinkOrAFileWhereAFolderShouldBeStopsTheReception)
{
    QTemporaryDir in;
    QTemporaryDir outside;
    ASSERT_TRUE(QDir(outside.path()).mkdir("real"));
    ASSERT_TRUE(link(outside.filePath("real"), in.filePath("photos")));      // to a folder outside
    ASSERT_TRUE(link(outside.filePath("gone"), in.filePath("dangling")));    // to nothing yet
    ASSERT_TRUE(writeFile(in.filePath("file"), "x"));                          // a file in the way
    ASSERT_TRUE(QDir(in.path()).mkdir("deep"));
    ASSERT_TRUE(link(outside.filePath("real"), in.filePath("deep/sub")));    // a link one level down

    for (const QString& folders : {QStringLiteral("photos/2026"), QStringLiteral("photos"),
                                   QStringLiteral("dangling/2026"), QStringLiteral("dangling"),
                                   QStringLiteral("file/2026"), QStringLiteral("deep/sub/x")}) {
        SCOPED_TRACE(qPrintable(folders));
        SafeTree::Problem problem = SafeTree::Problem::None;
        EXPECT_FALSE(SafeTree::Open(in.path(), folders.split(u'/'), true, problem).valid());
        EXPECT_EQ(SafeTree::Describe(problem), SafeTree::Describe(SafeTree::Problem::Blocked));
        const Target t = nested(in.path(), folders + "/a.jpg");
        LocalFile f;
        EXPECT_EQ(LocalFileChooser::Choose(t, f), Choice::FolderBlocked);
        EXPECT_FALSE(f.IsOpen());
        EXPECT_EQ(LocalFileChooser::ResumeOffset(t), 0);
    }
    // Nothing written through any of them, nothing added beside them.
    EXPECT_EQ(everything(outside.path()), QStringList{"real"});
    EXPECT_TRUE(everything(outside.filePath("real")).isEmpty());
    EXPECT_EQ(everything(in.path()), QStringList({"dangling", "deep", "file", "photos"}));
    EXPECT_EQ(everything(in.filePath("deep")), QStringList{"sub"});
    EXPECT_EQ(readFile(in.filePath("file")), "x");
}

TEST(SafeTree, NamesThatBreakTheRuleMakeNothing)
{
    QTemporaryDir in;
    const struct {
        Target target;
        Choice choice;
    } table[] = {
        {nested(in.path(), "../x.txt"), Choice::BadTarget},
        {nested(in.path(), "a/../../x.txt"), Choice::BadTarget},
        {nested(in.path(), "/etc/x.txt"), Choice::BadTarget},
        {nested(in.path(), "a//b.txt"), Choice::BadTarget},
        {nested(in.path(), "a/"), Choice::BadTarget},
        {Target{in.path(), "a/b.txt", 100, -1, false}, Choice::BadTarget},  // folders only when nested
        {nested(in.path() + "/sub/..", "a/b.txt"), Choice::BadTarget},       // the folder must be clean
        {nested(in.filePath("missing"), "a/b.txt"), Choice::NoFolder},       // and is never made
        {nested(in.path(), "a/b.txt", 0), Choice::BadTarget},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(qPrintable(row.target.folder + " " + row.target.entry));
        LocalFile f;
        EXPECT_EQ(LocalFileChooser::Choose(row.target, f), row.choice);
        EXPECT_EQ(LocalFileChooser::IsValid(row.target), row.choice != Choice::BadTarget);
        EXPECT_EQ(LocalFileChooser::ResumeOffset(row.target), 0);
    }
    EXPECT_TRUE(everything(in.path()).isEmpty());
    SafeTree::Problem problem = SafeTree::Problem::None;
    EXPECT_FALSE(SafeTree::Open(in.path(), {"a", ".."}, true, problem).valid());
    EXPECT_EQ(problem, SafeTree::Problem::BadComponent);
    EXPECT_FALSE(SafeTree::Open(in.path(), {"a", "b"}, false, problem).valid());
    EXPECT_EQ(problem, SafeTree::Problem::Missing);
    EXPECT_TRUE(everything(in.path()).isEmpty());
}

TEST(SafeTree, FoldersAreMadeAndFreshNamesStayInTheirOwnFolder)
{
    QTemporaryDir base;
    ASSERT_TRUE(QDir(base.path()).mkdir("in"));
    // The user's receive folder may itself be a link.
    const QString folder = base.filePath("chosen");
    ASSERT_TRUE(link(base.filePath("in"), folder));
    const QString entry = QStringLiteral("写真 2026/夏 休み/a.jpg");
    const Target t = nested(folder, entry);
    {
        LocalFile f;
        ASSERT_EQ(LocalFileChooser::Choose(t, f), Choice::Chosen);
        EXPECT_EQ(f.Path(), folder + "/" + entry);
        EXPECT_FALSE(f.Resumed());
        ASSERT_TRUE(f.Append(pattern(100)));
        // Finished: no longer hidden, no record.
        FileAttributes::ClearPartialFd(f.Fd());
        FileAttributes::WriteFd(f.Fd(), FileAttributes::kArchive);
    }
    const QString made = base.filePath("in/写真 2026/夏 休み");
    EXPECT_EQ(readFile(made + "/a.jpg"), pattern(100));
    struct stat st {};
    ASSERT_EQ(::lstat(QFile::encodeName(made).constData(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    // The same entry again: a fresh name beside the finished file, in its folder.
    LocalFile again;
    ASSERT_EQ(LocalFileChooser::Choose(t, again), Choice::Chosen);
    EXPECT_EQ(again.Path(), folder + "/写真 2026/夏 休み/a_1.jpg");
    EXPECT_EQ(attrOf(made + "/a_1.jpg"), FileAttributes::kReceiving);
    // The same name one level up is another file: no fresh name there.
    LocalFile upper;
    ASSERT_EQ(LocalFileChooser::Choose(nested(folder, "写真 2026/a.jpg"), upper), Choice::Chosen);
    EXPECT_EQ(upper.Path(), folder + "/写真 2026/a.jpg");
    EXPECT_EQ(everything(made), QStringList({"a.jpg", "a_1.jpg"}));
}

TEST(SafeTree, AnEmptyFileIsDeletedInItsOwnFolderEvenWhenThePathNowLeadsElsewhere)
{
    QTemporaryDir in;
    QTemporaryDir outside;
    LocalFile f;
    ASSERT_EQ(LocalFileChooser::Choose(nested(in.path(), "sub/a.txt"), f), Choice::Chosen);
    // The folder is moved away during the reception and a link put in its place.
    ASSERT_TRUE(QDir(in.path()).rename("sub", "moved"));
    ASSERT_TRUE(writeFile(outside.filePath("a.txt"), "keep"));
    ASSERT_TRUE(link(outside.path(), in.filePath("sub")));
    EXPECT_TRUE(f.CloseDeletingIfEmpty());
    EXPECT_TRUE(everything(in.filePath("moved")).isEmpty());
    EXPECT_EQ(readFile(outside.filePath("a.txt")), "keep");

    // A file that is no longer under its name is not deleted by name.
    LocalFile g;
    ASSERT_EQ(LocalFileChooser::Choose(nested(in.path(), "moved/b.txt"), g), Choice::Chosen);
    ASSERT_TRUE(QDir(in.filePath("moved")).rename("b.txt", "c.txt"));
    ASSERT_TRUE(writeFile(in.filePath("moved/b.txt"), "other"));
    EXPECT_FALSE(g.CloseDeletingIfEmpty());
    EXPECT_EQ(readFile(in.filePath("moved/b.txt")), "other");
}

TEST(SafeTree, OnlyARecordAtProtocolTwoNamesFoldersOrATime)
{
    QTemporaryDir in;
    TCRFileRec rec;
    rec.ReceiveFolder = in.path() + "/";
    rec.Entry = "sub/a.txt";
    rec.LocalPath = rec.ReceiveFolder + rec.Entry;
    rec.ExpectedSize = 10;
    rec.ExpectedTime = 42;
    rec.Protocol = 1;
    LocalFile f;
    EXPECT_EQ(LocalFileChooser::TargetOf(rec).listedTime, FileAttributes::kNoTime);
    EXPECT_EQ(LocalFileChooser::Choose(LocalFileChooser::TargetOf(rec), f), Choice::BadTarget);
    EXPECT_TRUE(everything(in.path()).isEmpty());
    rec.Protocol = 2;
    ASSERT_EQ(LocalFileChooser::Choose(LocalFileChooser::TargetOf(rec), f), Choice::Chosen);
    EXPECT_EQ(f.Path(), rec.LocalPath);
    EXPECT_EQ(LocalFileChooser::PathOf(LocalFileChooser::TargetOf(rec)), rec.LocalPath);
    EXPECT_EQ(LocalFileChooser::TargetOf(rec).listedTime, 42);
}

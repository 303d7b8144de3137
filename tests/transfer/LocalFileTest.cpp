// Choosing and preparing the local file of a reception, and the attribute
// word on Linux.
#include "TransferTestSupport.h"

#include "core/protocol/FileAttributes.h"
#include "core/protocol/LocalFileChooser.h"

#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <fcntl.h>
#include <unistd.h>

using namespace corvid;
using namespace corvid::test;

TEST(FileAttributes, WordLivesInTheExtendedAttributeAndMirrorsReadOnly)
{
    QTemporaryDir dir;
    const QString f = dir.filePath("a.txt");
    ASSERT_TRUE(writeFile(f, "abc"));
    EXPECT_EQ(attrOf(f), 32u);  // no attribute yet: archive
    ASSERT_TRUE(FileAttributes::Write(f, 34));
    EXPECT_EQ(attrOf(f), 34u);
    EXPECT_TRUE(FileAttributes::IsHidden(attrOf(f)));
    ASSERT_TRUE(FileAttributes::Write(f, 33));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(f).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);
    ASSERT_TRUE(FileAttributes::Write(f, 32));
    ASSERT_EQ(::stat(QFile::encodeName(f).constData(), &st), 0);
    EXPECT_NE(st.st_mode & S_IWUSR, 0u);

    const QString plain = dir.filePath("ro.txt");
    ASSERT_TRUE(writeFile(plain, "x"));
    ::chmod(QFile::encodeName(plain).constData(), 0444);
    EXPECT_EQ(attrOf(plain), 33u);
    EXPECT_FALSE(FileAttributes::Read(dir.filePath("missing")).has_value());
}

TEST(LocalFileChooser, FreshNamesKeepTheLastExtension)
{
    EXPECT_EQ(LocalFileChooser::FreshName("report.txt", 1), "report_1.txt");
    EXPECT_EQ(LocalFileChooser::FreshName("report.txt", 2), "report_2.txt");
    EXPECT_EQ(LocalFileChooser::FreshName("README", 1), "README_1");
    EXPECT_EQ(LocalFileChooser::FreshName("a.tar.gz", 3), "a.tar_3.gz");
    EXPECT_EQ(LocalFileChooser::BareName("/in/sub/a.txt"), "a.txt");
    EXPECT_EQ(LocalFileChooser::FolderOf("/in/sub/a.txt"), "/in/sub/");
}

TEST(LocalFileChooser, NewFileIsCreatedHiddenAndLocked)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("a.txt");
    LocalFile file;
    ASSERT_TRUE(LocalFileChooser::Choose(path, 1000, file));
    EXPECT_EQ(file.Path(), path);
    EXPECT_EQ(file.Size(), 0);
    EXPECT_FALSE(file.Resumed());
    EXPECT_EQ(attrOf(path), 34u);
    // Held exclusively: a second reception cannot open it.
    LocalFile second;
    EXPECT_FALSE(LocalFileChooser::Choose(path, 1000, second));
    EXPECT_TRUE(file.CloseDeletingIfEmpty());
    EXPECT_FALSE(QFile::exists(path));
}

TEST(LocalFileChooser, HiddenSmallerCopyIsResumedElseAFreshNameIsTaken)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("a.txt");
    ASSERT_TRUE(writeFile(path, pattern(400)));
    ASSERT_TRUE(FileAttributes::Write(path, 34));
    EXPECT_EQ(LocalFileChooser::ResumeOffset(path, 1000), 400);
    EXPECT_EQ(LocalFileChooser::ResumeOffset(path, 400), 0);  // not smaller: finished
    {
        LocalFile file;
        ASSERT_TRUE(LocalFileChooser::Choose(path, 1000, file));
        EXPECT_TRUE(file.Resumed());
        EXPECT_EQ(file.Size(), 400);
        EXPECT_EQ(file.Path(), path);
        ASSERT_TRUE(file.Append("xyz", 3));
    }
    EXPECT_EQ(readFile(path).size(), 403);
    // 403 of 403 expected, hidden: counts as finished, the data goes elsewhere.
    LocalFile fresh;
    ASSERT_TRUE(LocalFileChooser::Choose(path, 403, fresh));
    EXPECT_EQ(fresh.Path(), dir.filePath("a_1.txt"));
    // a_1.txt is this entry's reception, still running: no second file
    // beside it. Another size of the name takes the next fresh name.
    LocalFile busy;
    EXPECT_FALSE(LocalFileChooser::Choose(path, 403, busy));
    LocalFile fresh2;
    ASSERT_TRUE(LocalFileChooser::Choose(path, 500, fresh2));
    EXPECT_EQ(fresh2.Path(), dir.filePath("a_2.txt"));
    EXPECT_EQ(readFile(path).size(), 403);  // never overwritten
}

TEST(LocalFileChooser, OnlyACopyRecordedForThisEntryAndSizeIsResumed)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("a.txt");
    {
        LocalFile f;
        ASSERT_TRUE(LocalFileChooser::Choose(path, 1000, f));
        ASSERT_TRUE(f.Append(pattern(400)));
    }
    EXPECT_EQ(LocalFileChooser::ResumeOffset(path, 1000), 400);
    EXPECT_EQ(LocalFileChooser::ResumeOffset(path, 2000), 0);  // listed again with another size
    {
        LocalFile other;
        ASSERT_TRUE(LocalFileChooser::Choose(path, 2000, other));
        EXPECT_EQ(other.Path(), dir.filePath("a_1.txt"));
        EXPECT_FALSE(other.Resumed());
        ASSERT_TRUE(other.Append(pattern(100)));
    }
    EXPECT_EQ(readFile(path), pattern(400));  // the old copy untouched, still resumable for its size
    EXPECT_TRUE(FileAttributes::IsHidden(attrOf(path)));
    // Each copy resumes for its own listing, the fresh name too.
    EXPECT_EQ(LocalFileChooser::ResumeOffset(path, 2000), 100);
    {
        LocalFile f;
        ASSERT_TRUE(LocalFileChooser::Choose(path, 2000, f));
        EXPECT_EQ(f.Path(), dir.filePath("a_1.txt"));
        EXPECT_TRUE(f.Resumed());
        EXPECT_EQ(f.Size(), 100);
    }
    LocalFile same;
    ASSERT_TRUE(LocalFileChooser::Choose(path, 1000, same));
    EXPECT_EQ(same.Path(), path);
    EXPECT_EQ(same.Size(), 400);

    // A copy recorded for another entry (here b.txt's data under the name
    // c.txt), or with a record that does not read, is nobody's partial copy.
    {
        LocalFile f;
        ASSERT_TRUE(LocalFileChooser::Choose(dir.filePath("b.txt"), 1000, f));
        ASSERT_TRUE(f.Append(pattern(10)));
    }
    ASSERT_TRUE(QFile::rename(dir.filePath("b.txt"), dir.filePath("c.txt")));
    EXPECT_EQ(LocalFileChooser::ResumeOffset(dir.filePath("c.txt"), 1000), 0);
    ASSERT_TRUE(writeFile(dir.filePath("d.txt"), pattern(10)));
    ASSERT_TRUE(FileAttributes::Write(dir.filePath("d.txt"), 34));
    EXPECT_EQ(LocalFileChooser::ResumeOffset(dir.filePath("d.txt"), 1000), 10);  // no record: the old rule
    ASSERT_EQ(::setxattr(QFile::encodeName(dir.filePath("d.txt")).constData(), FileAttributes::kPartialXattrName,
                         "junk", 4, 0),
              0);
    EXPECT_EQ(LocalFileChooser::ResumeOffset(dir.filePath("d.txt"), 1000), 0);
    LocalFile f;
    ASSERT_TRUE(LocalFileChooser::Choose(dir.filePath("d.txt"), 1000, f));
    EXPECT_EQ(f.Path(), dir.filePath("d_1.txt"));
}

TEST(LocalFileChooser, VisibleFileOrLinkIsNeverWrittenThrough)
{
    QTemporaryDir dir;
    ASSERT_TRUE(writeFile(dir.filePath("README"), "keep"));
    LocalFile f1;
    ASSERT_TRUE(LocalFileChooser::Choose(dir.filePath("README"), 1000, f1));
    EXPECT_EQ(f1.Path(), dir.filePath("README_1"));
    EXPECT_EQ(readFile(dir.filePath("README")), "keep");

    // A link in the receive folder pointing elsewhere: even a hidden target
    // is not appended to through it.
    QTemporaryDir outside;
    const QString target = outside.filePath("victim");
    ASSERT_TRUE(writeFile(target, "secret"));
    ASSERT_TRUE(FileAttributes::Write(target, 34));
    ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(dir.filePath("b.txt")).constData()),
              0);
    LocalFile f2;
    ASSERT_TRUE(LocalFileChooser::Choose(dir.filePath("b.txt"), 1000, f2));
    EXPECT_EQ(f2.Path(), dir.filePath("b_1.txt"));
    EXPECT_EQ(readFile(target), "secret");
}

TEST(LocalFileChooser, WhenNoFreshNameFitsNothingIsCreated)
{
    QTemporaryDir dir;
    const QString name = QString(LocalFileChooser::kMaxNameBytes - 5, u'f') + ".txt";  // 254 bytes
    ASSERT_TRUE(writeFile(dir.filePath(name), "done"));
    LocalFile f;
    EXPECT_FALSE(LocalFileChooser::Choose(dir.filePath(name), 10, f));  // name_1.txt would be 256 bytes
    EXPECT_FALSE(f.IsOpen());
    EXPECT_FALSE(LocalFileChooser::Choose(dir.filePath(name + "xx"), 10, f));  // over the limit itself
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
    // One byte shorter leaves room for "_1".
    const QString shorter = QString(LocalFileChooser::kMaxNameBytes - 7, u'f') + ".txt";
    ASSERT_TRUE(writeFile(dir.filePath(shorter), "done"));
    ASSERT_TRUE(LocalFileChooser::Choose(dir.filePath(shorter), 10, f));
    EXPECT_EQ(LocalFileChooser::BareName(f.Path()), LocalFileChooser::FreshName(shorter, 1));
}

TEST(LocalFileChooser, FoldersMustBeAbsoluteAndClean)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkdir("sub"));
    LocalFile f;
    EXPECT_FALSE(LocalFileChooser::Choose(dir.path() + "/sub/../a.txt", 10, f));
    EXPECT_FALSE(LocalFileChooser::Choose(dir.path() + "//a.txt", 10, f));
    EXPECT_FALSE(LocalFileChooser::Choose(dir.path() + "/./a.txt", 10, f));
    EXPECT_FALSE(LocalFileChooser::Choose("a.txt", 10, f));
    EXPECT_TRUE(LocalFileChooser::IsInFolder(dir.filePath("a.txt"), dir.path()));
    EXPECT_TRUE(LocalFileChooser::IsInFolder(dir.filePath("a.txt"), dir.path() + "/"));
    EXPECT_FALSE(LocalFileChooser::IsInFolder(dir.path() + "/sub/a.txt", dir.path()));
    EXPECT_FALSE(LocalFileChooser::IsInFolder(dir.filePath("a.txt"), dir.path() + "/sub/.."));
    EXPECT_FALSE(LocalFileChooser::IsInFolder(dir.filePath("a.txt"), QString()));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 0);
}

TEST(LocalFileChooser, UnsafeNamesAndMissingFoldersCreateNothing)
{
    QTemporaryDir dir;
    LocalFile f;
    EXPECT_FALSE(LocalFileChooser::Choose(dir.path() + "/..", 10, f));
    EXPECT_FALSE(LocalFileChooser::Choose(dir.path() + "/", 10, f));
    EXPECT_FALSE(LocalFileChooser::Choose(dir.filePath("a\\..\\b"), 10, f));
    EXPECT_FALSE(LocalFileChooser::Choose(dir.filePath("nofolder/a.txt"), 10, f));
    EXPECT_FALSE(LocalFileChooser::Choose(dir.filePath("a.txt"), 0, f));
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
    EXPECT_TRUE(LocalFileChooser::IsSafeName("..a"));
    EXPECT_TRUE(LocalFileChooser::IsSafeName(QStringLiteral("日本語 名前.txt")));
    EXPECT_FALSE(LocalFileChooser::IsSafeName(QString("a") + QChar(0x85)));
}

namespace {

QByteArray partialRecord(const QString& path)
{
    char buf[512];
    const ssize_t n = ::getxattr(QFile::encodeName(path).constData(), FileAttributes::kPartialXattrName, buf, sizeof buf);
    return n < 0 ? QByteArray() : QByteArray(buf, n);
}

void setPartialRecord(const QString& path, const QByteArray& text)
{
    ASSERT_EQ(::setxattr(QFile::encodeName(path).constData(), FileAttributes::kPartialXattrName, text.constData(),
                         size_t(text.size()), 0),
              0);
}

} // namespace

TEST(LocalFileChooser, ACopyOfAnotherVersionIsRestartedFromZeroNeverSpliced)
{
    QTemporaryDir dir;
    using Target = LocalFileChooser::Target;
    const Target first{dir.path(), "sub/a.txt", 1000, 111, true};
    const QString path = dir.filePath("sub/a.txt");
    {
        LocalFile f;
        ASSERT_EQ(LocalFileChooser::Choose(first, f), LocalFileChooser::Choice::Chosen);
        ASSERT_TRUE(f.Append(pattern(400)));
    }
    EXPECT_EQ(partialRecord(path), "1000:111/sub/a.txt");
    EXPECT_EQ(LocalFileChooser::ResumeOffset(first), 400);
    {
        LocalFile same;  // the same version: resumed
        ASSERT_EQ(LocalFileChooser::Choose(first, same), LocalFileChooser::Choice::Chosen);
        EXPECT_TRUE(same.Resumed());
        EXPECT_EQ(same.Size(), 400);
    }

    // Listed again with the same size but another time: a new version.
    Target second = first;
    second.listedTime = 222;
    EXPECT_EQ(LocalFileChooser::ResumeOffset(second), 0);
    {
        LocalFile f;
        ASSERT_EQ(LocalFileChooser::Choose(second, f), LocalFileChooser::Choice::Chosen);
        EXPECT_FALSE(f.Resumed());
        EXPECT_EQ(f.Size(), 0);
        EXPECT_EQ(f.Path(), path);  // replaced, not kept beside
        ASSERT_TRUE(f.Append(pattern(50, 9)));
    }
    EXPECT_EQ(readFile(path), pattern(50, 9));
    EXPECT_EQ(partialRecord(path), "1000:222/sub/a.txt");
    EXPECT_EQ(LocalFileChooser::ResumeOffset(second), 50);
    EXPECT_EQ(LocalFileChooser::ResumeOffset(first), 0);

    // A copy without a time (made at protocol 1) is of an unknown version.
    const Target bare{dir.path(), "b.txt", 1000, 5, true};
    ASSERT_TRUE(writeFile(dir.filePath("b.txt"), pattern(300)));
    setPartialRecord(dir.filePath("b.txt"), "1000/b.txt");
    ASSERT_TRUE(FileAttributes::Write(dir.filePath("b.txt"), 34));
    EXPECT_EQ(LocalFileChooser::ResumeOffset(bare), 0);
    {
        LocalFile f;
        ASSERT_EQ(LocalFileChooser::Choose(bare, f), LocalFileChooser::Choice::Chosen);
        EXPECT_EQ(f.Size(), 0);
        EXPECT_EQ(f.Path(), dir.filePath("b.txt"));
    }

    // Another size is another row's copy: left as it is, a fresh name taken.
    Target bigger = second;
    bigger.expected = 2000;
    LocalFile other;
    ASSERT_EQ(LocalFileChooser::Choose(bigger, other), LocalFileChooser::Choice::Chosen);
    EXPECT_EQ(other.Path(), dir.filePath("sub/a_1.txt"));
    EXPECT_EQ(readFile(path), pattern(50, 9));
}

TEST(LocalFileChooser, AtProtocolOneTheSizeAloneDecides)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("a.txt");
    ASSERT_TRUE(writeFile(path, pattern(300)));
    ASSERT_TRUE(FileAttributes::Write(path, 34));
    // The record of today's form resumes as it always did and keeps its form.
    setPartialRecord(path, "1000/a.txt");
    EXPECT_EQ(LocalFileChooser::ResumeOffset(path, 1000), 300);
    {
        LocalFile f;
        ASSERT_TRUE(LocalFileChooser::Choose(path, 1000, f));
        EXPECT_TRUE(f.Resumed());
        EXPECT_EQ(f.Size(), 300);
    }
    EXPECT_EQ(partialRecord(path), "1000/a.txt");
    // A copy recorded with a time resumes too, and keeps the time.
    setPartialRecord(path, "1000:5/a.txt");
    EXPECT_EQ(LocalFileChooser::ResumeOffset(path, 1000), 300);
    {
        LocalFile f;
        ASSERT_TRUE(LocalFileChooser::Choose(path, 1000, f));
        EXPECT_EQ(f.Size(), 300);
    }
    EXPECT_EQ(partialRecord(path), "1000:5/a.txt");
    // A time that does not read spoils the record.
    setPartialRecord(path, "1000:x/a.txt");
    EXPECT_EQ(LocalFileChooser::ResumeOffset(path, 1000), 0);
}

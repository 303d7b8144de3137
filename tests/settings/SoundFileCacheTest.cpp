#include "core/settings/SoundFileCache.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "settings/PrintQt.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace corvid;

namespace {

QString put(const QTemporaryDir& dir, const char* name, const QByteArray& bytes)
{
    const QString path = dir.filePath(QString::fromLatin1(name));
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    return path;
}

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

TEST(SoundFileCache, CopiesRegularFilesOnceAndAgainWhenTheyChange)
{
    QTemporaryDir dir;
    const QString ding = put(dir, "ding.wav", "RIFF-one");
    SoundFileCache cache;
    const QString first = cache.localCopy(ding);
    ASSERT_FALSE(first.isEmpty());
    EXPECT_FALSE(first.startsWith(dir.path()));
    EXPECT_EQ(contents(first), "RIFF-one");
    EXPECT_EQ(cache.localCopy(ding), first); // unchanged: the same copy

    put(dir, "ding.wav", "RIFF-second");
    const QString second = cache.localCopy(ding);
    ASSERT_FALSE(second.isEmpty());
    EXPECT_NE(second, first);
    EXPECT_EQ(contents(second), "RIFF-second");
    EXPECT_FALSE(QFile::exists(first)); // the old copy goes

    // Removed and back: copied again.
    ASSERT_TRUE(QFile::remove(ding));
    EXPECT_TRUE(cache.localCopy(ding).isEmpty());
    put(dir, "ding.wav", "RIFF-third");
    EXPECT_EQ(contents(cache.localCopy(ding)), "RIFF-third");
}

TEST(SoundFileCache, RefusesWhatIsNoPlainFileWithoutWaiting)
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("pipe.wav"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString big = dir.filePath(QStringLiteral("big.wav"));
    {
        QFile f(big);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(SoundFileCache::kMaxBytes + 1)); // sparse, made at once
    }
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder.wav")));
    const QString refused[] = {
        QString(),
        dir.filePath(QStringLiteral("missing.wav")),
        fifo, // a reader would wait for a writer for ever
        dir.filePath(QStringLiteral("folder.wav")),
        put(dir, "empty.wav", QByteArray()),
        big,
        QStringLiteral("/dev/zero"),
    };
    SoundFileCache cache;
    for (const QString& path : refused)
        EXPECT_TRUE(cache.localCopy(path).isEmpty()) << path.toStdString();
    const QString limit = dir.filePath(QStringLiteral("limit.wav"));
    {
        QFile f(limit);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(SoundFileCache::kMaxBytes));
    }
    EXPECT_FALSE(cache.localCopy(limit).isEmpty());
}

} // namespace

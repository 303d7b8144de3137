#pragma once
// Folder trees for the extended exchange benchmark: a tree of files with
// Japanese names holding blanks, random sizes and contents, and what a tree
// holds (relative names, sizes, SHA-256) to compare a received one with.
#include "ProcStats.h"

#include <QDir>
#include <QDirIterator>
#include <QString>

#include <map>
#include <random>
#include <utility>
#include <vector>

namespace bench {

struct TreeEntry {
    qint64 size = 0;
    QByteArray sha;
    bool operator==(const TreeEntry&) const = default;
};

// Relative name ("a/b/c.bin") -> size and SHA-256.
using TreeFigures = std::map<QString, TreeEntry>;

// `files` files of 1 KiB to 1 MiB (uniform) spread over `levels` levels of
// folders under `root` (root itself is the first level, each folder has four
// below it). The bytes written, or -1 on a failure.
inline qint64 makeTree(const QString& root, int files, int levels, quint64 seed = 2026)
{
    std::vector<QString> folders {root};
    std::vector<QString> level {root};
    const QString names[] = {QStringLiteral("写真 %1"), QStringLiteral("旅 行 %1"), QStringLiteral("フォルダ %1")};
    for (int l = 2; l <= levels; ++l) {
        std::vector<QString> next;
        for (const QString& parent : level)
            for (int i = 1; i <= 4; ++i)
                next.push_back(parent + QLatin1Char('/') + names[std::min(l - 2, 2)].arg(i));
        folders.insert(folders.end(), next.begin(), next.end());
        level = std::move(next);
    }
    for (const QString& f : folders)
        if (!QDir().mkpath(f))
            return -1;
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<qint64> sizes(1024, 1 << 20);
    std::vector<quint64> data((1 << 20) / 8);
    qint64 total = 0;
    for (int i = 0; i < files; ++i) {
        const qint64 size = sizes(rng);
        for (size_t w = 0; w < size_t(size + 7) / 8; ++w)
            data[w] = rng();
        const QString folder = folders[size_t(i) % folders.size()];
        QFile f(folder + QStringLiteral("/夏 休み %1.bin").arg(i + 1, 4, 10, QLatin1Char('0')));
        if (!f.open(QIODevice::WriteOnly) || f.write(reinterpret_cast<const char*>(data.data()), size) != size)
            return -1;
        total += size;
    }
    return total;
}

// Every file under `root` (hidden ones too), named relative to it.
inline TreeFigures treeFigures(const QString& root)
{
    TreeFigures out;
    const QDir base(root);
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        out[base.relativeFilePath(path)] = {QFileInfo(path).size(), sha256(path)};
    }
    return out;
}

// How a received tree compares with the expected one.
struct TreeComparison {
    int equal = 0, differing = 0, missing = 0, extra = 0;
    QString firstBad;  // a name that is not equal, for the report
};

inline TreeComparison compareTrees(const TreeFigures& want, const TreeFigures& got)
{
    TreeComparison c;
    for (const auto& [name, entry] : want) {
        const auto it = got.find(name);
        if (it == got.end())
            ++c.missing;
        else if (it->second == entry)
            ++c.equal;
        else
            ++c.differing;
        if ((it == got.end() || !(it->second == entry)) && c.firstBad.isEmpty())
            c.firstBad = name;
    }
    for (const auto& [name, entry] : got) {
        if (!want.count(name)) {
            ++c.extra;
            if (c.firstBad.isEmpty())
                c.firstBad = name;
        }
    }
    return c;
}

} // namespace bench

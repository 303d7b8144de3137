#include "core/transfer/FolderScan.h"

#include "core/base/UniqueFd.h"
#include "core/protocol/RelativePath.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace corvid {

namespace {

constexpr int kOpenFolder = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

// The names in an open folder, sorted by their bytes; false when it cannot
// be read.
bool namesIn(int folderFd, std::vector<QByteArray>& names)
{
    const int copy = ::dup(folderFd);
    if (copy < 0)
        return false;
    const std::unique_ptr<DIR, DirCloser> dir(::fdopendir(copy));
    if (!dir) {
        ::close(copy);
        return false;
    }
    while (const dirent* e = ::readdir(dir.get())) {
        const QByteArray name(e->d_name);
        if (name != "." && name != "..")
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return true;
}

class Walker {
public:
    Walker(FolderContents& out, int maxFiles)
        : out_(out)
        , maxFiles_(maxFiles)
    {
    }

    // The files under the open folder whose entries start with `prefix`
    // (which ends in "/" and has `depth` components).
    void walk(int folderFd, const QString& prefix, int depth)
    {
        std::vector<QByteArray> names;
        if (!namesIn(folderFd, names)) {
            ++out_.notOffered;
            return;
        }
        for (const QByteArray& raw : names) {
            if (out_.cut)
                return;
            struct stat st {};
            if (::fstatat(folderFd, raw.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                ++out_.notOffered;  // gone meanwhile, or not ours to look at
                continue;
            }
            const bool file = S_ISREG(st.st_mode);
            const bool folder = S_ISDIR(st.st_mode);
            if (!file && !folder) {
                ++out_.notOffered;  // a link, a pipe, a socket, a device
                continue;
            }
            if (file && st.st_size <= 0) {
                ++out_.empty;
                continue;
            }
            // A name that does not come back as the same bytes could not be
            // opened again by its text.
            const QString name = QFile::decodeName(raw);
            if (QFile::encodeName(name) != raw) {
                ++out_.notOffered;
                continue;
            }
            if (file) {
                if (int(out_.files.size()) >= maxFiles_) {
                    out_.cut = true;
                    return;
                }
                out_.files.push_back({prefix + name, qint64(st.st_size)});
                continue;
            }
            // The files of a folder one level down have depth + 2
            // components: no deeper than any name may go.
            if (depth + 2 > RelativePath::kMaxDepth) {
                ++out_.notOffered;
                continue;
            }
            const UniqueFd sub(::openat(folderFd, raw.constData(), kOpenFolder));
            if (!sub.valid()) {
                ++out_.notOffered;  // no permission, or swapped for a link meanwhile
                continue;
            }
            walk(sub.get(), prefix + name + u'/', depth + 1);
        }
    }

private:
    FolderContents& out_;
    const int maxFiles_;
};

} // namespace

FolderContents FolderScan::Scan(const QString& folder, int maxFiles)
{
    FolderContents out;
    // The folder as the user named it may be a link or hold "..": its real
    // place names the rows' parent.
    const QString path = QFileInfo(folder).canonicalFilePath();
    const qsizetype slash = path.lastIndexOf(u'/');
    if (path.isEmpty() || slash < 0 || slash + 1 == path.size())
        return out;  // missing, or the root, which has no parent to name rows from
    out.parent = path.left(slash + 1);
    out.name = path.mid(slash + 1);
    const UniqueFd top(::open(QFile::encodeName(path).constData(), kOpenFolder));
    if (!top.valid())
        return out;
    out.opened = true;
    Walker(out, maxFiles).walk(top.get(), out.name + u'/', 1);
    return out;
}

} // namespace corvid

#include "core/protocol/SafeTree.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace corvid {

namespace {
constexpr int kMaxComponentBytes = 255;

int openFolder(int parent, const char* name)
{
    for (;;) {
        const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0 || errno != EINTR)
            return fd;
    }
}
} // namespace

bool SafeTree::IsPlainComponent(const QString& name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") || name.contains(u'/')
        || name.contains(QChar(0)))
        return false;
    return QFile::encodeName(name).size() <= kMaxComponentBytes;
}

UniqueFd SafeTree::Open(const QString& root, const QStringList& folders, bool create, Problem& problem)
{
    if (root.isEmpty() || !QDir::isAbsolutePath(root)) {
        problem = Problem::BadRoot;
        return UniqueFd();
    }
    // Followed on purpose: the user chose this folder, links and all.
    UniqueFd base(::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!base.valid()) {
        problem = Problem::BadRoot;
        return UniqueFd();
    }
    if (folders.isEmpty()) {
        problem = Problem::None;
        return base;
    }
    return OpenBelow(base.get(), folders, create, problem);
}

UniqueFd SafeTree::OpenBelow(int base, const QStringList& folders, bool create, Problem& problem)
{
    for (const QString& f : folders) {
        if (!IsPlainComponent(f)) {
            problem = Problem::BadComponent;
            return UniqueFd();
        }
    }
    UniqueFd current;
    int parent = base;
    for (const QString& f : folders) {
        const int next = OpenLevel(parent, QFile::encodeName(f), create, problem);
        if (next < 0)
            return UniqueFd();
        current.reset(next);
        parent = current.get();
    }
    problem = Problem::None;
    if (folders.isEmpty()) {
        // A descriptor of the base itself, for callers that walk nothing.
        current.reset(::fcntl(base, F_DUPFD_CLOEXEC, 0));
        if (!current.valid())
            problem = Problem::CannotOpen;
    }
    return current;
}

int SafeTree::OpenLevel(int parent, const QByteArray& name, bool create, Problem& problem)
{
    int fd = openFolder(parent, name.constData());
    if (fd < 0 && errno == ENOENT && create) {
        // EEXIST: made by someone else meanwhile; the second openat decides
        // whether it is a folder.
        if (::mkdirat(parent, name.constData(), 0755) != 0 && errno != EEXIST) {
            problem = Problem::CannotCreate;
            return -1;
        }
        fd = openFolder(parent, name.constData());
    }
    if (fd >= 0)
        return fd;
    // ELOOP: a link (O_NOFOLLOW); ENOTDIR: a file or another non-folder.
    if (errno == ELOOP || errno == ENOTDIR)
        problem = Problem::Blocked;
    else if (errno == ENOENT && !create)
        problem = Problem::Missing;
    else
        problem = Problem::CannotOpen;
    return -1;
}

const char* SafeTree::Describe(Problem p)
{
    switch (p) {
    case Problem::None: return "none";
    case Problem::BadRoot: return "bad root";
    case Problem::BadComponent: return "bad component";
    case Problem::Blocked: return "blocked";
    case Problem::Missing: return "missing";
    case Problem::CannotCreate: return "cannot create";
    case Problem::CannotOpen: return "cannot open";
    }
    return "?";
}

} // namespace corvid

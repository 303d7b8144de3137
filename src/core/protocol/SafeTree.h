#pragma once
#include "core/base/UniqueFd.h"

#include <QString>
#include <QStringList>

namespace corvid {

// Opens (and creates) folders below a receive folder so that nothing a peer
// names can lead out of it. The receive folder itself is opened normally
// (the user's folder may well be a link); every level below is opened with
// openat(O_DIRECTORY | O_NOFOLLOW) from the one above, so a link or a file
// planted where a folder should be stops the walk instead of being
// followed, and a missing level is made by us with mkdirat.
class SafeTree {
public:
    enum class Problem {
        None,
        BadRoot,       // the receive folder is not absolute or cannot be opened as a folder
        BadComponent,  // empty, ".", "..", holds "/" or NUL, or over 255 bytes
        Blocked,       // a link, a file or anything else but a folder is in the way
        Missing,       // a level does not exist and `create` was not asked for
        CannotCreate,  // mkdirat failed (permissions, full disk, ...)
        CannotOpen,    // the level exists but cannot be opened (permissions, ...)
    };

    // The descriptor of `root`/`folders[0]`/.../`folders[n-1]` (the root
    // itself for an empty list), creating missing levels with mode 0755 when
    // `create` is set. An invalid descriptor and the reason otherwise; a
    // failed walk leaves the levels it already made.
    static UniqueFd Open(const QString& root, const QStringList& folders, bool create, Problem& problem);
    // The same walk from an open folder.
    static UniqueFd OpenBelow(int base, const QStringList& folders, bool create, Problem& problem);
    // Whether one component is usable as a plain entry of a folder.
    static bool IsPlainComponent(const QString& name);
    // A short English word for tests and traces.
    static const char* Describe(Problem p);

private:
    static int OpenLevel(int parent, const QByteArray& name, bool create, Problem& problem);
};

} // namespace corvid

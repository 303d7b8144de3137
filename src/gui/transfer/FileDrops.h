#pragma once

#include <QStringList>

class QDragEnterEvent;
class QDropEvent;

namespace corvid {

// Files and folders dragged onto a window from the desktop, as both windows
// take them: any drag that carries URLs is welcome, and of a drop only the
// local paths count (a folder adds the files under it).
class FileDrops {
public:
    // Accepts the drag when it carries URLs.
    static void enter(QDragEnterEvent* event);
    // Accepts the drop and gives the local files and folders it carries, in
    // its order.
    static QStringList take(QDropEvent* event);
};

} // namespace corvid

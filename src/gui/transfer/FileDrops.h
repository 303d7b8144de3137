#pragma once

#include <QStringList>

class QDragEnterEvent;
class QDropEvent;

namespace corvid {

// Files dragged onto a window from the desktop, as both windows take them:
// any drag that carries URLs is welcome, and of a drop only the local files
// count.
class FileDrops {
public:
    // Accepts the drag when it carries URLs.
    static void enter(QDragEnterEvent* event);
    // Accepts the drop and gives the local files it carries, in its order.
    static QStringList take(QDropEvent* event);
};

} // namespace corvid

#pragma once
#include <QString>
#include <QtGlobal>

namespace corvid {

// One queued write into the chat log page.
struct TMsgData {
    QString Text;          // HTML text to write
    bool ScrollTo = false; // after writing, scroll to the anchor
    qint32 Anchor = -1;    // line number naming the anchor; -1 without scrolling
};

} // namespace corvid

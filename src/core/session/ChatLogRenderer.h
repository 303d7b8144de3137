#pragma once
#include "core/session/ChatLogStyle.h"

#include <QString>

namespace corvid {

// What the chat log needs from the widget that shows it. Called on the GUI
// thread only.
class IChatLogRenderer {
public:
    virtual ~IChatLogRenderer() = default;
    // The page's colours and font; given once, before anything is written.
    virtual void setPageStyle(const ChatLogStyle& style) = 0;
    // One write into the open document stream: the head, the style sheet or
    // one or more line fragments (see ChatLog::lineFragments).
    virtual void writeHtml(const QString& text) = 0;
    // Scrolls so that the line with this anchor number is in view.
    virtual void scrollToLine(int anchor) = 0;
};

} // namespace corvid

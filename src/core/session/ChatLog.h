#pragma once
#include "core/base/Guarded.h"
#include "core/session/ChatLogMsgData.h"
#include "core/session/ChatLogRenderer.h"
#include "core/session/ChatLogStyle.h"
#include "core/session/ILogSink.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <vector>

namespace corvid {

// The chat log page as one open document stream: a head, a style sheet,
// then one fragment per line. Lines may be added from any thread; they are
// queued and written into the view by Timer3 on the GUI thread, which also
// scrolls to the newest line and runs every other effect of a line (status
// bar time, line notification). Create it on the GUI thread.
class ChatLog : public QObject, public ILogSink {
    Q_OBJECT
public:
    static constexpr int kTimer3Interval = 500; // ms

    explicit ChatLog(QObject* parent = nullptr);
    ~ChatLog() override;

    // Any thread. Kinds: 0 own, 1 received, 2 system. The text is HTML; a
    // received text comes from the peer and is made safe before it is shown.
    void AddLogLine(const QString& text, int kind) override;
    // Any thread: adds one write to the display queue.
    void QueueHtml(const QString& text, bool scroll, int anchor);

    // Any thread: the names that head own and received lines.
    void setUserName(const QString& name);
    void setPeerName(const QString& name) override;

    // GUI thread. The page takes the style that is set when it becomes
    // ready; later changes reach the page at the next start.
    void setStyle(const ChatLogStyle& style);
    ChatLogStyle style() const { return style_; }
    // GUI thread: a new style from the options dialog, for a page that is
    // already showing: the view takes it at once, for the lines to come
    // and for what the page draws itself (background, system colour, font).
    void restyle(const ChatLogStyle& style);

    // GUI thread. Not owned; pass nullptr before the renderer goes away.
    // Queued writes wait while no renderer is attached.
    void setRenderer(IChatLogRenderer* renderer);

    // GUI thread: the (blank) page is ready. Queues the head, the style
    // sheet and the lines that arrived before, and from now on lines go
    // straight into the display queue. Only the first call has an effect.
    void WBDocumentComplete();
    bool isReady() const;

    // Number of lines added so far (the next line's anchor number).
    int lineCount() const;
    // Writes still waiting in the display queue.
    int queuedCount() const;

    QTimer* timer3() { return &timer3_; }

    // The exact texts of the stream.
    static QString headText();
    static QString styleSheetText(const QString& formColor, const QString& userColor, int fontSize,
                                  const QString& fontName, const QString& linkColor, const QString& sysColor,
                                  const QString& recvColor);
    static QString lineFragment(int anchor, int kind, const QString& lineText);
    // Splits one write of the stream into its line fragments; the head and
    // the style sheet hold none. Used by views that show a line per block.
    static QStringList lineFragments(const QString& write);
    // The anchor number of a line fragment, or -1.
    static int fragmentAnchor(const QString& fragment);
    // What a line fragment shows: the fragment without its anchor and its
    // closing line break (a view that keeps its own line-to-block map needs
    // neither). Anything else is returned unchanged.
    static QString fragmentBody(const QString& fragment);
    // Status-bar text for a line's time: short date and long time.
    static QString statusTimeText(const QDateTime& when);

public slots:
    // GUI thread: writes every queued record into the view, scrolls to the
    // newest line, then reports the lines added since the last call.
    void Timer3Timer();

signals:
    // Status-bar panel 2: date and time of the newest line.
    void statusTimeChanged(const QString& text);
    // One per added line, in order, on the GUI thread: the hook for the
    // line notification (sound and flashing).
    void lineAdded(int kind);
    // The style sheet was written: the input box takes these colours
    // (background, text) as #RRGGBB.
    void inputColorsChanged(const QString& background, const QString& text);

private:
    struct Notice {
        int kind;
        qint64 msecsSinceEpoch; // local time is worked out on the GUI thread
    };

    // What any thread may touch, under one lock.
    struct Shared {
        std::vector<TMsgData> queue;
        QStringList pending;
        bool ready = false;
        int counter = 0;
        QString userName;
        QString peerName;
        std::vector<Notice> notices;
    };

    static void queueLocked(Shared& s, const QString& text, bool scroll, int anchor);
    // Queues the style sheet.
    static void WriteStyleSheet(Shared& s, const ChatLogStyle& style);
    // GUI thread, without the lock: hands the page style to the view and
    // the input box.
    void applyPageStyle(const ChatLogStyle& style);

    Guarded<Shared> shared_;

    // GUI thread only
    ChatLogStyle style_;
    ChatLogStyle pageStyle_;
    IChatLogRenderer* renderer_ = nullptr;
    QTimer timer3_;
};

} // namespace corvid

#pragma once
#include "core/session/ChatLog.h"
#include "core/session/ChatLogRenderer.h"

#include <QHash>
#include <QPointer>
#include <QTextBlockFormat>
#include <QTextBrowser>
#include <QTextCursor>
#include <QUrl>

#include <functional>

class QMenu;
class QTextEdit;

namespace corvid {

// The chat log page: shows the stream a ChatLog writes, one block per line.
// It never navigates and never loads anything: links go to OpenExternal,
// images and other resources stay empty, a refresh does nothing.
class ChatLogView : public QTextBrowser, public IChatLogRenderer {
    Q_OBJECT
public:
    using OpenHandler = std::function<void(const QUrl&)>;

    explicit ChatLogView(QWidget* parent = nullptr);
    ~ChatLogView() override;

    // Shows this log (not owned). The blank page completes on the next turn
    // of the event loop; the log then writes its head, style and the lines
    // that arrived before.
    void setLog(ChatLog* log);
    ChatLog* log() const { return log_; }

    // IChatLogRenderer
    void setPageStyle(const ChatLogStyle& style) override;
    void writeHtml(const QString& text) override;
    void scrollToLine(int anchor) override;

    // Number of log lines shown.
    int lineCount() const { return int(anchorBlocks_.size()); }

    // Where a clicked link goes; the default is OpenExternal.
    void setOpenExternal(OpenHandler handler);
    // Hands a web address or a local path to the desktop's "open" action.
    static void OpenExternal(const QUrl& target);
    // The only link targets the log opens.
    static bool isAllowedLink(const QUrl& url);

    // The edit menu (cut, copy, paste) for a text widget, enabled as the
    // widget and the clipboard allow at this moment. A read-only widget (the
    // log) offers copy only. The caller owns the menu.
    static QMenu* buildEditMenu(QTextEdit* target, QWidget* parent = nullptr);
    // Its entries; a widget gone meanwhile (null) is left alone.
    static void Cut1Click(QTextEdit* target);
    static void Copy1Click(QTextEdit* target);
    static void Paste1Click(QTextEdit* target);
    // Makes the edit menu the widget's context menu.
    static void installEditMenu(QTextEdit* target);
    // Input box colours from #RRGGBB texts (see ChatLog::inputColorsChanged).
    static void applyInputColors(QTextEdit* edit, const QString& background, const QString& text);

    // Nothing is ever loaded, neither from the network nor from the disk.
    QVariant loadResource(int type, const QUrl& name) override;

public slots:
    // A refresh never clears the log.
    void reload() override;

signals:
    // A resource the page asked for was refused (nothing was loaded).
    void resourceRefused(const QUrl& name);

protected:
    void doSetSource(const QUrl& name, QTextDocument::ResourceType type) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void onAnchorClicked(const QUrl& url);
    // Lines already shown take the new colours of own, received and link text.
    void recolourLines(const ChatLogStyle& from, const ChatLogStyle& to);

    QPointer<ChatLog> log_;
    OpenHandler openExternal_;
    QTextCursor cursor_;            // insertion point, at the end
    QTextBlockFormat blockFormat_;  // line height of the page
    QHash<int, int> anchorBlocks_;  // line anchor -> block number
    ChatLogStyle shownStyle_;       // the style the shown lines carry
};

} // namespace corvid

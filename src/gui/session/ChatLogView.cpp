#include "gui/session/ChatLogView.h"

#include "core/session/ChatLog.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>

#include <vector>

namespace corvid {

ChatLogView::ChatLogView(QWidget* parent)
    : QTextBrowser(parent)
    , openExternal_(&ChatLogView::OpenExternal)
    , cursor_(document())
{
    setOpenLinks(false);
    setOpenExternalLinks(false);
    // The log only grows; an undo history of it would only cost memory.
    document()->setUndoRedoEnabled(false);
    connect(this, &QTextBrowser::anchorClicked, this, &ChatLogView::onAnchorClicked);
    installEditMenu(this);
    setPageStyle(ChatLogStyle{});
}

ChatLogView::~ChatLogView()
{
    if (log_)
        log_->setRenderer(nullptr);
}

void ChatLogView::setLog(ChatLog* log)
{
    if (log_)
        log_->setRenderer(nullptr);
    log_ = log;
    if (!log)
        return;
    log->setRenderer(this);
    QMetaObject::invokeMethod(log, &ChatLog::WBDocumentComplete, Qt::QueuedConnection);
}

void ChatLogView::setPageStyle(const ChatLogStyle& style)
{
    // The default log font names a Windows font; show it with the Japanese
    // gothic face installed here (the proportional one first, as the
    // original is proportional).
    static const bool substituted = [] {
        QFont::insertSubstitutions(QStringLiteral("MS UI GOTHIC"),
                                   { QStringLiteral("IPAPGothic"), QStringLiteral("IPAGothic") });
        return true;
    }();
    Q_UNUSED(substituted);

    // Body rules of the page's style sheet do not reach inserted HTML: the
    // background, system colour and font go through palette and font.
    QPalette pal = palette();
    const QColor background(style.formColor);
    const QColor text(style.sysColor);
    const QColor link(style.linkColor);
    if (background.isValid())
        pal.setColor(QPalette::Base, background);
    if (text.isValid())
        pal.setColor(QPalette::Text, text);
    if (link.isValid()) {
        pal.setColor(QPalette::Link, link);
        pal.setColor(QPalette::LinkVisited, link);
    }
    setPalette(pal);

    QFont font;
    font.setFamilies({ style.fontName, QStringLiteral("arial"), QStringLiteral("helvetica") });
    if (style.fontSize > 0)
        font.setPointSize(style.fontSize);
    document()->setDefaultFont(font);
    document()->setDocumentMargin(10);
    document()->setDefaultStyleSheet(QStringLiteral("a:link{ color: %1;} #User{ color: %2;} #Recv{ color: %3;}")
                                         .arg(style.linkColor, style.userColor, style.recvColor));
    blockFormat_.setLineHeight(120, QTextBlockFormat::ProportionalHeight);
    if (!document()->isEmpty())
        recolourLines(shownStyle_, style);
    shownStyle_ = style;
}

void ChatLogView::recolourLines(const ChatLogStyle& from, const ChatLogStyle& to)
{
    const std::pair<QColor, QColor> map[] = {{QColor(from.userColor), QColor(to.userColor)},
                                             {QColor(from.recvColor), QColor(to.recvColor)},
                                             {QColor(from.linkColor), QColor(to.linkColor)}};
    struct Change {
        int from;
        int to;
        QTextCharFormat format;
    };
    std::vector<Change> changes;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment piece = it.fragment();
            QTextCharFormat format = piece.charFormat();
            if (!format.hasProperty(QTextFormat::ForegroundBrush))
                continue; // system text: the palette's colour
            const QColor colour = format.foreground().color();
            for (const auto& [old, next] : map) {
                if (old.isValid() && next.isValid() && colour == old && old != next) {
                    format.setForeground(next);
                    changes.push_back({piece.position(), piece.position() + piece.length(), format});
                    break;
                }
            }
        }
    }
    if (changes.empty())
        return;
    QTextCursor c(document());
    c.beginEditBlock();
    for (const Change& change : changes) {
        c.setPosition(change.from);
        c.setPosition(change.to, QTextCursor::KeepAnchor);
        c.setCharFormat(change.format);
    }
    c.endEditBlock();
}

void ChatLogView::writeHtml(const QString& text)
{
    const QStringList fragments = ChatLog::lineFragments(text);
    if (fragments.isEmpty())
        return;
    cursor_.movePosition(QTextCursor::End);
    cursor_.beginEditBlock(); // one layout pass for a burst of lines
    for (const QString& fragment : fragments) {
        if (document()->isEmpty())
            cursor_.setBlockFormat(blockFormat_);
        else
            cursor_.insertBlock(blockFormat_, QTextCharFormat());
        // Without the named anchor: a distinct anchor name on every line
        // would give every line a text format of its own, and the document
        // compares each new format with all of those.
        cursor_.insertHtml(ChatLog::fragmentBody(fragment));
        const int anchor = ChatLog::fragmentAnchor(fragment);
        if (anchor >= 0)
            anchorBlocks_.insert(anchor, cursor_.blockNumber());
    }
    cursor_.endEditBlock();
}

void ChatLogView::scrollToLine(int anchor)
{
    QScrollBar* bar = verticalScrollBar();
    const auto it = anchorBlocks_.constFind(anchor);
    if (it == anchorBlocks_.constEnd()) {
        bar->setValue(bar->maximum());
        return;
    }
    // The line's top at the top of the view, as far as the page reaches.
    const QTextBlock block = document()->findBlockByNumber(it.value());
    const int top = qRound(document()->documentLayout()->blockBoundingRect(block).top());
    bar->setValue(qMin(top, bar->maximum()));
}

void ChatLogView::setOpenExternal(OpenHandler handler)
{
    openExternal_ = handler ? std::move(handler) : OpenHandler(&ChatLogView::OpenExternal);
}

void ChatLogView::OpenExternal(const QUrl& target)
{
    QDesktopServices::openUrl(target);
}

bool ChatLogView::isAllowedLink(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == u"http" || scheme == u"https" || scheme == u"ftp");
}

void ChatLogView::onAnchorClicked(const QUrl& url)
{
    // The page holds only web links; anything else is not ours to open.
    if (isAllowedLink(url))
        openExternal_(url);
}

QVariant ChatLogView::loadResource(int type, const QUrl& name)
{
    Q_UNUSED(type);
    emit resourceRefused(name);
    // A valid but empty value: a null one would let the document read a
    // local file by itself.
    return QVariant(QByteArray());
}

void ChatLogView::reload()
{
}

void ChatLogView::doSetSource(const QUrl& name, QTextDocument::ResourceType type)
{
    Q_UNUSED(name);
    Q_UNUSED(type);
}

void ChatLogView::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_F5) {
        event->accept();
        return;
    }
    QTextBrowser::keyPressEvent(event);
}

QMenu* ChatLogView::buildEditMenu(QTextEdit* target, QWidget* parent)
{
    auto* menu = new QMenu(parent);
    QAction* cut = menu->addAction(QStringLiteral("切り取り(&T)"));
    QAction* copy = menu->addAction(QStringLiteral("コピー(&C)"));
    QAction* paste = menu->addAction(QStringLiteral("貼り付け(&P)"));
    if (target->isReadOnly()) {
        cut->setEnabled(false);
        copy->setEnabled(true);
        paste->setEnabled(false);
    } else {
        const bool selected = target->textCursor().hasSelection();
        const QMimeData* clip = QApplication::clipboard()->mimeData();
        cut->setEnabled(selected);
        copy->setEnabled(selected);
        paste->setEnabled(clip && clip->hasText());
    }
    QPointer<QTextEdit> edit(target);
    QObject::connect(cut, &QAction::triggered, menu, [edit] { Cut1Click(edit); });
    QObject::connect(copy, &QAction::triggered, menu, [edit] { Copy1Click(edit); });
    QObject::connect(paste, &QAction::triggered, menu, [edit] { Paste1Click(edit); });
    return menu;
}

void ChatLogView::Cut1Click(QTextEdit* target)
{
    if (target)
        target->cut();
}

void ChatLogView::Copy1Click(QTextEdit* target)
{
    if (target)
        target->copy();
}

void ChatLogView::Paste1Click(QTextEdit* target)
{
    if (target)
        target->paste();
}

void ChatLogView::installEditMenu(QTextEdit* target)
{
    target->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(target, &QWidget::customContextMenuRequested, target, [target](const QPoint& pos) {
        QMenu* menu = buildEditMenu(target, target);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        // A scroll area reports the position in its viewport's coordinates.
        menu->popup(target->viewport()->mapToGlobal(pos));
    });
}

void ChatLogView::applyInputColors(QTextEdit* edit, const QString& background, const QString& text)
{
    QPalette pal = edit->palette();
    const QColor bg(background);
    const QColor fg(text);
    if (bg.isValid())
        pal.setColor(QPalette::Base, bg);
    if (fg.isValid())
        pal.setColor(QPalette::Text, fg);
    edit->setPalette(pal);
}

} // namespace corvid

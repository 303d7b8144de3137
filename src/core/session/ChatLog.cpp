#include "core/session/ChatLog.h"

#include "core/session/HtmlText.h"

#include <QLocale>

namespace corvid {
namespace {

const QString kFragmentStart = QStringLiteral("<a Name=\"");
const QString kNameSeparator = QStringLiteral("\uFF1A "); // full-width colon, blank

// A locale's time format without its time-zone part.
QString timeFormatWithoutZone(const QLocale& locale)
{
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString out;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == u'\'')
            quoted = !quoted;
        if (!quoted && c == u't')
            continue;
        out += c;
    }
    return out.trimmed();
}

} // namespace

ChatLog::ChatLog(QObject* parent)
    : QObject(parent)
{
    timer3_.setInterval(kTimer3Interval);
    connect(&timer3_, &QTimer::timeout, this, &ChatLog::Timer3Timer);
    timer3_.start();
}

ChatLog::~ChatLog()
{
    timer3_.stop();
    // Records still queued are dropped unwritten.
}

QString ChatLog::headText()
{
    return QStringLiteral(
        "<html><head><meta http-equiv=Content-Type content=\"text/html; charset=shift_jis\"></head><body>");
}

QString ChatLog::styleSheetText(const QString& formColor, const QString& userColor, int fontSize,
                                const QString& fontName, const QString& linkColor, const QString& sysColor,
                                const QString& recvColor)
{
    const QStringList lines{
        QStringLiteral("<style type=text/css>"),
        QStringLiteral("body{ margin-top: 10px; margin-left: 10px;"),
        QStringLiteral("      background: ") + formColor + QStringLiteral("; color: ") + sysColor + u';',
        QStringLiteral("      font-family: \"") + fontName + QStringLiteral("\",arial,"),
        QStringLiteral("      helvetica ;font-size:") + QString::number(fontSize) + QStringLiteral("pt;"),
        QStringLiteral("      line-height : 1.2;"),
        QStringLiteral("      scrollbar-arrow-color:") + userColor + u';',
        QStringLiteral("      scrollbar-base-color:") + userColor + u';',
        QStringLiteral("      scrollbar-face-color:") + formColor + u';',
        QStringLiteral("      scrollbar-highlight-color:") + formColor + u';',
        QStringLiteral("      scrollbar-shadow-color:") + userColor + QStringLiteral(";}"),
        QStringLiteral("a:link   { color: ") + linkColor + QStringLiteral(";}"),
        QStringLiteral("a:visited{ color: ") + linkColor + QStringLiteral(";}"),
        QStringLiteral("a:active { color: ") + linkColor + QStringLiteral(";}"),
        QStringLiteral("#User{ color: ") + userColor + QStringLiteral(";}"),
        QStringLiteral("#Recv{ color: ") + recvColor + QStringLiteral(";}"),
        QStringLiteral("</style>"),
    };
    // Built with CR between lines, then every line ends in CR LF; values
    // that themselves hold line breaks are normalised the same way.
    QString text = lines.join(u'\r');
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\r"));
    text.replace(u'\n', u'\r');
    QString out;
    for (const QString& line : text.split(u'\r'))
        out += line + QStringLiteral("\r\n");
    return out;
}

QString ChatLog::lineFragment(int anchor, int kind, const QString& lineText)
{
    QString id;
    if (kind == LineOwn)
        id = QStringLiteral("id=\"User\"");
    else if (kind == LineRecv)
        id = QStringLiteral("id=\"Recv\"");
    return kFragmentStart + QString::number(anchor) + QStringLiteral("\"><span ") + id + u'>' + lineText
        + QStringLiteral("</span></a><br>");
}

QStringList ChatLog::lineFragments(const QString& write)
{
    if (write.startsWith(u"<html>") || write.startsWith(u"<style"))
        return {};
    // The joined pending lines end every fragment in CR LF.
    auto trimmed = [](QString piece) {
        if (piece.endsWith(u"\r\n"))
            piece.chop(2);
        return piece;
    };
    QStringList out;
    qsizetype from = 0;
    for (;;) {
        const qsizetype next = write.indexOf(kFragmentStart, from + 1);
        if (next < 0)
            break;
        const QString piece = trimmed(write.mid(from, next - from));
        if (!piece.isEmpty())
            out << piece;
        from = next;
    }
    const QString last = trimmed(write.mid(from));
    if (!last.isEmpty())
        out << last;
    return out;
}

int ChatLog::fragmentAnchor(const QString& fragment)
{
    if (!fragment.startsWith(kFragmentStart))
        return -1;
    const qsizetype start = kFragmentStart.size();
    const qsizetype end = fragment.indexOf(u'"', start);
    if (end < 0)
        return -1;
    bool ok = false;
    const int n = fragment.mid(start, end - start).toInt(&ok);
    return ok ? n : -1;
}

QString ChatLog::fragmentBody(const QString& fragment)
{
    static const QString kEnd = QStringLiteral("</a><br>");
    if (fragmentAnchor(fragment) < 0 || !fragment.endsWith(kEnd))
        return fragment;
    const qsizetype start = fragment.indexOf(u'>') + 1;
    return fragment.mid(start, fragment.size() - kEnd.size() - start);
}

QString ChatLog::statusTimeText(const QDateTime& when)
{
    const QLocale locale;
    return locale.toString(when.date(), QLocale::ShortFormat) + u' '
        + locale.toString(when.time(), timeFormatWithoutZone(locale));
}

void ChatLog::queueLocked(Shared& s, const QString& text, bool scroll, int anchor)
{
    s.queue.push_back(TMsgData{ text, scroll, scroll ? anchor : -1 });
}

void ChatLog::QueueHtml(const QString& text, bool scroll, int anchor)
{
    shared_.with([&](Shared& s) { queueLocked(s, text, scroll, anchor); });
}

void ChatLog::AddLogLine(const QString& text, int kind)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // The text may come from the peer: only harmless markup reaches the page.
    const QString safeText = HtmlText::SanitizePeerHtml(text);

    shared_.with([&](Shared& s) {
        QString lineText;
        if (kind == LineOwn)
            lineText = HtmlText::EscapePlain(s.userName) + kNameSeparator + safeText;
        else if (kind == LineRecv)
            lineText = HtmlText::EscapePlain(s.peerName) + kNameSeparator + safeText;
        else
            lineText = safeText;
        const QString fragment = lineFragment(s.counter, kind, lineText);
        if (s.ready)
            queueLocked(s, fragment, true, s.counter);
        else
            s.pending.append(fragment);
        s.notices.push_back(Notice{ kind, now });
        ++s.counter;
    });
}

// The names are read by other threads: keep copies of our own rather than
// share the caller's string data across threads.
void ChatLog::setUserName(const QString& name)
{
    QString copy(name.constData(), name.size());
    shared_.with([&](Shared& s) { s.userName.swap(copy); });
}

void ChatLog::setPeerName(const QString& name)
{
    QString copy(name.constData(), name.size());
    shared_.with([&](Shared& s) { s.peerName.swap(copy); });
}

void ChatLog::setStyle(const ChatLogStyle& style)
{
    style_ = style;
}

void ChatLog::restyle(const ChatLogStyle& style)
{
    style_ = style;
    if (isReady())
        applyPageStyle(style);
}

void ChatLog::setRenderer(IChatLogRenderer* renderer)
{
    renderer_ = renderer;
    if (renderer_ && isReady())
        renderer_->setPageStyle(pageStyle_);
}

void ChatLog::WBDocumentComplete()
{
    // One step under the lock, so no line slips in between.
    const bool began = shared_.with([this](Shared& s) {
        if (s.ready)
            return false;
        queueLocked(s, headText(), false, -1);
        WriteStyleSheet(s, style_);
        if (!s.pending.isEmpty()) {
            QString joined;
            for (const QString& line : std::as_const(s.pending))
                joined += line + QStringLiteral("\r\n");
            queueLocked(s, joined, false, -1);
        }
        s.pending.clear();
        s.ready = true;
        return true;
    });
    if (began)
        applyPageStyle(style_);
}

void ChatLog::WriteStyleSheet(Shared& s, const ChatLogStyle& style)
{
    queueLocked(s, styleSheetText(style.formColor, style.userColor, style.fontSize, style.fontName, style.linkColor,
                               style.sysColor, style.recvColor),
                false, -1);
}

void ChatLog::applyPageStyle(const ChatLogStyle& style)
{
    pageStyle_ = style;
    if (renderer_)
        renderer_->setPageStyle(style);
    emit inputColorsChanged(style.formColor, style.userColor);
}

bool ChatLog::isReady() const
{
    return shared_.with([](const Shared& s) { return s.ready; });
}

int ChatLog::lineCount() const
{
    return shared_.with([](const Shared& s) { return s.counter; });
}

int ChatLog::queuedCount() const
{
    return shared_.with([](const Shared& s) { return int(s.queue.size()); });
}

void ChatLog::Timer3Timer()
{
    std::vector<TMsgData> records;
    std::vector<Notice> notices;
    // Take the records out under the lock; writing happens without it so
    // connection threads never wait for the view.
    shared_.with([&](Shared& s) {
        if (renderer_)
            records.swap(s.queue);
        notices.swap(s.notices);
    });
    int scrollAnchor = -1;
    for (const TMsgData& record : records) {
        renderer_->writeHtml(record.Text);
        if (record.ScrollTo)
            scrollAnchor = record.Anchor;
    }
    // Scrolling to each line of a burst in turn ends at the newest one.
    if (scrollAnchor >= 0)
        renderer_->scrollToLine(scrollAnchor);

    if (notices.empty())
        return;
    emit statusTimeChanged(statusTimeText(QDateTime::fromMSecsSinceEpoch(notices.back().msecsSinceEpoch)));
    for (const Notice& notice : notices)
        emit lineAdded(notice.kind);
}

} // namespace corvid

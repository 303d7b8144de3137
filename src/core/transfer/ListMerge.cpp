#include "core/transfer/ListMerge.h"

#include "core/protocol/FileListExchange.h"
#include "core/protocol/LocalFileChooser.h"
#include "core/protocol/RelativePath.h"
#include "core/protocol/SjisCodec.h"
#include "core/session/ILogSink.h"
#include "core/settings/Conversions.h"
#include "core/transfer/RowTransitions.h"
#include "core/transfer/TransferTexts.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>

#include <optional>

namespace corvid {

namespace {

constexpr qsizetype kMaxLines = FileListExchange::kMaxListLines;

// Why a size text cannot be asked for, if it cannot. A request carries the
// row's size as a count of at least one byte, 32-bit below protocol 2 and
// 64-bit at 2; anything else would put a size on the wire that is not the
// row's.
std::optional<MergeSkip> sizeProblem(const QString& text, int protocol)
{
    const bool extended = ProtocolLevel::Extended(protocol);
    const qint64 most = ProtocolLevel::MaxFileSize(protocol);
    // Digits and commas only, the form sizes are listed in: read at once.
    qint64 n = 0;
    bool digit = false;
    bool plain = true;
    bool over = false;
    for (const QChar c : text) {
        if (c >= u'0' && c <= u'9') {
            digit = true;
            const int d = c.unicode() - u'0';
            if (over || n > (most - d) / 10)
                over = true;
            else
                n = n * 10 + d;
        } else if (c != u',') {
            plain = false;
            break;
        }
    }
    if (plain && digit) {
        // No 64-bit file is larger than 2^63-1: such a size is no size.
        if (over)
            return extended ? MergeSkip::BadSize : MergeSkip::SizeTooLarge;
        return n >= 1 ? std::nullopt : std::optional(MergeSkip::BadSize);
    }
    // Anything else is a size only as the size column is read back.
    bool ok = false;
    n = extended ? Conversions::ParseThousands64(text, &ok) : Conversions::ParseThousands(text, &ok);
    if (!ok)
        return MergeSkip::BadSize;
    return n >= 1 ? std::nullopt : std::optional(MergeSkip::BadSize);
}

// The listed time of a fourth field: plain decimal nanoseconds, else -1.
qint64 timeOf(QStringView text)
{
    if (text.isEmpty() || text.size() > 19)
        return -1;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return -1;
    }
    bool ok = false;
    const qint64 t = text.toLongLong(&ok);
    return ok ? t : -1;
}

// The fields of a line in the forms lines are sent in, "name","size", and
// (protocol 2) "name","size",,"time", taken without the general split;
// false for any other form, which the general split then reads (to the same
// fields where both apply). `time` is empty for the first form.
bool splitSentForm(const QString& line, QString& name, QString& size, QString& time)
{
    const qsizetype len = line.size();
    if (len < 7 || line[0] != u'"')
        return false;
    const qsizetype close = line.indexOf(u'"', 1);
    if (close < 0 || close + 3 > len || QStringView(line).sliced(close, 3) != QLatin1String("\",\""))
        return false;
    const qsizetype from = close + 3;
    const qsizetype sizeEnd = line.indexOf(u'"', from);
    if (sizeEnd < 0)
        return false;
    const QStringView rest = QStringView(line).sliced(sizeEnd + 1);
    if (rest == QLatin1String(",")) {
        time.clear();
    } else if (rest.size() >= 4 && rest.startsWith(QLatin1String(",,\"")) && rest.endsWith(u'"')
               && !rest.sliced(3, rest.size() - 4).contains(u'"')) {
        time = rest.sliced(3, rest.size() - 4).toString();
    } else {
        return false;
    }
    name = line.mid(1, close - 1);
    size = line.mid(from, sizeEnd - from);
    return true;
}

// A refused name as a system line shows it: control characters as "?", and
// no longer than a line should be.
QString shown(const QString& name)
{
    constexpr qsizetype kMostShown = 200;
    QString out = name.size() > kMostShown ? name.left(kMostShown) + QStringLiteral("…") : name;
    for (QChar& c : out) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F || c.category() == QChar::Other_Control)
            c = u'?';
    }
    return out;
}

// Whether a name's bytes on disk may be too many: only then is it encoded.
bool nameTooLong(const QString& name)
{
    // A UTF-16 unit is at most three bytes in the file system's encoding.
    if (name.size() * 3 <= LocalFileChooser::kMaxListedNameBytes)
        return false;
    return QFile::encodeName(name).size() > LocalFileChooser::kMaxListedNameBytes;
}

bool isAscii(const QByteArray& bytes)
{
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

class Preparer {
public:
    Preparer(QueueKind kind, qsizetype lines, int protocol)
        : extended_(ProtocolLevel::Extended(protocol))
    {
        out_.kind = kind;
        out_.protocol = protocol;
        out_.entries.reserve(size_t(lines));
    }

    void skip(int line, MergeSkip reason) { out_.skipped.append({line, reason}); }

    // One decoded line: an entry, or a skipped line.
    void check(int index, const QString& line)
    {
        const bool send = out_.kind == QueueKind::Send;
        QString name;
        QString size;
        QString folder;
        QString time;
        if (send || !splitSentForm(line, name, size, time)) {
            QStringList fields = FileListText::SplitFields(line);
            if (fields.size() < (send ? 3 : 2) || (send && fields[2].isEmpty()))
                return skip(index, MergeSkip::TooFewFields);
            name = std::move(fields[0]);
            size = std::move(fields[1]);
            if (send)
                folder = std::move(fields[2]);
            else if (fields.size() > 3)
                time = std::move(fields[3]);
        }
        // Names must survive the trip back as bytes.
        const bool decoded = !name.contains(QChar::ReplacementCharacter);
        if (send) {
            // Our own files: a bare name, or (a folder's file) a relative path.
            if (!decoded || !(LocalFileChooser::IsSafeName(name) || RelativePath::IsSafe(name)))
                return skip(index, MergeSkip::UnsafeName);
        } else if (extended_) {
            // A peer's path becomes a path under the receive folder: the
            // path rules keep it there, and the user hears what was refused.
            if (!decoded || !RelativePath::IsSafe(name))
                return refuse(index, MergeSkip::UnsafeName, name);
        } else {
            // An original peer's name must stay one plain entry of the folder.
            if (!decoded || !LocalFileChooser::IsSafeName(name))
                return skip(index, MergeSkip::UnsafeName);
            if (nameTooLong(name))
                return skip(index, MergeSkip::NameTooLong);
        }
        if (!send) {
            if (const auto problem = sizeProblem(size, out_.protocol))
                return refuse(index, *problem, name);
        }
        const qint64 modTime = !send && extended_ ? timeOf(time) : -1;
        QString key = name.toCaseFolded();
        // Which entry came first for each name is settled here, so that the
        // queue's thread only looks up the rows it already has.
        const auto known = firstEntry_.constFind(key);
        const int first = known == firstEntry_.constEnd() ? -1 : *known;
        if (first < 0)
            firstEntry_.insert(key, int(out_.entries.size()));
        out_.entries.push_back(
            {index, std::move(name), std::move(size), std::move(folder), modTime, std::move(key), first});
    }

    // Lines past the most a list may have.
    void cutFrom(qsizetype first, qsizetype count)
    {
        if (first >= count)
            return;
        out_.cut = true;
        for (qsizetype i = first; i < count; ++i)
            skip(int(i), MergeSkip::PastListEnd);
    }

    PreparedList take() { return std::move(out_); }

private:
    void refuse(int index, MergeSkip reason, const QString& name)
    {
        skip(index, reason);
        // One line per name, the first few named, the rest counted.
        if (refused_.contains(name))
            return;
        refused_.insert(name);
        if (out_.refusedNames.size() < FileListText::kNamedRefusals)
            out_.refusedNames.append({reason, name});
        else
            ++out_.moreRefused;
    }

    const bool extended_;
    PreparedList out_;
    QSet<QString> refused_;
    QHash<QString, int> firstEntry_;
};

// The receive folder as rows carry it (absolute, clean, ending in "/"), or
// empty when there is no usable one.
QString receiveFolderOf(const MergeOptions& options)
{
    const QString& f = options.receiveFolder;
    if (f.isEmpty() || !QDir::isAbsolutePath(f))
        return {};
    const QString clean = QDir::cleanPath(f);
    return clean.endsWith(u'/') ? clean : clean + u'/';
}

void tell(const PreparedList& list, int notAppended, ILogSink& log)
{
    if (list.cut)
        log.AddLogLine(TransferTexts::ListCut(kMaxLines), LineSys);
    for (const RefusedName& r : list.refusedNames) {
        switch (r.reason) {
        case MergeSkip::SizeTooLarge: log.AddLogLine(TransferTexts::ReceiveTooLarge(r.name), LineSys); break;
        case MergeSkip::UnsafeName: log.AddLogLine(TransferTexts::ReceiveNameRefused(shown(r.name)), LineSys); break;
        default: log.AddLogLine(TransferTexts::ReceiveBadSize(r.name), LineSys); break;
        }
    }
    if (list.moreRefused > 0)
        log.AddLogLine(TransferTexts::MoreRefused(list.moreRefused), LineSys);
    if (notAppended > 0)
        log.AddLogLine(TransferTexts::ReceiveQueueFull(FileListText::kMaxReceiveRows, notAppended), LineSys);
}

} // namespace

PreparedList ListMerge::PrepareText(QueueKind kind, const QStringList& lines, int protocol)
{
    const qsizetype n = qMin(lines.size(), kMaxLines);
    Preparer p(kind, n, protocol);
    for (qsizetype i = 0; i < n; ++i)
        p.check(int(i), lines[i]);
    p.cutFrom(n, lines.size());
    return p.take();
}

PreparedList ListMerge::PrepareWire(QueueKind kind, const QList<QByteArray>& lines, int protocol)
{
    const qsizetype n = qMin(lines.size(), kMaxLines);
    Preparer p(kind, n, protocol);
    SjisCodec::Decoder decoder;
    // Lines of plain ASCII are their own text. The others are decoded one by
    // one but encoded back in windows of joined lines: one conversion per
    // window, not one per line, with memory bounded by the window.
    constexpr qsizetype kWindowBytes = 256 * 1024;
    for (qsizetype from = 0; from < n;) {
        QStringList text;
        QList<qsizetype> wide;  // window positions of the non-ASCII lines
        QString joined;
        qsizetype to = from;
        for (qsizetype bytes = 0; to < n && bytes < kWindowBytes; ++to) {
            const QByteArray& w = lines[to];
            if (isAscii(w)) {
                text.append(QString::fromLatin1(w));
                continue;
            }
            QString t = decoder.feed(w);
            t += decoder.finish();
            if (!wide.isEmpty())
                joined += u'\n';  // no decoded line holds one
            joined += t;
            wide.append(to - from);
            text.append(std::move(t));
            bytes += w.size();
        }
        std::vector<bool> same(size_t(to - from), true);
        const QByteArray back = wide.isEmpty() ? QByteArray() : SjisCodec::encode(joined);
        qsizetype pos = 0;
        for (const qsizetype k : wide) {
            qsizetype nl = back.indexOf('\n', pos);
            if (nl < 0)
                nl = back.size();
            same[size_t(k)] = QByteArrayView(back).sliced(pos, nl - pos) == QByteArrayView(lines[from + k]);
            pos = nl + 1;
        }
        for (qsizetype k = 0; k < to - from; ++k) {
            if (same[size_t(k)])
                p.check(int(from + k), text[k]);
            else
                p.skip(int(from + k), MergeSkip::NotRoundTrip);
        }
        from = to;
    }
    p.cutFrom(n, lines.size());
    return p.take();
}

bool ListMerge::Apply(TransferQueue& queue, const PreparedList& list, const MergeOptions& options)
{
    QList<SkippedLine>* skipped = options.skipped;
    const bool send = queue.Kind() == QueueKind::Send;
    QString folder;
    if (!send) {
        folder = receiveFolderOf(options);
        if (folder.isEmpty()) {
            if (skipped) {
                for (const ListEntry& e : list.entries)
                    skipped->append({e.line, MergeSkip::NoReceiveFolder});
            }
            return false;
        }
    }
    if (skipped)
        skipped->append(list.skipped);

    // First row of each case-folded name the queue has, so that a list of n
    // lines merges in time linear in n and the queue's rows, not in their
    // product. A name the queue lacks has its first row from the list.
    QHash<QString, int> firstRow;
    firstRow.reserve(queue.Count());
    for (int i = queue.Count() - 1; i >= 0; --i)
        firstRow.insert(queue.Row(i).Name().toCaseFolded(), i);  // the earliest row wins
    TransferQueue::ChangeBatch batch(queue);
    const RowState state = send ? RowTransitions::AddedSendRow(queue.IsRunning())
                                : RowTransitions::MergedReceiveRow(queue.IsRunning(), options.autoAccept);
    bool appended = false;
    int notAppended = 0;
    for (const ListEntry& e : list.entries) {
        const auto found = firstRow.isEmpty() ? firstRow.constEnd() : firstRow.constFind(e.key);
        const QString* firstName = nullptr;
        if (found != firstRow.constEnd()) {
            QueueRow& row = queue.Row(*found);
            if (row.SizeText() == e.sizeText) {
                // The same file listed again: a newer time is the source's
                // now, so a partial copy of the older one is not resumed.
                if (e.modTime >= 0 && e.first < 0)
                    row.SetModTime(e.modTime);
                continue;
            }
            firstName = &row.Name();
        } else if (e.first >= 0) {
            const ListEntry& earlier = list.entries[size_t(e.first)];
            if (earlier.sizeText == e.sizeText)
                continue;
            firstName = &earlier.name;
        }
        if (!send && queue.Count() >= FileListText::kMaxReceiveRows) {
            ++notAppended;
            if (skipped)
                skipped->append({e.line, MergeSkip::QueueFull});
            continue;
        }
        // Rows of one name share its text.
        queue.Append(firstName && *firstName == e.name ? *firstName : e.name, e.sizeText, send ? e.folder : folder,
                     state, e.modTime);
        appended = true;
    }
    if (options.log)
        tell(list, notAppended, *options.log);
    return appended;
}

} // namespace corvid

#include "core/transfer/ListMerge.h"

#include "core/protocol/FileListExchange.h"
#include "core/protocol/LocalFileChooser.h"
#include "core/protocol/RelativePath.h"
#include "core/protocol/SjisCodec.h"
#include "core/protocol/TransferEngine.h"
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
// row's size as a 32-bit count of at least one byte; anything else would
// put a size on the wire that is not the row's.
std::optional<MergeSkip> sizeProblem(const QString& text)
{
    // Digits and commas only, the form sizes are listed in: read at once.
    qint64 n = 0;
    bool digit = false;
    bool plain = true;
    for (const QChar c : text) {
        if (c >= u'0' && c <= u'9') {
            digit = true;
            n = qMin<qint64>(n * 10 + (c.unicode() - u'0'), qint64(1) << 40);
        } else if (c != u',') {
            plain = false;
            break;
        }
    }
    if (plain && digit) {
        if (n > TransferEngine::kMaxFileSize)
            return MergeSkip::SizeTooLarge;
        return n >= 1 ? std::nullopt : std::optional(MergeSkip::BadSize);
    }
    // Anything else is a size only as the size column is read back.
    bool ok = false;
    n = Conversions::ParseThousands(text, &ok);
    if (!ok)
        return MergeSkip::BadSize;
    return n >= 1 ? std::nullopt : std::optional(MergeSkip::BadSize);
}

// The two fields of a line in the form lines are sent in, "name","size",
// taken without the general split; false for any other form, which the
// general split then reads (to the same fields where both apply).
bool splitSentForm(const QString& line, QString& name, QString& size)
{
    const qsizetype len = line.size();
    if (len < 7 || line[0] != u'"' || line[len - 2] != u'"' || line[len - 1] != u',')
        return false;
    const qsizetype close = line.indexOf(u'"', 1);
    if (close < 0 || close + 3 > len - 2 || QStringView(line).sliced(close, 3) != QLatin1String("\",\""))
        return false;
    const qsizetype from = close + 3;
    const QStringView sizeView = QStringView(line).sliced(from, len - 2 - from);
    if (sizeView.contains(u'"'))
        return false;
    name = line.mid(1, close - 1);
    size = sizeView.toString();
    return true;
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
    Preparer(QueueKind kind, qsizetype lines)
    {
        out_.kind = kind;
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
        if (send || !splitSentForm(line, name, size)) {
            QStringList fields = FileListText::SplitFields(line);
            if (fields.size() < (send ? 3 : 2) || (send && fields[2].isEmpty()))
                return skip(index, MergeSkip::TooFewFields);
            name = std::move(fields[0]);
            size = std::move(fields[1]);
            if (send)
                folder = std::move(fields[2]);
        }
        // A peer's name becomes a path in the receive folder: it must stay
        // one plain entry of it, and must survive the trip back as bytes.
        // A send-queue row may be a file of an added folder ("photos/a.jpg").
        const bool safe = send && name.contains(u'/') ? RelativePath::IsSafe(name) : LocalFileChooser::IsSafeName(name);
        if (!safe || name.contains(QChar::ReplacementCharacter))
            return skip(index, MergeSkip::UnsafeName);
        if (!send && nameTooLong(name))
            return skip(index, MergeSkip::NameTooLong);
        if (!send) {
            if (const auto problem = sizeProblem(size))
                return refuse(index, *problem, name);
        }
        QString key = name.toCaseFolded();
        // Which entry came first for each name is settled here, so that the
        // queue's thread only looks up the rows it already has.
        const auto known = firstEntry_.constFind(key);
        const int first = known == firstEntry_.constEnd() ? -1 : *known;
        if (first < 0)
            firstEntry_.insert(key, int(out_.entries.size()));
        out_.entries.push_back({index, std::move(name), std::move(size), std::move(folder), std::move(key), first});
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
        log.AddLogLine(r.reason == MergeSkip::SizeTooLarge ? TransferTexts::ReceiveTooLarge(r.name)
                                                           : TransferTexts::ReceiveBadSize(r.name),
                       LineSys);
    }
    if (list.moreRefused > 0)
        log.AddLogLine(TransferTexts::MoreRefused(list.moreRefused), LineSys);
    if (notAppended > 0)
        log.AddLogLine(TransferTexts::ReceiveQueueFull(FileListText::kMaxReceiveRows, notAppended), LineSys);
}

} // namespace

PreparedList ListMerge::PrepareText(QueueKind kind, const QStringList& lines)
{
    const qsizetype n = qMin(lines.size(), kMaxLines);
    Preparer p(kind, n);
    for (qsizetype i = 0; i < n; ++i)
        p.check(int(i), lines[i]);
    p.cutFrom(n, lines.size());
    return p.take();
}

PreparedList ListMerge::PrepareWire(QueueKind kind, const QList<QByteArray>& lines)
{
    const qsizetype n = qMin(lines.size(), kMaxLines);
    Preparer p(kind, n);
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
            const QueueRow& row = queue.Row(*found);
            if (row.SizeText() == e.sizeText)
                continue;
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
                     state);
        appended = true;
    }
    if (options.log)
        tell(list, notAppended, *options.log);
    return appended;
}

} // namespace corvid

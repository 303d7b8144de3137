#include "core/transfer/FileListText.h"

#include "core/protocol/LocalFileChooser.h"
#include "core/protocol/SjisCodec.h"
#include "core/protocol/Transport.h"
#include "core/settings/Conversions.h"

#include <QDir>
#include <QFile>
#include <QHash>

namespace corvid {

namespace {

bool isBlank(QChar c)
{
    return c.unicode() >= 1 && c.unicode() <= 32;
}

QString quoted(const QString& text)
{
    return u'"' + text + u'"';
}

} // namespace

QString FileListText::MakeLine(const QString& name, const QString& sizeText)
{
    return quoted(name) + u',' + quoted(sizeText) + u',';
}

QString FileListText::MakeLocalAddLine(const QString& name, const QString& sizeText, const QString& folder)
{
    // Folders may hold a double quote on this system; doubling it keeps the
    // field whole (the field splitter reads a doubled quote as one).
    QString escaped = folder;
    escaped.replace(u'"', QStringLiteral("\"\""));
    return quoted(name) + u',' + quoted(sizeText) + u',' + quoted(escaped);
}

bool FileListText::BuildFileList(TransferQueue& sendQueue, QStringList& out)
{
    out.clear();
    if (sendQueue.IsEmpty())
        return false;
    for (int i = 0; i < sendQueue.Count(); ++i) {
        QueueRow& row = sendQueue.Row(i);
        out.append(MakeLine(row.Name(), row.SizeText()));
        if (row.State() == RowState::Unlisted)
            sendQueue.SetState(row.Ref(), RowState::Waiting);
    }
    return true;
}

bool FileListText::BuildFileListStream(TransferQueue& sendQueue, QByteArray& stream)
{
    QStringList lines;
    if (!BuildFileList(sendQueue, lines))
        return false;
    stream = EncodeLines(lines);
    return true;
}

QStringList FileListText::SplitBody(const QByteArray& body)
{
    return DecodeLines(Transport::SplitLines(body));
}

QStringList FileListText::DecodeLines(const QList<QByteArray>& lines)
{
    QStringList out;
    out.reserve(lines.size());
    for (const QByteArray& line : lines)
        out.append(SjisCodec::decode(line));
    return out;
}

QByteArray FileListText::EncodeLines(const QStringList& lines)
{
    QByteArray bytes;
    for (const QString& line : lines)
        bytes += SjisCodec::encode(line) + "\r\n";
    return bytes;
}

QStringList FileListText::SplitFields(const QString& line)
{
    QStringList fields;
    const qsizetype len = line.size();
    qsizetype i = 0;
    while (i < len && isBlank(line[i]))
        ++i;
    while (i < len) {
        QString field;
        if (line[i] == u'"') {
            ++i;
            while (i < len) {
                if (line[i] == u'"') {
                    if (i + 1 < len && line[i + 1] == u'"') {
                        field += u'"';
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                field += line[i++];
            }
        } else {
            const qsizetype start = i;
            while (i < len && line[i].unicode() > 32 && line[i] != u',')
                ++i;
            field = line.mid(start, i - start);
            // A zero character is neither part of a field nor a blank; step
            // over it so the scan always moves on.
            if (i == start && i < len && line[i] != u',' && !isBlank(line[i]))
                ++i;
        }
        fields.append(field);
        while (i < len && isBlank(line[i]))
            ++i;
        if (i < len && line[i] == u',') {
            if (i == len - 1)
                fields.append(QString());
            ++i;
            while (i < len && isBlank(line[i]))
                ++i;
        }
    }
    return fields;
}

namespace {

struct Merger {
    TransferQueue& queue;
    const MergeOptions& options;
    QString folder;
    bool appended = false;
    // First row of each case-folded name, so that a list of n lines merges
    // in time linear in n, not n times the queue.
    QHash<QString, int> firstRow;

    void indexQueue()
    {
        firstRow.reserve(queue.Count());
        for (int i = 0; i < queue.Count(); ++i)
        {
            const QString key = queue.Row(i).Name().toCaseFolded();
            if (!firstRow.contains(key))
                firstRow.insert(key, i);
        }
    }

    void skip(int index, MergeSkip reason)
    {
        if (options.skipped)
            options.skipped->append({index, reason});
    }

    void merge(int index, const QString& line)
    {
        const bool send = queue.Kind() == QueueKind::Send;
        const QStringList fields = FileListText::SplitFields(line);
        if (fields.size() < (send ? 3 : 2) || (send && fields[2].isEmpty()))
            return skip(index, MergeSkip::TooFewFields);
        const QString& name = fields[0];
        // A peer's name becomes a path in the receive folder: it must stay
        // one plain entry of it, and must survive the trip back as bytes.
        if (!LocalFileChooser::IsSafeName(name) || name.contains(QChar::ReplacementCharacter))
            return skip(index, MergeSkip::UnsafeName);
        if (!send && QFile::encodeName(name).size() > LocalFileChooser::kMaxListedNameBytes)
            return skip(index, MergeSkip::NameTooLong);
        const QString key = name.toCaseFolded();
        const auto found = firstRow.constFind(key);
        if (found != firstRow.constEnd() && queue.Row(*found).SizeText() == fields[1])
            return;
        if (send) {
            queue.Append(name, fields[1], fields[2], queue.IsRunning() ? RowState::Unlisted : RowState::Waiting);
        } else {
            const bool waiting = !queue.IsRunning() || options.autoAccept;
            queue.Append(name, fields[1], folder, waiting ? RowState::Waiting : RowState::New);
        }
        if (found == firstRow.constEnd())
            firstRow.insert(key, queue.Count() - 1);
        appended = true;
    }
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

} // namespace

bool FileListText::MergeListLines(TransferQueue& queue, const QStringList& lines, const MergeOptions& options)
{
    Merger m{queue, options, {}, false, {}};
    m.indexQueue();
    TransferQueue::ChangeBatch batch(queue);
    if (queue.Kind() == QueueKind::Receive) {
        m.folder = receiveFolderOf(options);
        if (m.folder.isEmpty()) {
            for (int i = 0; i < lines.size(); ++i)
                m.skip(i, MergeSkip::NoReceiveFolder);
            return false;
        }
    }
    for (int i = 0; i < lines.size(); ++i)
        m.merge(i, lines[i]);
    return m.appended;
}

bool FileListText::MergeWireLines(TransferQueue& queue, const QList<QByteArray>& wireLines,
                                  const MergeOptions& options)
{
    QStringList lines;
    QList<int> kept;
    for (int i = 0; i < wireLines.size(); ++i) {
        const QString line = SjisCodec::decode(wireLines[i]);
        if (SjisCodec::encode(line) != wireLines[i]) {
            if (options.skipped)
                options.skipped->append({i, MergeSkip::NotRoundTrip});
            continue;
        }
        lines.append(line);
        kept.append(i);
    }
    QList<SkippedLine> inner;
    MergeOptions innerOptions = options;
    innerOptions.skipped = options.skipped ? &inner : nullptr;
    const bool appended = MergeListLines(queue, lines, innerOptions);
    for (SkippedLine s : inner) {
        s.line = kept[s.line];
        options.skipped->append(s);
    }
    return appended;
}

} // namespace corvid

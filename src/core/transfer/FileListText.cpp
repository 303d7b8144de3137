#include "core/transfer/FileListText.h"

#include "core/base/TextLines.h"
#include "core/protocol/SjisCodec.h"
#include "core/session/ILogSink.h"
#include "core/transfer/ListMerge.h"
#include "core/transfer/RowTransitions.h"
#include "core/transfer/TransferTexts.h"

#include <QFile>

#include <sys/stat.h>

#include <limits>

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

// Tells, once per row, why a row is not in an original peer's list.
void tellLeftOut(QueueRow& row, QueueRow::Fit why, ILogSink* log)
{
    if (!log || row.LeftOutTold())
        return;
    row.SetLeftOutTold();
    log->AddLogLine(why == QueueRow::Fit::TooLarge ? TransferTexts::LeftOutTooLarge(row.Name())
                                                   : TransferTexts::LeftOutInFolder(row.Name()),
                    LineSys);
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

QString FileListText::MakeTimedLine(const QString& name, const QString& sizeText, qint64 modTime)
{
    if (modTime < 0)
        return MakeLine(name, sizeText);
    return MakeLine(name, sizeText) + u',' + quoted(QString::number(modTime));
}

qint64 FileListText::ModificationTime(const QString& path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || st.st_mtim.tv_sec < 0)
        return -1;
    constexpr qint64 kNs = 1000000000;
    if (qint64(st.st_mtim.tv_sec) > (std::numeric_limits<qint64>::max() - kNs) / kNs)
        return -1;  // past the year 2262: not representable
    return qint64(st.st_mtim.tv_sec) * kNs + qint64(st.st_mtim.tv_nsec);
}

ListSnapshot FileListText::TakeFileList(TransferQueue& sendQueue, int protocol, ILogSink* log)
{
    ListSnapshot listed;
    listed.protocol = protocol;
    listed.rows.reserve(size_t(sendQueue.Count()));
    for (int i = 0; i < sendQueue.Count(); ++i) {
        QueueRow& row = sendQueue.Row(i);
        const QueueRow::Fit fit = row.FitAt(protocol);
        if (fit != QueueRow::Fit::Yes) {
            tellLeftOut(row, fit, log);
            continue;  // keeps its state: it was not listed
        }
        listed.rows.push_back({row.Name(), row.SizeText(), row.Folder()});
        const RowState next = RowTransitions::ListBuilt(row.State());
        if (next != row.State())
            sendQueue.SetState(row.Ref(), next);
    }
    return listed;
}

QStringList FileListText::ListLines(const ListSnapshot& listed)
{
    const bool extended = ProtocolLevel::Extended(listed.protocol);
    QStringList out;
    out.reserve(qsizetype(listed.rows.size()));
    for (const ListSnapshot::Row& r : listed.rows) {
        out.append(extended ? MakeTimedLine(r.name, r.sizeText, ModificationTime(r.folder + r.name))
                            : MakeLine(r.name, r.sizeText));
    }
    return out;
}

bool FileListText::BuildFileList(TransferQueue& sendQueue, QStringList& out, int protocol, ILogSink* log)
{
    out = ListLines(TakeFileList(sendQueue, protocol, log));
    return !out.isEmpty();
}

bool FileListText::BuildFileListStream(TransferQueue& sendQueue, QByteArray& stream, int protocol, ILogSink* log)
{
    QStringList lines;
    if (!BuildFileList(sendQueue, lines, protocol, log))
        return false;
    stream = EncodeLines(lines);
    return true;
}

QStringList FileListText::SplitBody(const QByteArray& body)
{
    return DecodeLines(TextLines::Split(body));
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
    const QStringView view(line);
    const qsizetype len = line.size();
    qsizetype i = 0;
    while (i < len && isBlank(line[i]))
        ++i;
    while (i < len) {
        QString field;
        if (line[i] == u'"') {
            ++i;
            // Up to the next quote that is not doubled; a doubled one is one.
            for (;;) {
                const qsizetype q = line.indexOf(u'"', i);
                if (q < 0) {
                    field += view.sliced(i);
                    i = len;
                    break;
                }
                field += view.sliced(i, q - i);
                i = q + 1;
                if (i < len && line[i] == u'"') {
                    field += u'"';
                    ++i;
                    continue;
                }
                break;
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

bool FileListText::MergeListLines(TransferQueue& queue, const QStringList& lines, const MergeOptions& options)
{
    return MergePrepared(queue, PrepareListLines(queue.Kind(), lines, options.protocol), options);
}

bool FileListText::MergeWireLines(TransferQueue& queue, const QList<QByteArray>& wireLines,
                                  const MergeOptions& options)
{
    return MergePrepared(queue, PrepareWireLines(queue.Kind(), wireLines, options.protocol), options);
}

PreparedList FileListText::PrepareWireLines(QueueKind kind, const QList<QByteArray>& wireLines, int protocol)
{
    return ListMerge::PrepareWire(kind, wireLines, protocol);
}

PreparedList FileListText::PrepareListLines(QueueKind kind, const QStringList& lines, int protocol)
{
    return ListMerge::PrepareText(kind, lines, protocol);
}

bool FileListText::MergePrepared(TransferQueue& queue, const PreparedList& list, const MergeOptions& options)
{
    return ListMerge::Apply(queue, list, options);
}

} // namespace corvid

#include "core/transfer/FileListText.h"

#include "core/base/TextLines.h"
#include "core/protocol/SjisCodec.h"
#include "core/transfer/ListMerge.h"
#include "core/transfer/RowTransitions.h"

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
        const RowState next = RowTransitions::ListBuilt(row.State());
        if (next != row.State())
            sendQueue.SetState(row.Ref(), next);
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
    return MergePrepared(queue, PrepareListLines(queue.Kind(), lines), options);
}

bool FileListText::MergeWireLines(TransferQueue& queue, const QList<QByteArray>& wireLines,
                                  const MergeOptions& options)
{
    return MergePrepared(queue, PrepareWireLines(queue.Kind(), wireLines), options);
}

PreparedList FileListText::PrepareWireLines(QueueKind kind, const QList<QByteArray>& wireLines)
{
    return ListMerge::PrepareWire(kind, wireLines);
}

PreparedList FileListText::PrepareListLines(QueueKind kind, const QStringList& lines)
{
    return ListMerge::PrepareText(kind, lines);
}

bool FileListText::MergePrepared(TransferQueue& queue, const PreparedList& list, const MergeOptions& options)
{
    return ListMerge::Apply(queue, list, options);
}

} // namespace corvid

#pragma once
#include "core/transfer/TransferQueue.h"

#include <QByteArray>
#include <QList>
#include <QStringList>

namespace corvid {

// Why a list line did not become a row.
enum class MergeSkip {
    TooFewFields,     // not enough fields, or (send queue) no folder
    UnsafeName,       // empty, ".", "..", "/", "\", control characters
    NotRoundTrip,     // Shift-JIS bytes that do not come back the same
    NameTooLong,      // more than the file system takes (with room for "_N")
    NoReceiveFolder,  // receive queue without an absolute receive folder
};

struct SkippedLine {
    int line = 0;  // index in the merged lines
    MergeSkip reason = MergeSkip::TooFewFields;
};

// What a merge into the receive queue needs to know besides the queue.
struct MergeOptions {
    QString receiveFolder;    // RecvDir; column 6 of received rows
    bool autoAccept = false;  // AutoAccept
    QList<SkippedLine>* skipped = nullptr;  // optional: collects skipped lines
};

// The text of a file list: one line per send-queue row,
// "name","size", each followed by CR LF, in Shift-JIS on the wire.
class FileListText {
public:
    // "name","size",  and the local-add form "name","size","folder".
    static QString MakeLine(const QString& name, const QString& sizeText);
    static QString MakeLocalAddLine(const QString& name, const QString& sizeText, const QString& folder);

    // The lines of the send queue in its order; Unlisted rows become
    // Waiting. False for an empty queue.
    static bool BuildFileList(TransferQueue& sendQueue, QStringList& out);
    // The same as a body (each line + CR LF, Shift-JIS). Nothing written on
    // failure.
    static bool BuildFileListStream(TransferQueue& sendQueue, QByteArray& stream);

    // Lines of a received body / of received wire lines, decoded.
    static QStringList SplitBody(const QByteArray& body);
    static QStringList DecodeLines(const QList<QByteArray>& lines);
    // Body bytes of lines (each + CR LF, Shift-JIS).
    static QByteArray EncodeLines(const QStringList& lines);

    // Fields of a line by the comma-text rules (delimiter ",", quote '"').
    static QStringList SplitFields(const QString& line);

    // Appends a row for every line whose name is not yet listed with the
    // same size text. True when at least one row was appended. Lines with
    // too few fields, and (receive queue) names that are not one plain entry
    // of a folder or too long for it, are skipped; a receive queue needs an
    // absolute receive folder.
    static bool MergeListLines(TransferQueue& queue, const QStringList& lines, const MergeOptions& options = {});
    // The same for wire lines (Shift-JIS). A line whose bytes do not survive
    // decoding and encoding again is skipped: its name could not be asked
    // for by the same bytes.
    static bool MergeWireLines(TransferQueue& queue, const QList<QByteArray>& wireLines,
                               const MergeOptions& options = {});
};

} // namespace corvid

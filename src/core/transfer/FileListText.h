#pragma once
#include "core/protocol/ProtocolLevel.h"
#include "core/transfer/TransferQueue.h"

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <vector>

namespace corvid {

class ILogSink;

// Why a list line did not become a row.
enum class MergeSkip {
    TooFewFields,     // not enough fields, or (send queue) no folder
    UnsafeName,       // empty, ".", "..", "/", "\", control characters; at protocol 2
                      // any path the path rules refuse (RelativePath)
    NotRoundTrip,     // Shift-JIS bytes that do not come back the same
    NameTooLong,      // (protocol 1) more than the file system takes (with room for "_N")
    NoReceiveFolder,  // receive queue without an absolute receive folder
    SizeTooLarge,     // (receive queue, protocol 1) 2^31 bytes or more: no request can carry it
    BadSize,          // (receive queue) not a number, no byte to receive, or past 2^63-1
    PastListEnd,      // after the most lines a list may have
    QueueFull,        // (receive queue) the queue holds the most rows it takes
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
    // Optional: told, as system lines, of a list that was cut and of files
    // that cannot be received for their size or (protocol 2) their name.
    ILogSink* log = nullptr;
    // The session's protocol number, which decides how Merge*Lines read the
    // lines (a prepared list was read at the protocol given to Prepare*).
    int protocol = ProtocolLevel::kOriginal;
};

// A line that may become a row, checked and split.
struct ListEntry {
    int line = 0;      // index in the merged lines
    QString name;
    QString sizeText;
    QString folder;    // send queue: the third field
    qint64 modTime = -1;  // receive queue at protocol 2: the fourth field, -1 when none
    QString key;       // the name case-folded: rows match ignoring case
    int first = -1;    // the earlier entry of the same key, if any (the first one)
};

// The rows of a send queue that a list for a peer shows, taken on the
// queue's thread; the list's text is made from it on any thread (at
// protocol 2 that reads each file's time, which stays off the UI thread).
struct ListSnapshot {
    struct Row {
        QString name;
        QString sizeText;
        QString folder;
    };
    int protocol = ProtocolLevel::kOriginal;
    std::vector<Row> rows;
};

struct RefusedName {
    MergeSkip reason = MergeSkip::BadSize;
    QString name;
};

// A list checked line by line before any queue is touched. Made on any
// thread (the one that received the list), merged on the queue's.
struct PreparedList {
    QueueKind kind = QueueKind::Receive;
    int protocol = ProtocolLevel::kOriginal;  // the protocol the lines were read at
    std::vector<ListEntry> entries;  // in the order of the lines
    QList<SkippedLine> skipped;      // the other lines, and why
    bool cut = false;                // the list had more lines than it may
    // Names refused for their size or (protocol 2) the path rules, each
    // once: the first few with their reason, then how many more.
    QList<RefusedName> refusedNames;
    int moreRefused = 0;
};

// The text of a file list: one line per send-queue row,
// "name","size", each followed by CR LF, in Shift-JIS on the wire. At
// protocol 2 the name may be a relative path, the size is 64-bit, and a
// fourth field carries the file's modification time: "path","size",,"time".
class FileListText {
public:
    // "name","size",  and the local-add form "name","size","folder".
    static QString MakeLine(const QString& name, const QString& sizeText);
    static QString MakeLocalAddLine(const QString& name, const QString& sizeText, const QString& folder);
    // "name","size",,"time" (protocol 2); without a time (-1) the first form.
    static QString MakeTimedLine(const QString& name, const QString& sizeText, qint64 modTime);
    // The modification time of a file in nanoseconds since the epoch; -1
    // when the file cannot be read or its time is before the epoch.
    static qint64 ModificationTime(const QString& path);

    // The rows of the send queue in its order that a peer at `protocol` may
    // see; they are listed, so Unlisted rows become Waiting. Below protocol
    // 2 rows of 2 GiB or more and rows inside a folder are left out (and keep
    // their state), each told to `log` the first time it is left out. The
    // queue's thread.
    static ListSnapshot TakeFileList(TransferQueue& sendQueue, int protocol, ILogSink* log);
    // The lines of a snapshot; at protocol 2 each carries its file's
    // modification time, read now (a file that is gone is listed without
    // one). Any thread.
    static QStringList ListLines(const ListSnapshot& listed);

    // Both steps at once: the lines of the send queue as a peer at
    // `protocol` may see them. False when no row is listed.
    static bool BuildFileList(TransferQueue& sendQueue, QStringList& out, int protocol = ProtocolLevel::kOriginal,
                              ILogSink* log = nullptr);
    // The same as a body (each line + CR LF, Shift-JIS). Nothing written on
    // failure.
    static bool BuildFileListStream(TransferQueue& sendQueue, QByteArray& stream,
                                    int protocol = ProtocolLevel::kOriginal, ILogSink* log = nullptr);

    // Lines of a received body / of received wire lines, decoded.
    static QStringList SplitBody(const QByteArray& body);
    static QStringList DecodeLines(const QList<QByteArray>& lines);
    // Body bytes of lines (each + CR LF, Shift-JIS).
    static QByteArray EncodeLines(const QStringList& lines);

    // Fields of a line by the comma-text rules (delimiter ",", quote '"').
    static QStringList SplitFields(const QString& line);

    // The most rows the receive queue takes from lists: two full lists (the
    // lines of one are capped at FileListExchange::kMaxListLines), however
    // many the peer sends.
    static constexpr int kMaxReceiveRows = 200000;
    // How many refused names a list arrival names before it only counts.
    static constexpr int kNamedRefusals = 3;

    // Appends a row for every line whose name is not yet listed with the
    // same size text. True when at least one row was appended. Lines with
    // too few fields, and (receive queue) names that are not one plain entry
    // of a folder or too long for it, or sizes that no request can carry
    // (not 1 to 2^31-1), are skipped; a receive queue needs an absolute
    // receive folder. Lines past the most a list may have are dropped, and
    // the receive queue takes no more than kMaxReceiveRows rows.
    // At protocol 2 (options.protocol) a receive queue takes relative paths
    // that pass the path rules (others are skipped and named to the log),
    // sizes 1 to 2^63-1 and the fourth field's time; a listed row of the
    // same name and size takes the new time. The send queue takes relative
    // paths that pass the path rules at any protocol.
    static bool MergeListLines(TransferQueue& queue, const QStringList& lines, const MergeOptions& options = {});
    // The same for wire lines (Shift-JIS). A line whose bytes do not survive
    // decoding and encoding again is skipped: its name could not be asked
    // for by the same bytes.
    static bool MergeWireLines(TransferQueue& queue, const QList<QByteArray>& wireLines,
                               const MergeOptions& options = {});

    // The merge in two steps, so that a large list costs the queue's thread
    // only the appends: Prepare* wherever the list arrived (it touches no
    // queue), MergePrepared on the queue's thread. Merge*Lines is both at once.
    static PreparedList PrepareWireLines(QueueKind kind, const QList<QByteArray>& wireLines,
                                         int protocol = ProtocolLevel::kOriginal);
    static PreparedList PrepareListLines(QueueKind kind, const QStringList& lines,
                                         int protocol = ProtocolLevel::kOriginal);
    static bool MergePrepared(TransferQueue& queue, const PreparedList& list, const MergeOptions& options = {});
};

} // namespace corvid

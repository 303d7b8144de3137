#pragma once
#include "core/transfer/TransferQueue.h"

#include <QString>
#include <QStringList>

namespace corvid {

enum class AddFileResult {
    Added,
    AlreadyListed,  // the first row of that name has the same size
    NotAFile,       // missing, a folder, or empty
    NameNotListable // the name cannot travel in a list (not Shift-JIS, quote, control character)
};

// What adding a folder did.
struct FolderAddResult {
    bool opened = false;    // false: no folder that could be read
    QString name;           // the folder's own name
    int added = 0;          // rows appended
    int alreadyListed = 0;  // files whose name was listed before with the same size
    int skipped = 0;        // empty files, links, special files, names that cannot travel
    bool cut = false;       // the folder held more files than one add takes
};

// Puts local files into the send queue. Files of any size are taken; which
// rows a peer may be offered is decided when a list is built for it.
class LocalFileAdder {
public:
    // A file, or every regular file under a folder (AddFolder). Gives the
    // system line the user must read, empty for none.
    static QString Add(TransferQueue& sendQueue, const QString& path);

    // One file, as a row named by its bare name.
    static AddFileResult AddLocalFile(TransferQueue& sendQueue, const QString& path);
    // Every regular file under the folder (FolderScan's), each a row named
    // by its path below the folder's parent ("photos/2026/a.jpg"), the
    // parent in column 6. Files whose names cannot travel are skipped.
    static FolderAddResult AddFolder(TransferQueue& sendQueue, const QString& folder);

    // The system line for a result the user must hear of; empty otherwise.
    static QString Message(AddFileResult result, const QString& path);
    static QString Message(const FolderAddResult& result);

    // Which of the names survive the trip to a peer and back as the same
    // text: through Shift-JIS and, as list fields, without a double quote.
    static QList<bool> Travel(const QStringList& names);
};

} // namespace corvid

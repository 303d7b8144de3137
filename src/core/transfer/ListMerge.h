#pragma once
#include "core/transfer/FileListText.h"

namespace corvid {

// The work behind FileListText's merges. Preparing checks every line of a
// list (decoding, fields, name, size, and at protocol 2 the path rules and
// the listed time) without a queue; applying matches the
// entries against the queue by a hash of the case-folded names, appends the
// new rows in one change batch and tells the user, in a few lines, what was
// left out. Every step is linear in the lines and the rows.
class ListMerge {
public:
    static PreparedList PrepareWire(QueueKind kind, const QList<QByteArray>& lines, int protocol);
    static PreparedList PrepareText(QueueKind kind, const QStringList& lines, int protocol);
    static bool Apply(TransferQueue& queue, const PreparedList& list, const MergeOptions& options);
};

} // namespace corvid

#pragma once
#include "core/protocol/RowLink.h"

#include <QString>

#include <array>

namespace corvid {

// One row of a transfer queue: the name (column 0), six text columns and the
// state. The state lives only in the row's link, whose atomic mirror the
// transfer threads read.
class QueueRow {
public:
    static constexpr int kColumnCount = 7;
    enum Column { ColName = 0, ColSize = 1, ColDone = 2, ColPercent = 3, ColTime = 4, ColSpeed = 5, ColFolder = 6 };

    // Whether a row can be carried at a protocol (listed, requested, pushed
    // or served), and if not, why: an original peer's sizes are 32-bit and
    // its names bare.
    enum class Fit { Yes, TooLarge, InFolder };

    QueueRow(RowRef link, const QString& name, const QString& sizeText, const QString& folder,
             qint64 modTime = -1);

    // The name: a bare name, or a path relative to column 6 ("photos/a.jpg").
    const QString& Name() const { return columns_[ColName]; }
    const QString& SizeText() const { return columns_[ColSize]; }
    const QString& Folder() const { return columns_[ColFolder]; }
    // Column 6 followed by the name.
    QString LocalPath() const { return columns_[ColFolder] + columns_[ColName]; }
    // The size column as a 64-bit count; -1 when it is no count.
    qint64 Size() const;

    // Receive rows: the source's modification time the peer listed, in
    // nanoseconds since the epoch; -1 when none was listed. Not a column.
    qint64 ModTime() const { return modTime_; }
    void SetModTime(qint64 time) { modTime_ = time; }

    Fit FitAt(int protocol) const;
    // Send rows: whether the user has been told why the row is left out of
    // an original peer's list (told once per row).
    bool LeftOutTold() const { return leftOutTold_; }
    void SetLeftOutTold() { leftOutTold_ = true; }

    QString Text(int column) const;
    void SetText(int column, const QString& text);

    RowState State() const { return link_->State(); }
    void SetState(RowState state) { link_->SetState(state); }
    const RowRef& Ref() const { return link_; }

private:
    RowRef link_;
    std::array<QString, kColumnCount> columns_;
    qint64 modTime_ = -1;
    bool leftOutTold_ = false;
};

} // namespace corvid

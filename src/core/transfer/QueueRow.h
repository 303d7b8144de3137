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

    QueueRow(RowRef link, const QString& name, const QString& sizeText, const QString& folder);

    const QString& Name() const { return columns_[ColName]; }
    const QString& SizeText() const { return columns_[ColSize]; }
    const QString& Folder() const { return columns_[ColFolder]; }
    // Column 6 followed by the name.
    QString LocalPath() const { return columns_[ColFolder] + columns_[ColName]; }

    QString Text(int column) const;
    void SetText(int column, const QString& text);

    RowState State() const { return link_->State(); }
    void SetState(RowState state) { link_->SetState(state); }
    const RowRef& Ref() const { return link_; }

private:
    RowRef link_;
    std::array<QString, kColumnCount> columns_;
};

} // namespace corvid

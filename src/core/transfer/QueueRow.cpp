#include "core/transfer/QueueRow.h"

namespace corvid {

QueueRow::QueueRow(RowRef link, const QString& name, const QString& sizeText, const QString& folder)
    : link_(std::move(link))
{
    columns_[ColName] = name;
    columns_[ColSize] = sizeText;
    columns_[ColFolder] = folder;
}

QString QueueRow::Text(int column) const
{
    return column >= 0 && column < kColumnCount ? columns_[size_t(column)] : QString();
}

void QueueRow::SetText(int column, const QString& text)
{
    if (column >= 0 && column < kColumnCount)
        columns_[size_t(column)] = text;
}

} // namespace corvid

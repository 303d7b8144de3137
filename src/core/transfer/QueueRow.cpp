#include "core/transfer/QueueRow.h"

#include "core/protocol/ProtocolLevel.h"
#include "core/settings/Conversions.h"

namespace corvid {

QueueRow::QueueRow(RowRef link, const QString& name, const QString& sizeText, const QString& folder,
                   qint64 modTime)
    : link_(std::move(link))
    , modTime_(modTime)
{
    columns_[ColName] = name;
    columns_[ColSize] = sizeText;
    columns_[ColFolder] = folder;
}

qint64 QueueRow::Size() const
{
    bool ok = false;
    const qint64 n = Conversions::ParseThousands64(SizeText(), &ok);
    return ok && n >= 0 ? n : -1;
}

QueueRow::Fit QueueRow::FitAt(int protocol) const
{
    if (ProtocolLevel::Extended(protocol))
        return Fit::Yes;
    if (Size() > ProtocolLevel::kMaxSize32)
        return Fit::TooLarge;
    return Name().contains(u'/') ? Fit::InFolder : Fit::Yes;
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

#include "core/transfer/LocalFileAdder.h"

#include "core/protocol/LocalFileChooser.h"
#include "core/protocol/SjisCodec.h"
#include "core/protocol/TransferEngine.h"
#include "core/settings/Conversions.h"
#include "core/transfer/FileListText.h"
#include "core/transfer/TransferTexts.h"

#include <QFileInfo>

namespace corvid {

AddFileResult LocalFileAdder::AddLocalFile(TransferQueue& sendQueue, const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile() || info.size() <= 0)
        return AddFileResult::NotAFile;
    if (info.size() > TransferEngine::kMaxFileSize)
        return AddFileResult::TooLarge;
    const QString name = info.fileName();
    if (!LocalFileChooser::IsSafeName(name) || name.contains(u'"') || !SjisCodec::canEncode(name))
        return AddFileResult::NameNotListable;
    QString folder = info.absolutePath();
    if (!folder.endsWith(u'/'))
        folder += u'/';
    const QString line =
        FileListText::MakeLocalAddLine(name, Conversions::FormatThousands(qint64(info.size())), folder);
    return FileListText::MergeListLines(sendQueue, {line}) ? AddFileResult::Added : AddFileResult::AlreadyListed;
}

QString LocalFileAdder::Message(AddFileResult result, const QString& path)
{
    const QString name = QFileInfo(path).fileName();
    switch (result) {
    case AddFileResult::TooLarge:
        return TransferTexts::SendTooLarge(name);
    case AddFileResult::NameNotListable:
        return TransferTexts::SendNameNotListable(name);
    default:
        return {};
    }
}

} // namespace corvid

#include "core/transfer/LocalFileAdder.h"

#include "core/protocol/LocalFileChooser.h"
#include "core/protocol/RelativePath.h"
#include "core/protocol/SjisCodec.h"
#include "core/settings/Conversions.h"
#include "core/transfer/FileListText.h"
#include "core/transfer/FolderScan.h"
#include "core/transfer/TransferTexts.h"

#include <QDir>
#include <QFileInfo>

namespace corvid {

QString LocalFileAdder::Add(TransferQueue& sendQueue, const QString& path)
{
    if (QFileInfo(path).isDir())
        return Message(AddFolder(sendQueue, path));
    return Message(AddLocalFile(sendQueue, path), path);
}

AddFileResult LocalFileAdder::AddLocalFile(TransferQueue& sendQueue, const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile() || info.size() <= 0)
        return AddFileResult::NotAFile;
    const QString name = info.fileName();
    if (!LocalFileChooser::IsSafeName(name) || !Travel({name}).value(0))
        return AddFileResult::NameNotListable;
    QString folder = info.absolutePath();
    if (!folder.endsWith(u'/'))
        folder += u'/';
    const QString line =
        FileListText::MakeLocalAddLine(name, Conversions::FormatThousands(qint64(info.size())), folder);
    return FileListText::MergeListLines(sendQueue, {line}) ? AddFileResult::Added : AddFileResult::AlreadyListed;
}

FolderAddResult LocalFileAdder::AddFolder(TransferQueue& sendQueue, const QString& folder)
{
    FolderAddResult result;
    const FolderContents found = FolderScan::Scan(folder);
    result.name = found.opened ? found.name : QFileInfo(QDir::cleanPath(folder)).fileName();
    result.opened = found.opened;
    if (!found.opened)
        return result;
    result.skipped = found.empty + found.notOffered;
    result.cut = found.cut;

    // A name a peer's firewall would refuse is not offered at all.
    QStringList names;
    std::vector<const FoundFile*> files;
    names.reserve(qsizetype(found.files.size()));
    files.reserve(found.files.size());
    for (const FoundFile& f : found.files) {
        if (!RelativePath::IsSafe(f.entry)) {
            ++result.skipped;
            continue;
        }
        names.append(f.entry);
        files.push_back(&f);
    }
    const QList<bool> travels = Travel(names);
    QStringList lines;
    lines.reserve(names.size());
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (!travels[i]) {
            ++result.skipped;
            continue;
        }
        lines.append(FileListText::MakeLocalAddLine(names[i], Conversions::FormatThousands(files[size_t(i)]->size),
                                                    found.parent));
    }

    QList<SkippedLine> refused;
    MergeOptions options;
    options.skipped = &refused;
    const int before = sendQueue.Count();
    FileListText::MergeListLines(sendQueue, lines, options);
    result.added = sendQueue.Count() - before;
    result.skipped += int(refused.size());
    result.alreadyListed = int(lines.size()) - result.added - int(refused.size());
    return result;
}

QString LocalFileAdder::Message(AddFileResult result, const QString& path)
{
    if (result == AddFileResult::NameNotListable)
        return TransferTexts::SendNameNotListable(QFileInfo(path).fileName());
    return {};
}

QString LocalFileAdder::Message(const FolderAddResult& result)
{
    if (!result.opened)
        return TransferTexts::FolderNotRead(result.name);
    return TransferTexts::FolderAdded(result.name, result.added, result.alreadyListed, result.skipped,
                                      result.cut ? FolderScan::kMaxFiles : 0);
}

QList<bool> LocalFileAdder::Travel(const QStringList& names)
{
    QList<bool> travels(names.size(), false);
    // All names through the codec at once, joined by line breaks (which no
    // listable name holds): one conversion each way instead of two per name.
    QString joined;
    QList<qsizetype> joinedAt;
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QString& n = names[i];
        if (n.contains(u'"') || n.contains(u'\n'))
            continue;
        if (!joinedAt.isEmpty())
            joined += u'\n';
        joined += n;
        joinedAt.append(i);
    }
    if (joinedAt.isEmpty())
        return travels;
    // Characters the code page lacks come back as "?", and a few that it
    // maps onto another come back as that one: both differ from the name.
    const QStringList back = SjisCodec::decode(SjisCodec::encode(joined)).split(u'\n');
    if (back.size() != joinedAt.size())
        return travels;
    for (qsizetype k = 0; k < joinedAt.size(); ++k)
        travels[joinedAt[k]] = back[k] == names[joinedAt[k]];
    return travels;
}

} // namespace corvid

#include "core/protocol/FileListExchange.h"

#include "core/protocol/Commands.h"
#include "core/protocol/ListLineSplitter.h"
#include "core/protocol/Transport.h"

namespace corvid {

namespace {

// The n-byte body of a list, read piece by piece and split as it comes.
bool readListBody(TcpConnection& c, qint64 n, QList<QByteArray>& lines)
{
    if (n > Transport::kMaxFileListBody) {
        c.shutdown();  // the body stays unread, so nothing after it could be parsed
        return false;
    }
    constexpr qint64 kPiece = 64 * 1024;
    ListLineSplitter split(FileListExchange::kMaxListLines + 1);
    QByteArray piece;
    for (qint64 left = n; left > 0; left -= piece.size()) {
        if (!Transport::ReadBody(c, piece, qMin(left, kPiece), kPiece))
            return false;
        split.feed(piece);
    }
    split.finish();
    lines = split.takeLines();
    return true;
}

} // namespace

bool FileListExchange::FetchFileList(TcpConnection& c, const QByteArray& token, QList<QByteArray>& lines)
{
    lines.clear();
    HeaderBlock b;
    Header::MakeRecvHeader(b, token, "FileList");
    if (!Transport::WriteHeader(c, b))
        return false;
    const int code = Commands::ReadCommand(c, b, Transport::kAnswerTimeoutMs);
    if (code != CmdRecv || !Header::IsAccepted(b) || Header::GetContentType(b) != CtFileList)
        return false;
    const auto n = Header::IntValue(b, "ContentLength");
    if (!n || *n < 0) {
        c.shutdown();  // no telling where a body of that length would end
        return false;
    }
    return readListBody(c, *n, lines);
}

bool FileListExchange::SendFileList(TcpConnection& c, const QByteArray& token, const QByteArray& contentType,
                                    const QByteArray& stream)
{
    HeaderBlock b;
    Header::MakeRecvHeader(b, token, contentType);
    b.insert(1, "Accept=True");
    b.insert(2, "ContentLength=" + QByteArray::number(stream.size()));
    const auto lock = c.lockWrites();
    return Transport::WriteHeader(c, b) && Transport::SendStream(c, stream);
}

bool FileListExchange::ReceiveFileList(TcpConnection& c, const QByteArray& token, HeaderBlock& block)
{
    Q_UNUSED(token);
    if (block.isEmpty())
        return false;
    block.insert(1, "Accept=True");
    if (!Transport::WriteHeader(c, block))
        return false;
    const auto n = Header::IntValue(block, "ContentLength");
    if (!n || *n < 0) {
        c.shutdown();
        return false;
    }
    block.clear();
    return readListBody(c, *n, block);
}

bool FileListExchange::RequestFileList(TcpConnection& c, const QByteArray& token)
{
    HeaderBlock b;
    Header::MakeRecvHeader(b, token, "FileList");
    return Transport::WriteHeader(c, b);
}

} // namespace corvid

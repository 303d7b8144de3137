#include "core/protocol/FileListExchange.h"

#include "core/protocol/Commands.h"
#include "core/protocol/Transport.h"

namespace corvid {

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
    QByteArray body;
    if (!Transport::ReadBody(c, body, *n, Transport::kMaxFileListBody))
        return false;
    lines = Transport::SplitListLines(body);
    return true;
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
    QByteArray body;
    if (!Transport::ReadBody(c, body, *n, Transport::kMaxFileListBody))
        return false;
    block = Transport::SplitListLines(body);
    return true;
}

bool FileListExchange::RequestFileList(TcpConnection& c, const QByteArray& token)
{
    HeaderBlock b;
    Header::MakeRecvHeader(b, token, "FileList");
    return Transport::WriteHeader(c, b);
}

} // namespace corvid

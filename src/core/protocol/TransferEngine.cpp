#include "core/protocol/TransferEngine.h"

#include "core/base/UniqueFd.h"

#include "core/protocol/Commands.h"
#include "core/protocol/CopyLoop.h"
#include "core/protocol/FileAttributes.h"
#include "core/protocol/LocalFile.h"
#include "core/protocol/LocalFileChooser.h"
#include "core/protocol/SjisCodec.h"
#include "core/protocol/Transport.h"

#include <QFile>

#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvid {

namespace {

QByteArray field(const char* key, const QByteArray& value)
{
    return QByteArray(key) + '=' + value;
}

QByteArray wireName(const QString& localPath)
{
    return SjisCodec::encode(LocalFileChooser::BareName(localPath));
}

// A file opened for sending, closed by the destructor.
class SourceFile {
public:
    explicit SourceFile(const QString& path)
        : fd_(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK))
    {
        struct stat st {};
        if (fd_.valid() && (::fstat(fd_.get(), &st) != 0 || !S_ISREG(st.st_mode)))
            fd_.reset();
        size_ = st.st_size;
    }
    int fd() const { return fd_.get(); }
    qint64 size() const { return size_; }

private:
    UniqueFd fd_;
    qint64 size_ = 0;
};

// Why a send cannot start: no file, a file no size field can carry, a start
// outside the file, or an entry that is not running.
TransferStatus sendBlocker(const SourceFile& file, const TCRFileRec& rec)
{
    if (file.fd() < 0)
        return TransferStatus::LocalFileError;
    if (file.size() > TransferEngine::kMaxFileSize || rec.StartPosition < 0 || rec.StartPosition > file.size())
        return TransferStatus::BadRequest;
    if (!rec.MayContinue())
        return TransferStatus::NotRunnable;
    return TransferStatus::Completed;
}

// Data, the receiver's Result, and block P: the shared tail of both sends.
TransferOutcome sendData(TcpConnection& c, const QByteArray& token, TCRFileRec& rec, const SourceFile& file,
                         qint64 chunkSize)
{
    qint64 position = 0;
    TransferStatus status = CopyLoop::Send(c, rec, file.fd(), file.size(), chunkSize, position);
    if (status == TransferStatus::Completed && position == file.size() && !Commands::ReadResult(c))
        status = TransferStatus::NotConfirmed;
    HeaderBlock p;
    Header::MakeDisconnectHeader(p, token);
    Transport::WriteHeader(c, p);
    c.shutdown();
    return {status, position};
}

// What the two receptions share once the answer checked out: the copy loop,
// the sender's attributes, the Result and the closing block.
TransferOutcome receiveData(TcpConnection& c, const QByteArray& token, TCRFileRec& rec, LocalFile& file,
                            quint32 finishedWord, qint64 chunkSize)
{
    const qint64 expected = rec.ExpectedSize;
    TransferStatus status = CopyLoop::Receive(c, rec, file, expected, chunkSize);
    const bool complete = file.Size() == expected;
    if (complete) {
        FileAttributes::WriteFd(file.Fd(), finishedWord);
        FileAttributes::ClearPartialFd(file.Fd());
        status = TransferStatus::Completed;
    }
    if (Commands::SendResult(c, token, complete) && complete) {
        HeaderBlock closing;
        Commands::ReadCommand(c, closing, Transport::kClosingBlockTimeoutMs);
    }
    if (!complete)
        c.shutdown();
    return {status, file.Size()};
}

TransferOutcome finishReception(TCRFileRec& rec, LocalFile& file, TransferOutcome outcome)
{
    rec.DoneBytes.store(file.Size());
    rec.ClearLive();
    file.CloseDeletingIfEmpty();
    rec.ReleaseCarrierThread();
    return outcome;
}

// The local file must be one plain entry directly in the receive folder,
// whatever the name that came from the peer looked like.
bool validReception(const TCRFileRec& rec)
{
    return rec.ExpectedSize > 0 && rec.ExpectedSize <= TransferEngine::kMaxFileSize
        && LocalFileChooser::IsInFolder(rec.LocalPath, rec.ReceiveFolder);
}

std::optional<quint32> finishedWord(const HeaderBlock& b)
{
    const auto attr = Header::IntValue(b, "FileAttr");
    return attr ? FileAttributes::FinishedWord(*attr) : std::nullopt;
}

void adoptCarrier(TCRFileRec& rec)
{
    if (rec.CarrierThread() == 0)
        rec.AdoptCurrentThread();
}

} // namespace

HeaderBlock TransferEngine::MakeFileRequest(const QByteArray& token, const QByteArray& fileName, qint64 size,
                                            qint64 start)
{
    HeaderBlock b;
    Header::MakeRecvHeader(b, token, "File");
    b.insert(3, field("StartPosition", QByteArray::number(start)));
    b.insert(3, field("ContentLength", QByteArray::number(size)));
    b.insert(3, field("FileName", fileName));
    return b;
}

TransferOutcome TransferEngine::ReceiveFile(TcpConnection& c, const QByteArray& token, TCRFileRec& rec,
                                            qint64 chunkSize)
{
    if (!validReception(rec))
        return {TransferStatus::BadRequest, 0};
    adoptCarrier(rec);
    LocalFile file;
    if (!LocalFileChooser::Choose(rec.LocalPath, rec.ExpectedSize, file)) {
        rec.ReleaseCarrierThread();
        return {TransferStatus::LocalFileError, 0};
    }
    rec.DoneBytes.store(file.Size());
    const QByteArray name = wireName(rec.LocalPath);

    if (!Transport::WriteHeader(c, MakeFileRequest(token, name, rec.ExpectedSize, file.Size()))) {
        c.shutdown();
        return finishReception(rec, file, {TransferStatus::WriteFailed, file.Size()});
    }
    HeaderBlock answer;
    const int code = Commands::ReadCommand(c, answer, Transport::kAnswerTimeoutMs);
    TransferStatus bad = TransferStatus::Completed;
    if (code != CmdRecv || Header::GetContentType(answer) != CtFile)
        bad = TransferStatus::NotAnswered;
    else if (!Header::IsAccepted(answer))
        bad = TransferStatus::Refused;
    const auto attr = finishedWord(answer);
    if (bad == TransferStatus::Completed
        && (Header::Value(answer, "FileName") != name || Header::IntValue(answer, "ContentLength") != rec.ExpectedSize
            || !attr))
        bad = TransferStatus::Mismatch;
    if (bad != TransferStatus::Completed) {
        c.shutdown();
        return finishReception(rec, file, {bad, file.Size()});
    }
    return finishReception(rec, file, receiveData(c, token, rec, file, *attr, chunkSize));
}

TransferOutcome TransferEngine::ServeFile(TcpConnection& c, const QByteArray& token, TCRFileRec& rec,
                                          qint64 chunkSize)
{
    HeaderBlock b;
    Header::MakeRecvHeader(b, token, "File");
    const SourceFile file(rec.LocalPath);
    const TransferStatus blocker = sendBlocker(file, rec);
    if (blocker != TransferStatus::Completed) {
        // Block L: the asking side learns at once, and no closing block can
        // ever be taken for file data.
        b.insert(1, "Accept=False");
        Transport::WriteHeader(c, b);
        c.shutdown();
        return {blocker, rec.StartPosition};
    }
    const auto attr = FileAttributes::ReadFd(file.fd());
    b.insert(1, "Accept=True");
    b.insert(2, field("FileName", wireName(rec.LocalPath)));
    b.insert(3, field("ContentLength", QByteArray::number(file.size())));
    b.insert(4, field("FileAttr", QByteArray::number(attr.value_or(FileAttributes::kArchive))));
    if (!Transport::WriteHeader(c, b)) {
        c.shutdown();
        return {TransferStatus::WriteFailed, rec.StartPosition};
    }
    return sendData(c, token, rec, file, chunkSize);
}

bool TransferEngine::RequestFile(TcpConnection& c, const QByteArray& token, const QString& localPath,
                                 qint64 expectedSize)
{
    QByteArray wire;
    return EncodeFileRequest(token, localPath, expectedSize, wire) && c.writeAll(wire);
}

bool TransferEngine::EncodeFileRequest(const QByteArray& token, const QString& localPath, qint64 expectedSize,
                                       QByteArray& wire)
{
    const qint64 offset = LocalFileChooser::ResumeOffset(localPath, expectedSize);
    return Transport::EncodeHeader(MakeFileRequest(token, wireName(localPath), expectedSize, offset), wire);
}

TransferOutcome TransferEngine::PushFile(TcpConnection& c, const QByteArray& token, TCRFileRec& rec,
                                         qint64 chunkSize)
{
    const SourceFile file(rec.LocalPath);
    const TransferStatus blocker = sendBlocker(file, rec);
    if (blocker != TransferStatus::Completed) {
        c.shutdown();
        return {blocker, rec.StartPosition};
    }
    const auto attr = FileAttributes::ReadFd(file.fd());
    HeaderBlock m;
    Header::MakeSendHeader(m, token, "File", file.size());
    m.insert(2, field("FileName", wireName(rec.LocalPath)));
    m.insert(3, field("FileAttr", QByteArray::number(attr.value_or(FileAttributes::kArchive))));
    m.insert(3, field("StartPosition", QByteArray::number(rec.StartPosition)));
    if (!Transport::WriteHeader(c, m)) {
        c.shutdown();
        return {TransferStatus::WriteFailed, rec.StartPosition};
    }
    HeaderBlock answer;
    const int code = Commands::ReadCommand(c, answer, Transport::kAnswerTimeoutMs);
    if (code != CmdSend || Header::GetContentType(answer) != CtFile || !Header::IsAccepted(answer)) {
        c.shutdown();
        return {code == CmdSend ? TransferStatus::Refused : TransferStatus::NotAnswered, rec.StartPosition};
    }
    return sendData(c, token, rec, file, chunkSize);
}

TransferOutcome TransferEngine::ReceivePushedFile(TcpConnection& c, const QByteArray& token, TCRFileRec& rec,
                                                  const HeaderBlock& blockM, qint64 chunkSize)
{
    if (!validReception(rec)) {
        c.shutdown();
        return {TransferStatus::BadRequest, 0};
    }
    const auto attr = finishedWord(blockM);
    if (Header::Value(blockM, "FileName") != wireName(rec.LocalPath)
        || Header::IntValue(blockM, "ContentLength") != rec.ExpectedSize || !attr) {
        c.shutdown();
        return {TransferStatus::Mismatch, 0};
    }
    adoptCarrier(rec);
    LocalFile file;
    if (!LocalFileChooser::Choose(rec.LocalPath, rec.ExpectedSize, file)) {
        rec.ReleaseCarrierThread();
        c.shutdown();
        return {TransferStatus::LocalFileError, 0};
    }
    rec.DoneBytes.store(file.Size());
    // The data must start where our file ends (the same rule RequestFile
    // announced); a push from elsewhere would put bytes at the wrong place
    // of a resumed copy. Refused without an answer.
    if (Header::IntValue(blockM, "StartPosition") != file.Size()) {
        c.shutdown();
        return finishReception(rec, file, {TransferStatus::Mismatch, file.Size()});
    }
    HeaderBlock n = blockM;
    n.insert(0, "Accept=True");
    if (!Transport::WriteHeader(c, n)) {
        c.shutdown();
        return finishReception(rec, file, {TransferStatus::WriteFailed, file.Size()});
    }
    return finishReception(rec, file, receiveData(c, token, rec, file, *attr, chunkSize));
}

} // namespace corvid

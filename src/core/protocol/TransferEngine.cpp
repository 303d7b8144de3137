#include "core/protocol/TransferEngine.h"

#include "core/base/UniqueFd.h"

#include "core/protocol/Commands.h"
#include "core/protocol/CopyLoop.h"
#include "core/protocol/FileAttributes.h"
#include "core/protocol/FileDigest.h"
#include "core/protocol/LocalFile.h"
#include "core/protocol/LocalFileChooser.h"
#include "core/protocol/ProtocolLevel.h"
#include "core/protocol/RelativePath.h"
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

// The name a transfer goes by on the wire: the row's, a relative path at
// protocol 2.
QByteArray wireName(const TCRFileRec& rec)
{
    return rec.Entry.isEmpty() ? wireName(rec.LocalPath) : SjisCodec::encode(rec.Entry);
}

bool extended(const TCRFileRec& rec)
{
    return ProtocolLevel::Extended(rec.Protocol);
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
    if (file.size() > ProtocolLevel::MaxFileSize(rec.Protocol) || rec.StartPosition < 0
        || rec.StartPosition > file.size() || (!extended(rec) && rec.Entry.contains(u'/')))
        return TransferStatus::BadRequest;
    if (!rec.MayContinue())
        return TransferStatus::NotRunnable;
    return TransferStatus::Completed;
}

// Data, the receiver's Result, and block P: the shared tail of both sends.
// At protocol 2 the digest of the whole file follows the data (the part
// before the start is read first), and a send that ends early only closes:
// no block of ours may ever stand where the receiver expects data.
TransferOutcome sendData(TcpConnection& c, const QByteArray& token, TCRFileRec& rec, const SourceFile& file,
                         qint64 chunkSize)
{
    qint64 position = rec.StartPosition;
    std::optional<FileDigest> digest;
    TransferStatus status = TransferStatus::Completed;
    if (extended(rec)) {
        digest.emplace();
        if (!digest->UpdateFromFile(file.fd(), 0, rec.StartPosition))
            status = TransferStatus::FileReadError;
        rec.Digest = &*digest;
    }
    if (status == TransferStatus::Completed)
        status = CopyLoop::Send(c, rec, file.fd(), file.size(), chunkSize, position);
    rec.Digest = nullptr;
    if (digest && status != TransferStatus::Completed) {
        c.shutdown();
        return {status, position};
    }
    if (digest && !Transport::WriteHeader(c, TransferEngine::MakeDigestBlock(token, digest->Text())))
        status = TransferStatus::WriteFailed;
    else if (status == TransferStatus::Completed && position == file.size() && !Commands::ReadResult(c))
        status = TransferStatus::NotConfirmed;
    HeaderBlock p;
    Header::MakeDisconnectHeader(p, token);
    Transport::WriteHeader(c, p);
    c.shutdown();
    return {status, position};
}

// Reads the sender's digest block and compares it with ours.
bool digestMatches(TcpConnection& c, const FileDigest& ours)
{
    HeaderBlock b;
    if (Commands::ReadCommand(c, b, Transport::kAnswerTimeoutMs) != CmdOther
        || !Header::EqualsIgnoreCase(Header::Value(b, "Command"), "Digest"))
        return false;
    return Header::Value(b, "Digest") == ours.Text();
}

// What the two receptions share once the answer checked out: the copy loop,
// the sender's attributes, the Result and the closing block.
TransferOutcome receiveData(TcpConnection& c, const QByteArray& token, TCRFileRec& rec, LocalFile& file,
                            quint32 finishedWord, qint64 chunkSize)
{
    const qint64 expected = rec.ExpectedSize;
    std::optional<FileDigest> digest;
    TransferStatus status = TransferStatus::Completed;
    if (extended(rec)) {
        // The resumed part counts as much as the new bytes.
        digest.emplace();
        if (!digest->UpdateFromFile(file.Fd(), 0, file.Size()))
            status = TransferStatus::FileReadError;
        rec.Digest = &*digest;
    }
    if (status == TransferStatus::Completed)
        status = CopyLoop::Receive(c, rec, file, expected, chunkSize);
    rec.Digest = nullptr;
    bool complete = status == TransferStatus::Completed && file.Size() == expected;
    if (!digest)
        complete = file.Size() == expected;  // protocol 1: the size is all there is to judge
    if (complete && digest && !digestMatches(c, *digest)) {
        // Never shown as finished, and never resumed: the next try starts
        // from the first byte.
        complete = false;
        status = TransferStatus::DigestMismatch;
        file.TruncateTo(0);
    }
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
    if (rec.ExpectedSize <= 0 || rec.ExpectedSize > ProtocolLevel::MaxFileSize(rec.Protocol))
        return false;
    const LocalFileChooser::Target t = LocalFileChooser::TargetOf(rec);
    return LocalFileChooser::IsValid(t) && rec.LocalPath == LocalFileChooser::PathOf(t);
}

// The local file of a reception; why not, as the reception's status.
TransferStatus chooseFile(const TCRFileRec& rec, LocalFile& file)
{
    switch (LocalFileChooser::Choose(LocalFileChooser::TargetOf(rec), file)) {
    case LocalFileChooser::Choice::Chosen: return TransferStatus::Completed;
    case LocalFileChooser::Choice::FolderBlocked: return TransferStatus::PathBlocked;
    default: return TransferStatus::LocalFileError;
    }
}

std::optional<qint64> sizeField(const HeaderBlock& b, const char* key, const TCRFileRec& rec)
{
    return Header::SizeValue(b, key, rec.Protocol);
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
    if (const TransferStatus chosen = chooseFile(rec, file); chosen != TransferStatus::Completed) {
        rec.ReleaseCarrierThread();
        return {chosen, 0};
    }
    rec.DoneBytes.store(file.Size());
    const QByteArray name = wireName(rec);

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
        && (Header::Value(answer, "FileName") != name || sizeField(answer, "ContentLength", rec) != rec.ExpectedSize
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
    b.insert(2, field("FileName", wireName(rec)));
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

bool TransferEngine::EncodeFileRequest(const QByteArray& token, const FileRequest& r, QByteArray& wire)
{
    LocalFileChooser::Target t;
    t.folder = r.folder;
    t.entry = r.entry;
    t.expected = r.size;
    t.nested = ProtocolLevel::Extended(r.protocol);
    t.listedTime = t.nested ? r.time : FileAttributes::kNoTime;
    if (r.size > ProtocolLevel::MaxFileSize(r.protocol) || !LocalFileChooser::IsValid(t))
        return false;
    const qint64 offset = LocalFileChooser::ResumeOffset(t);
    return Transport::EncodeHeader(MakeFileRequest(token, SjisCodec::encode(r.entry), r.size, offset), wire);
}

HeaderBlock TransferEngine::MakeDigestBlock(const QByteArray& token, const QByteArray& digest)
{
    return {QByteArrayLiteral("Command=Digest"), field("UserAgent", token), field("Digest", digest), QByteArray()};
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
    m.insert(2, field("FileName", wireName(rec)));
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
    if (Header::Value(blockM, "FileName") != wireName(rec)
        || sizeField(blockM, "ContentLength", rec) != rec.ExpectedSize || !attr) {
        c.shutdown();
        return {TransferStatus::Mismatch, 0};
    }
    adoptCarrier(rec);
    LocalFile file;
    if (const TransferStatus chosen = chooseFile(rec, file); chosen != TransferStatus::Completed) {
        rec.ReleaseCarrierThread();
        c.shutdown();
        return {chosen, 0};
    }
    rec.DoneBytes.store(file.Size());
    // The data must start where our file ends (the same rule RequestFile
    // announced); a push from elsewhere would put bytes at the wrong place
    // of a resumed copy. Refused without an answer.
    if (sizeField(blockM, "StartPosition", rec) != file.Size()) {
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

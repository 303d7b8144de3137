#pragma once
#include "core/protocol/HeaderBlock.h"
#include "core/protocol/TCRFileRec.h"
#include "core/protocol/TcpConnection.h"
#include "core/protocol/TransferOutcome.h"

#include <QByteArray>
#include <QString>

namespace corvid {

// One file between the peers: the pull (ReceiveFile against ServeFile) and
// the push (RequestFile, then PushFile against ReceivePushedFile). The
// caller has matched the request against its queue, made the record and
// put it in its transfer list; the engine moves the bytes and says how it
// ended. The copy operations close (shut down) the transfer connection
// whenever they do not end in the normal way, and the sending side always
// does at its end.
class TransferEngine {
public:
    // Client side, pull: asks for the file from the size of the local
    // partial copy on and receives it into rec.LocalPath (or a fresh name).
    static TransferOutcome ReceiveFile(TcpConnection& c, const QByteArray& token, TCRFileRec& rec,
                                       qint64 chunkSize);
    // Server side, answer to a pull (block J already read): K and the data,
    // or L when the entry cannot be served.
    static TransferOutcome ServeFile(TcpConnection& c, const QByteArray& token, TCRFileRec& rec,
                                     qint64 chunkSize);
    // Server side, on the session connection: asks the peer to push the file.
    // True when block J was written.
    static bool RequestFile(TcpConnection& c, const QByteArray& token, const QString& localPath,
                            qint64 expectedSize);
    // The wire bytes of that request (block J with the resume offset of the
    // local partial copy), for a writer that is not on this thread. False
    // when the block cannot be encoded.
    static bool EncodeFileRequest(const QByteArray& token, const QString& localPath, qint64 expectedSize,
                                  QByteArray& wire);
    // What a request to push names: the row as the receiving side keeps it.
    // At protocol 2 the entry may be a relative path, the size 64-bit, and
    // the listed time decides whether a partial copy may be resumed.
    struct FileRequest {
        QString folder;     // the row's receive folder, ending in "/"
        QString entry;      // the row's name
        qint64 size = -1;   // the row's size
        qint64 time = -1;   // the listed modification time, -1 none
        int protocol = 1;
    };
    static bool EncodeFileRequest(const QByteArray& token, const FileRequest& request, QByteArray& wire);

    // Client side, answer to a push request: M, then the data. Sends nothing
    // when the entry cannot be sent.
    static TransferOutcome PushFile(TcpConnection& c, const QByteArray& token, TCRFileRec& rec,
                                    qint64 chunkSize);
    // Server side, a pushed file (block M already read into blockM).
    static TransferOutcome ReceivePushedFile(TcpConnection& c, const QByteArray& token, TCRFileRec& rec,
                                             const HeaderBlock& blockM, qint64 chunkSize);

    // Block J for a file name (wire bytes), expected size and start offset.
    static HeaderBlock MakeFileRequest(const QByteArray& token, const QByteArray& fileName, qint64 size,
                                       qint64 start);
    // The largest size a size field can carry at protocol 1.
    static constexpr qint64 kMaxFileSize = 0x7FFFFFFF;
    // The block after a file's data at protocol 2: Command=Digest and the
    // sender's digest of the whole file.
    static HeaderBlock MakeDigestBlock(const QByteArray& token, const QByteArray& digest);
};

} // namespace corvid

#pragma once
// A receive folder and a send folder with one queue each, both start
// toggles pressed, and helpers to run one conversation between two peers of
// ours over loopback.
#include "TransferTestSupport.h"

#include "core/protocol/Commands.h"
#include "core/protocol/CopyLoop.h"
#include "core/protocol/TransferEngine.h"
#include "core/protocol/Transport.h"
#include "core/settings/Conversions.h"
#include "core/transfer/TransferQueue.h"

#include <gtest/gtest.h>

#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace corvid::test {

// Records what the copy loop reports, and can act after a given chunk.
class Trace : public CopyObserver {
public:
    std::vector<qint64> chunks;
    std::vector<qint64> pieces;
    std::vector<qint64> doneAfterPiece;
    std::function<void(int chunkNo)> afterChunk;

    void OnChunk(qint64 bytes) override
    {
        chunks.push_back(bytes);
        if (afterChunk)
            afterChunk(int(chunks.size()));
    }
    void OnPiece(qint64 bytes, qint64 doneBytes) override
    {
        pieces.push_back(bytes);
        doneAfterPiece.push_back(doneBytes);
    }
};

class EngineTest : public ::testing::Test {
protected:
    QTemporaryDir recvDir;
    QTemporaryDir sendDir;
    TransferQueue recvQueue{QueueKind::Receive};
    TransferQueue sendQueue{QueueKind::Send};
    Loopback lo;

    void SetUp() override
    {
        ASSERT_TRUE(recvDir.isValid());
        ASSERT_TRUE(sendDir.isValid());
        ASSERT_TRUE(lo.open());
        recvQueue.RunButton()->SetPressed(true);
        sendQueue.RunButton()->SetPressed(true);
    }

    QString inPath(const QString& name) const { return recvDir.path() + "/" + name; }
    QString outPath(const QString& name) const { return sendDir.path() + "/" + name; }

    // A receive row of that name and size, Transferring, and its record.
    std::shared_ptr<TCRFileRec> receiving(const QString& name, qint64 size)
    {
        const RowRef row = recvQueue.Append(name, Conversions::FormatThousands(size), recvDir.path() + "/",
                                            RowState::Transferring);
        return recvQueue.MakeRecord(row);
    }
    // A send row for a file of the send folder, Transferring, and its record.
    std::shared_ptr<TCRFileRec> sending(const QString& name, qint64 start = 0)
    {
        const qint64 size = QFileInfo(outPath(name)).size();
        const RowRef row = sendQueue.Append(name, Conversions::FormatThousands(size), sendDir.path() + "/",
                                            RowState::Transferring);
        auto rec = sendQueue.MakeRecord(row);
        rec->StartPosition = start;
        rec->DoneBytes = start;
        return rec;
    }

    struct Pair {
        TransferOutcome client;
        TransferOutcome server;
    };

    // Pull: our client asks, our server reads J and serves the file.
    Pair pull(TCRFileRec& in, TCRFileRec& out, qint64 clientChunk = 65536, qint64 serverChunk = 65536)
    {
        return pullOn(lo, in, out, clientChunk, serverChunk);
    }
    Pair pullOn(Loopback& link, TCRFileRec& in, TCRFileRec& out, qint64 clientChunk = 65536,
                qint64 serverChunk = 65536)
    {
        Pair p;
        std::thread server([&] {
            HeaderBlock b;
            if (Commands::ReadCommand(link.server, b, 3000) != CmdRecv || Header::GetContentType(b) != CtFile)
                return;
            out.StartPosition = Header::IntValue(b, "StartPosition").value_or(-1);
            out.DoneBytes = out.StartPosition;
            p.server = TransferEngine::ServeFile(link.server, kToken, out, serverChunk);
        });
        p.client = TransferEngine::ReceiveFile(link.client, kToken, in, clientChunk);
        server.join();
        return p;
    }

    // Push: our client pushes, our server reads M and receives it.
    Pair push(TCRFileRec& out, TCRFileRec& in, qint64 chunk = 65536)
    {
        Pair p;
        std::thread server([&] {
            HeaderBlock b;
            if (Commands::ReadCommand(lo.server, b, 3000) != CmdSend || Header::GetContentType(b) != CtFile)
                return;
            p.server = TransferEngine::ReceivePushedFile(lo.server, kToken, in, b, chunk);
        });
        p.client = TransferEngine::PushFile(lo.client, kToken, out, chunk);
        server.join();
        return p;
    }
};

} // namespace corvid::test

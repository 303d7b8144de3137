#pragma once
// The listening side of the dispatch tests: a program instance with its
// transfer side, a partner that shook hands with it, and the peer's side of
// a conversation run on a thread of its own.
#include "TransferTestSupport.h"
#include "session/SessionSide.h"

#include "core/protocol/ProtocolLevel.h"
#include "core/protocol/TransferResultCode.h"
#include "core/settings/AppSettings.h"
#include "core/settings/Conversions.h"
#include "core/transfer/ITransferEventObserver.h"
#include "core/transfer/SessionControllerLink.h"
#include "core/transfer/TransferCenter.h"
#include "core/transfer/TransferDispatch.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTest>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <future>
#include <memory>

namespace corvid::test {

constexpr int kListeningWaitMs = 5000;

// A listening program instance with its transfer side, and a partner that
// shook hands with it from 127.0.0.1. It observes what the scheduler
// listens to: the end of each reception.
struct Listening : ITransferEventObserver {
    QTemporaryDir recvDir;
    QTemporaryDir sendDir;
    ServerSide a;
    SessionControllerLink link{a.ctl};
    AppSettings settings;
    std::unique_ptr<TransferCenter> center;
    std::unique_ptr<TransferDispatch> dispatch;
    Side partner{QStringLiteral("Ben")};
    int receptionsEnded = 0;

    void transferEvent(int code, const QString&) override
    {
        if (code == RcReceived || code == RcReceiveFailed)
            ++receptionsEnded;
    }

    // By default the partner plays an original peer: the raw conversations
    // below are an original peer's.
    explicit Listening(int partnerProtocol = ProtocolLevel::kOriginal)
    {
        partner.ctl.setOwnProtocol(partnerProtocol);
        settings.RecvDir = recvDir.path() + "/";
        settings.publish();
        center = std::make_unique<TransferCenter>(settings, a.log, a.ui);
        center->setSession(&link);
        dispatch = std::make_unique<TransferDispatch>(*center);
        center->addEventObserver(this);
        a.ctl.setDispatch(dispatch.get());
        EXPECT_EQ(partner.connect(QStringLiteral("127.0.0.1"), a.port()), SessionController::ConnectOutcome::Connected);
        QTRY_VERIFY_WITH_TIMEOUT(a.ctl.hasServerSession(), kListeningWaitMs);
    }
    ~Listening()
    {
        a.ui.beginShutdown();
        center->Shutdown();
        a.ctl.shutdown();
    }
    // A file in the send queue.
    RowRef offer(const QString& name, const QByteArray& bytes)
    {
        writeFile(sendDir.filePath(name), bytes);
        return center->sendQueue().Append(name, Conversions::FormatThousands(bytes.size()), sendDir.path() + "/",
                                          RowState::Waiting);
    }
    // A transfer connection from `source` (127.0.0.1 is the partner).
    TcpConnection open(const char* source = "127.0.0.1")
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        ::inet_pton(AF_INET, source, &from.sin_addr);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(a.ctl.listeningPort());
        ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        return TcpConnection(fd);
    }
};

// Runs the peer's side of a conversation on a thread of its own while the
// UI thread (this one) serves the listening side's row steps.
template <typename F> auto asPeer(F fn)
{
    auto f = std::async(std::launch::async, std::move(fn));
    while (f.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
        QCoreApplication::processEvents();  // every conversation has its own time limits
    return f.get();
}

} // namespace corvid::test

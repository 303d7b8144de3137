// A peer that is not speaking the protocol cannot make a block reader keep
// memory or time without bound.
#include "LoopbackPeer.h"
#include "core/protocol/ListLineSplitter.h"
#include "core/protocol/Transport.h"

#include <QElapsedTimer>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace corvid;
using namespace corvid::test;

namespace {

// Sends the same short line again and again until the reader side closes.
qint64 floodLines(RawPeer& peer, const QByteArray& line, std::atomic<bool>& stop)
{
    const QByteArray chunk = line.repeated(4096);
    qint64 sent = 0;
    while (!stop && peer.send(chunk))
        sent += chunk.size();
    return sent;
}

} // namespace

TEST(BoundedBlock, EndlessBlockEndsAtTheLimitAndShutsTheConnection)
{
    // One line a few bytes long never followed by the empty line, and one
    // made of long lines: the line count and the byte count each end it.
    for (const QByteArray& line : {QByteArray("a\r\n"), QByteArray(1000, 'k') + "=v\r\n"}) {
        RawPair p = makeRawPair();
        std::atomic<bool> stop{false};
        std::thread flood([&] { floodLines(*p.peer, line, stop); });
        HeaderBlock b;
        EXPECT_FALSE(Transport::ReadHeader(p.conn, b, 3000));
        EXPECT_LE(b.size(), Transport::kMaxBlockLines);
        qint64 kept = 0;
        for (const QByteArray& l : b)
            kept += l.size();
        EXPECT_LE(kept, Transport::kMaxBlockBytes);
        EXPECT_FALSE(p.conn.isOpen());
        // Closing our end makes the flood's next send fail; only then is the
        // peer's socket free to close.
        stop = true;
        p.conn.close();
        flood.join();
        p.peer->close();
    }
}

TEST(BoundedBlock, TrickleOfShortLinesEndsWithinTheBlockTimeLimit)
{
    RawPair p = makeRawPair();
    std::atomic<bool> stop{false};
    // A line every 400 ms never lets the 500 ms pause end the block.
    std::thread trickle([&] {
        while (!stop && p.peer->send("a=b\r\n"))
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
    });
    HeaderBlock b;
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(Transport::ReadHeader(p.conn, b, 3000));
    // The limit fired: not before it, and not later than twice its length past it.
    EXPECT_LT(t.elapsed(), 3 * Transport::kBlockReadLimitMs);
    EXPECT_GE(t.elapsed(), Transport::kBlockReadLimitMs - 500);
    EXPECT_FALSE(p.conn.isOpen());
    stop = true;
    trickle.join();
}

TEST(BoundedBlock, ListBodyOfLineBreaksHoldsNoLines)
{
    using L = QList<QByteArray>;
    const auto split = [](const QByteArray& body) {
        ListLineSplitter s(1000);
        s.feed(body);
        s.finish();
        return s.takeLines();
    };
    EXPECT_EQ(split(QByteArray(1 << 20, '\n')), L{});
    EXPECT_EQ(split(" \r\n\t\r\n\r"), L{});
    // Rows keep their bytes, blanks inside them included, and every break kind ends one.
    EXPECT_EQ(split("\n\n\"a b\",\"1\",\r\n\r\n\"c\",\"2\",\r\"d\",\"3\","),
              (L{"\"a b\",\"1\",", "\"c\",\"2\",", "\"d\",\"3\","}));
}

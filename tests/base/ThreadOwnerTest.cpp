#include "core/base/ThreadOwner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <condition_variable>
#include <future>
#include <mutex>

using namespace corvid;

namespace {

// A job that runs until it is released, the way a blocked read waits until
// its socket is shut.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    void wait()
    {
        std::unique_lock l(m);
        cv.wait(l, [this] { return open; });
    }
    void release()
    {
        {
            std::lock_guard l(m);
            open = true;
        }
        cv.notify_all();
    }
};

} // namespace

TEST(ThreadOwner, StopAllWakesEveryJobJoinsItAndRefusesNewWork)
{
    Gate a, b, queued;
    std::atomic<int> ended{0};
    std::atomic<bool> laterRan{false};
    std::promise<void> inHand;
    auto owner = std::make_unique<ThreadOwner>();
    const std::weak_ptr<void> token = owner->token();
    ASSERT_TRUE(owner->start([&] { a.wait(); ++ended; }, [&] { a.release(); }));
    ASSERT_TRUE(owner->start([&] { b.wait(); ++ended; }, [&] { b.release(); }));
    ASSERT_TRUE(owner->queue([&] { inHand.set_value(); queued.wait(); ++ended; }, [&] { queued.release(); }));
    ASSERT_TRUE(owner->queue([&] { laterRan = true; }));
    inHand.get_future().wait();
    EXPECT_EQ(owner->running(), 4);
    EXPECT_FALSE(token.expired());

    owner->stopAll();
    EXPECT_EQ(ended, 3);          // every running job was woken and joined
    EXPECT_FALSE(laterRan);       // a queued job that had not begun is dropped
    EXPECT_TRUE(token.expired());
    EXPECT_EQ(owner->running(), 0);
    EXPECT_FALSE(owner->start([&] { laterRan = true; }));
    EXPECT_FALSE(owner->queue([&] { laterRan = true; }));
    owner.reset();
    EXPECT_FALSE(laterRan);
}

TEST(ThreadOwner, EndedThreadsAreJoinedOnTheNextStartAndQueuedJobsRunInOrder)
{
    ThreadOwner owner;
    std::promise<void> first;
    ASSERT_TRUE(owner.start([&] { first.set_value(); }));
    first.get_future().wait();
    // The first job has returned; its thread is joined (and forgotten) by reap.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (owner.running() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    owner.reap();
    EXPECT_EQ(owner.running(), 0);

    std::vector<int> order;  // queue thread only, read after stopAll joined it
    std::promise<void> last;
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(owner.queue([&, i] {
            order.push_back(i);
            if (i == 4)
                last.set_value();
        }));
    last.get_future().wait();
    owner.stopAll();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

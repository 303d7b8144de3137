#include "core/session/UiHandOver.h"

#include <QCoreApplication>
#include <QTest>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace corvid {
namespace {

TEST(UiHandOver, StepsRunOnTheUiThreadInOrderAndWaitReturnsAfterTheStep)
{
    UiHandOver h;
    QThread* ui = QThread::currentThread();
    std::vector<int> order;  // touched only on the UI thread
    std::atomic<bool> waited{false};
    bool sawUiThread = true;
    std::thread worker([&] {
        h.post([&] { order.push_back(1); sawUiThread = sawUiThread && QThread::currentThread() == ui; });
        const bool done = h.runAndWait([&] { order.push_back(2); sawUiThread = sawUiThread && QThread::currentThread() == ui; });
        // The step has run by the time the wait returns.
        waited = done && order.size() == 2;
    });
    QTRY_VERIFY(waited.load());
    worker.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_TRUE(sawUiThread);
}

TEST(UiHandOver, OnTheUiThreadRunsInlineWithoutDeadlock)
{
    UiHandOver h;
    int ran = 0;
    EXPECT_TRUE(h.runAndWait([&] { ++ran; }));
    EXPECT_EQ(ran, 1);
}

TEST(UiHandOver, ShutdownReleasesAWaiterWithNotDoneAndTheStepNeverRuns)
{
    UiHandOver h;
    std::atomic<int> result{-1};
    std::atomic<bool> ran{false};
    // The UI thread does not spin its loop here, so the step cannot run
    // before shutdown begins.
    std::thread worker([&] { result = h.runAndWait([&] { ran = true; }) ? 1 : 0; });
    while (result == -1) {
        h.beginShutdown();
        std::this_thread::yield();
    }
    worker.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(result.load(), 0);
    EXPECT_FALSE(ran.load());
    // Later hand-overs are refused at once.
    EXPECT_FALSE(h.runAndWait([&] { ran = true; }));
    h.post([&] { ran = true; });
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran.load());
}

} // namespace
} // namespace corvid

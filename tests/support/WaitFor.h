#pragma once
#include <QDeadlineTimer>
#include <QTest>

namespace corvid::test {

// Runs the event loop until `done()` holds or `timeoutMs` have passed, and
// says whether it held. Use with ASSERT_TRUE/EXPECT_TRUE: a failing QTRY_*
// macro only returns from the test body, which GoogleTest counts as a pass.
template <typename Done> bool waitFor(Done done, int timeoutMs = 5000)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(10);
    }
    return true;
}

} // namespace corvid::test

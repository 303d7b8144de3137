// Runs GoogleTest inside a Qt application object so that tests can use event
// loops and queued signals; the widget tests get a (headless) QApplication.
#include <gtest/gtest.h>
#include <QTest>
#ifdef CORVID_TEST_WIDGETS
#include <QApplication>
#include <QThreadPool>
using TestApp = QApplication;
#else
#include <QCoreApplication>
using TestApp = QCoreApplication;
#endif

namespace {

// A failing QTRY_*/QVERIFY/QCOMPARE only returns from the test body, which
// GoogleTest would count as a pass; this makes it fail the test. QtTest
// keeps its failed mark for the rest of the process, so later tests of the
// same run are checked only by GoogleTest's own assertions (CTest runs each
// test in a process of its own).
class QtTestFailures : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { failedBefore_ = QTest::currentTestFailed(); }
    void OnTestEnd(const ::testing::TestInfo&) override
    {
        if (!failedBefore_ && QTest::currentTestFailed())
            ADD_FAILURE() << "a QtTest check (QTRY_*, QVERIFY, QCOMPARE) failed in this test";
    }
    bool failedBefore_ = false;
};

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TestApp app(argc, argv);
#ifdef CORVID_TEST_WIDGETS
    // Qt's image work fans out over its own pool; one pool thread keeps the
    // thread checker from reporting the uninstrumented pool's own traffic
    // between its workers, so what it reports is ours.
    QThreadPool::globalInstance()->setMaxThreadCount(1);
#endif
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new QtTestFailures);
    return RUN_ALL_TESTS();
}

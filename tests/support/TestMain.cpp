// Runs GoogleTest inside a Qt application object so that tests can use event
// loops and queued signals; the widget tests get a (headless) QApplication.
#include <gtest/gtest.h>
#ifdef CORVID_TEST_WIDGETS
#include <QApplication>
#include <QThreadPool>
using TestApp = QApplication;
#else
#include <QCoreApplication>
using TestApp = QCoreApplication;
#endif

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
    return RUN_ALL_TESTS();
}

#include "BuildConfig.h"
#include "core/settings/AppSettings.h"
#include "gui/session/TForm1.h"

#include <QApplication>
#include <csignal>

int main(int argc, char** argv)
{
    // A peer that closes mid-write must not kill the process.
    std::signal(SIGPIPE, SIG_IGN);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvid"));
    QApplication::setApplicationVersion(QStringLiteral(CORVID_VERSION_STRING));

    int rc = 0;
    {
        // The window goes first at exit: it joins its session threads before
        // the application object is destroyed.
        corvid::TForm1 form1(corvid::AppSettings::defaultFilePath());
        form1.show();
        rc = QApplication::exec();
    }
    return rc;
}

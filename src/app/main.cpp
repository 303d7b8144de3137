#include "BuildConfig.h"
#include "core/settings/SettingsLocation.h"
#include "gui/session/TForm1.h"

#include <QApplication>
#include <csignal>
#include <cstdio>

int main(int argc, char** argv)
{
    // A peer that closes mid-write must not kill the process.
    std::signal(SIGPIPE, SIG_IGN);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Corvid"));
    QApplication::setApplicationVersion(QStringLiteral(CORVID_VERSION_STRING));
    // The menu entry's name, so the desktop matches the window to it.
    QGuiApplication::setDesktopFileName(QStringLiteral(CORVID_APP_ID));

    // Beside the executable for a portable copy, in the user's configuration
    // folder for an installed one.
    const corvid::SettingsLocation where = corvid::SettingsLocation::forThisProgram();
    if (!where.folderError().isEmpty())
        std::fprintf(stderr, "corvid: %s; settings will not be saved\n",
                     qPrintable(where.folderError()));

    int rc = 0;
    {
        // The window goes first at exit: it joins its session threads before
        // the application object is destroyed.
        corvid::TForm1 form1(where.settingsFile());
        form1.show();
        rc = QApplication::exec();
    }
    return rc;
}

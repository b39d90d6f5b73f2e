#include "app/form1.h"
#include "app/translations.h"

#include <QApplication>
#include <csignal>
#include <cstdio>

int main(int argc, char **argv)
{
    // A full disk or a file-size limit must fail the write, not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
    const bool hasDisplay = !qEnvironmentVariableIsEmpty("DISPLAY") ||
                            !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
                            !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    if (!hasDisplay) {
        std::fprintf(stderr, "pixelvane: no display found; run it under a desktop session, or as "
                             "'xvfb-run -a pixelvane' without one.\n");
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pixelvane"));
    QApplication::setDesktopFileName(QStringLiteral("pixelvane"));
    pv::useJapaneseQtTexts(app);
    pv::Form1 window;
    window.show();
    return app.exec();
}

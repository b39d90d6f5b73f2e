// pixelvane-batch: the window's edits on many pictures; see --help.
#include "batch/batchrun.h"

#include <QCoreApplication>
#include <csignal>
#include <cstdio>

int main(int argc, char **argv)
{
    // A full disk or a file-size limit must fail the write, not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pixelvane-batch"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PIXELVANE_VERSION));
    const auto command = pv::batch::parseArguments(QCoreApplication::arguments().mid(1));
    if (!command) {
        std::fprintf(stderr, "pixelvane-batch: %s (see --help)\n", qPrintable(command.reason()));
        return 2;
    }
    if (!command->print.isEmpty()) {
        std::fputs(qPrintable(command->print), stdout);
        return 0;
    }
    return pv::batch::runBatch(command->options);
}

// pixelvane-batch: the window's edits on many pictures; see --help.
#include "batch/batchrun.h"
#include "input/filenames.h"

#include <QCoreApplication>
#include <csignal>
#include <cstdio>

int main(int argc, char **argv)
{
    // A full disk or a file-size limit must fail the write, not kill us;
    // so must a closed pipe.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pixelvane-batch"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PIXELVANE_VERSION));
    // The arguments as the system holds them: a name need not be UTF-8.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << pv::nameFromBytes(argv[i]);
    const auto command = pv::batch::parseArguments(arguments);
    if (!command) {
        std::fprintf(stderr, "pixelvane-batch: %s (see --help)\n", qPrintable(pv::shownName(command.reason())));
        return 2;
    }
    if (!command->print.isEmpty()) {
        std::fputs(qPrintable(command->print), stdout);
        return 0;
    }
    return pv::batch::runBatch(command->options);
}

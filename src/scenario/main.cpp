// pixelvane-scenario [--no-digest] [FILE]: runs the main window offscreen
// from JSON action lines (FILE or standard input) and prints one JSON state
// line per action. --no-digest leaves the image's SHA-256 out.
#include "scenario/runner.h"

#include <QApplication>
#include <QFile>
#include <QJsonDocument>
#include <csignal>
#include <cstdio>

int main(int argc, char **argv)
{
    std::signal(SIGXFSZ, SIG_IGN);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStringList args = QApplication::arguments().mid(1);
    const bool digests = !args.removeAll(QStringLiteral("--no-digest"));
    QFile input;
    if (!args.isEmpty()) {
        input.setFileName(args.first());
        if (!input.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "pixelvane-scenario: cannot read %s\n", qPrintable(args.first()));
            return 2;
        }
    } else if (!input.open(stdin, QIODevice::ReadOnly)) {
        return 2;
    }
    pv::ScenarioRunner runner(digests);
    while (!runner.ended()) {
        QByteArray line = input.readLine();
        if (line.isEmpty())
            break;
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        const QByteArray out = QJsonDocument(runner.step(line)).toJson(QJsonDocument::Compact);
        std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    return 0;
}

// pixelvane-scenario [FILE]: runs the main window offscreen from JSON action
// lines (FILE or standard input) and prints one JSON state line per action.
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
    QFile input;
    if (argc > 1) {
        input.setFileName(QString::fromLocal8Bit(argv[1]));
        if (!input.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "pixelvane-scenario: cannot read %s\n", argv[1]);
            return 2;
        }
    } else if (!input.open(stdin, QIODevice::ReadOnly)) {
        return 2;
    }
    pv::ScenarioRunner runner;
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

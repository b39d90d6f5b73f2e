#pragma once
// pixelvane-batch run as a process, and the window's save to compare it
// with: what the batch command's tests share.
#include "testimages.h"

#include <QBuffer>
#include <QDateTime>
#include <QtEndian>
#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <thread>
#include <unistd.h>
#include <cstdio>
#include <sys/stat.h>

namespace batchtests {

using namespace testimages;

struct Run {
    int status = -1;
    QString err;
};

inline Run batch(const QStringList &arguments, const QString &workDir = QString())
{
    QProcess p;
    if (!workDir.isEmpty())
        p.setWorkingDirectory(workDir);
    p.start(QStringLiteral(PIXELVANE_BATCH), arguments);
    p.waitForFinished(120000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardError())};
}

// The window, driven through the scenario runner: open, the actions, save.
inline QByteArray windowSaves(const QString &input, const QList<QByteArray> &actions, const QString &output)
{
    QByteArray script = QStringLiteral(R"({"do":"answer","open":"%1"})").arg(input).toUtf8() + "\n" +
                        R"({"do":"click","control":"mnuOpen"})" + "\n";
    for (const QByteArray &a : actions)
        script += a + "\n";
    script += QStringLiteral(R"({"do":"answer","save":"%1"})").arg(output).toUtf8() + "\n" +
              R"({"do":"click","control":"mnuSave"})" + "\n";
    QProcess p;
    p.start(QStringLiteral(PIXELVANE_SCENARIO), {QStringLiteral("--no-digest")});
    p.write(script);
    p.closeWriteChannel();
    p.waitForFinished(120000);
    return readFile(output);
}

inline QList<QJsonObject> reportLines(const QString &path)
{
    QList<QJsonObject> lines;
    for (const QByteArray &line : readFile(path).split('\n'))
        if (!line.isEmpty())
            lines << QJsonDocument::fromJson(line).object();
    return lines;
}

inline QStringList filesUnder(const QString &dir)
{
    QStringList out;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(dir).relativeFilePath(it.next());
    out.sort();
    return out;
}

} // namespace batchtests

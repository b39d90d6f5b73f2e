// The scenario runner: actions in, visible state out, as the other tests
// and the benchmark use it.
#include "scenario/runner.h"
#include "testimages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace pv;
using namespace testimages;

class tst_Scenario : public QObject {
    Q_OBJECT
private slots:
    void openTrimCropRestoreTrim();
    void errorsAndUnansweredDialogs();
    void asAProcess();
};

namespace {

QJsonObject run(ScenarioRunner &r, const QByteArray &line) { return r.step(line); }

QString caption(const QJsonObject &o, const char *name) { return o["captions"].toObject()[name].toString(); }

} // namespace

void tst_Scenario::openTrimCropRestoreTrim()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("p.bmp");
    QVERIFY(writeFile(path, bmp(pattern(500, 300), 24)));
    ScenarioRunner r;
    QJsonObject o = run(r, QStringLiteral(R"({"do":"answer","open":"%1"})").arg(path).toUtf8());
    QCOMPARE(o["step"].toInt(), 1);
    o = run(r, R"({"do":"click","control":"mnuOpen"})");
    QCOMPARE(o["dialogs"].toArray().size(), 1);
    QCOMPARE(o["dialogs"][0].toObject()["kind"].toString(), QStringLiteral("open"));
    QCOMPARE(caption(o, "lblPicPath"), path);
    QCOMPARE(o["image"].toObject()["width"].toInt(), 500);
    QCOMPARE(o["preview"].toObject()["width"].toInt(), 400);
    QCOMPARE(o["preview"].toObject()["height"].toInt(), 240);
    const QString loaded = o["image"].toObject()["sha256"].toString();

    o = run(r, R"({"do":"click","control":"cmbDotDel"})");
    QCOMPARE(caption(o, "lblEditYoko"), QStringLiteral("480"));
    QCOMPARE(o["state"].toObject()["intDotDelValue"].toInt(), 10);
    QCOMPARE(o["image"].toObject()["sha256"].toString(), imageDigest([] {
                 Surface s(500, 300, 0);
                 s.setPicture(pattern(500, 300).copy(10, 10, 480, 280));
                 return s;
             }(), 480, 280));

    run(r, R"({"do":"type","field":"txtYoko","text":"200"})");
    run(r, R"({"do":"type","field":"txtTate","text":"100"})");
    o = run(r, R"({"do":"click","control":"cmbCenterDel"})");
    QCOMPARE(o["image"].toObject()["width"].toInt(), 200);
    QCOMPARE(caption(o, "lblShowMode"), QStringLiteral("（原寸表示）"));
    QCOMPARE(o["preview"].toObject()["width"].toInt(), 200);

    o = run(r, R"({"do":"click","control":"cmdStartBack"})");
    QCOMPARE(o["image"].toObject()["sha256"].toString(), loaded);
    QCOMPARE(o["texts"].toObject()["txtYoko"].toString(), QStringLiteral("500"));

    run(r, R"({"do":"check","box":"chkLeft","on":false})");
    run(r, R"({"do":"focus","field":"txtDotDelValue"})");
    o = run(r, R"({"do":"type","field":"txtDotDelValue","text":"5"})");
    QCOMPARE(o["focus"].toString(), QStringLiteral("txtDotDelValue"));
    o = run(r, R"({"do":"click","control":"btnSave"})");
    QCOMPARE(o["dialogs"][0].toObject()["fileName"].toString(), dir.filePath("p.bmp"));
    o = run(r, R"({"do":"click","control":"cmbDotDel"})");
    QCOMPARE(o["image"].toObject()["width"].toInt(), 495);
    QCOMPARE(o["image"].toObject()["height"].toInt(), 290);
    QCOMPARE(o["checks"].toObject()["chkLeft"].toBool(), false);
}

void tst_Scenario::errorsAndUnansweredDialogs()
{
    ScenarioRunner r;
    const QJsonObject start = run(r, R"({"do":"focus","field":"txtYoko"})");
    QCOMPARE(start["selection"].toObject()["length"].toInt(), 1);
    for (const QByteArray &bad : {QByteArray("not json"), QByteArray(R"({"do":"fly"})"),
                                  QByteArray(R"({"do":"type","field":"nope","text":"1"})"),
                                  QByteArray(R"({"do":"click","control":"nothing"})"), QByteArray("[1,2]")}) {
        const QJsonObject o = run(r, bad);
        QVERIFY2(o.contains("error"), bad.constData());
        QCOMPARE(o["texts"], start["texts"]);
    }
    // No answer queued: the dialog is cancelled and still reported.
    QJsonObject o = run(r, R"({"do":"click","control":"btnOpen"})");
    QCOMPARE(o["dialogs"].toArray().size(), 1);
    QVERIFY(!o.contains("error"));
    o = run(r, R"({"do":"click","control":"cmdHenkan"})");
    QCOMPARE(o["messages"][0].toObject()["text"].toString(), texts::loadFirst);
    QCOMPARE(o["messages"][0].toObject()["icon"].toInt(), 16);
    QCOMPARE(o["messages"][0].toObject()["buttons"], QJsonArray{"OK"});
    // Tabs and full-width characters are typed as given.
    o = run(r, QStringLiteral(R"({"do":"type","field":"txtTate","text":"\t１０"})").toUtf8());
    QCOMPARE(o["texts"].toObject()["txtTate"].toString(), QStringLiteral("\t１０"));
    o = run(r, R"({"do":"click","control":"mnuEnd"})");
    QVERIFY(o["ended"].toBool());
}

void tst_Scenario::asAProcess()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("p.bmp");
    QVERIFY(writeFile(path, bmp(pattern(40, 30), 24)));
    const QString shot = dir.filePath("window.png");
    QProcess p;
    p.start(QStringLiteral(PIXELVANE_SCENARIO), {});
    QVERIFY(p.waitForStarted());
    p.write(QStringLiteral("{\"do\":\"answer\",\"open\":\"%1\"}\n{\"do\":\"click\",\"control\":\"mnuOpen\"}\n"
                           "\n{\"do\":\"screenshot\",\"path\":\"%2\"}\n{\"do\":\"click\",\"control\":\"mnuEnd\"}\n"
                           "{\"do\":\"click\",\"control\":\"cmbDotDel\"}\n")
                .arg(path, shot)
                .toUtf8());
    p.closeWriteChannel();
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 0);
    const QList<QByteArray> lines = p.readAllStandardOutput().trimmed().split('\n');
    // The blank line is skipped; nothing runs after the window ended.
    QCOMPARE(lines.size(), 4);
    const QJsonObject opened = QJsonDocument::fromJson(lines[1]).object();
    QCOMPARE(opened["image"].toObject()["width"].toInt(), 40);
    QCOMPARE(QImage(shot).size().width(), 694);
}

QTEST_MAIN(tst_Scenario)
#include "tst_scenario.moc"

// pixelvane-batch as a user runs it: the same pixels as the window, runs
// that go on past refusals, files never lost, interruption, usage errors.
#include "testimages.h"

#include <QBuffer>
#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <sys/stat.h>

using namespace testimages;

namespace {

struct Run {
    int status = -1;
    QString err;
};

Run batch(const QStringList &arguments, const QString &workDir = QString())
{
    QProcess p;
    if (!workDir.isEmpty())
        p.setWorkingDirectory(workDir);
    p.start(QStringLiteral(PIXELVANE_BATCH), arguments);
    p.waitForFinished(120000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardError())};
}

// The window, driven through the scenario runner: open, the actions, save.
QByteArray windowSaves(const QString &input, const QList<QByteArray> &actions, const QString &output)
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

QList<QJsonObject> reportLines(const QString &path)
{
    QList<QJsonObject> lines;
    for (const QByteArray &line : readFile(path).split('\n'))
        if (!line.isEmpty())
            lines << QJsonDocument::fromJson(line).object();
    return lines;
}

QStringList filesUnder(const QString &dir)
{
    QStringList out;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(dir).relativeFilePath(it.next());
    out.sort();
    return out;
}

} // namespace

class tst_Batch : public QObject {
    Q_OBJECT
private slots:
    void samePixelsAsTheWindow_data();
    void samePixelsAsTheWindow();
    void runGoesOnPastRefusals();
    void neverLosesAFile();
    void usageErrorsChangeNothing_data();
    void usageErrorsChangeNothing();
    void linksInTheOutputFolder();
    void cutShortOutputsAreWrittenAgain();
    void hostileInputs_data();
    void hostileInputs();
    void namesAsBytes();
    void outOfMemoryFailsOnePicture();
    void interruptLeavesNothingHalfWritten_data();
    void interruptLeavesNothingHalfWritten();
    void usageErrorsCreateNothing_data();
    void usageErrorsCreateNothing();
    void savesAreTheWindowsSaves();
    void fastIsCloseToExact_data();
    void fastIsCloseToExact();
    void namedBySize();
    void keptMetadataReachesTheFiles();
};

void tst_Batch::samePixelsAsTheWindow_data()
{
    QTest::addColumn<QByteArray>("picture");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("edits");
    QTest::addColumn<QList<QByteArray>>("clicks");
    const QByteArray trim = R"({"do":"click","control":"cmbDotDel"})";
    const QByteArray crop = R"({"do":"click","control":"cmbCenterDel"})";
    const QByteArray shrink = R"({"do":"click","control":"cmdHenkan"})";
    auto type = [](const char *field, const char *text) {
        return QStringLiteral(R"({"do":"type","field":"%1","text":"%2"})").arg(field, text).toUtf8();
    };
    auto box = [](const char *name, bool on) {
        return QStringLiteral(R"({"do":"check","box":"%1","on":%2})").arg(name, on ? "true" : "false").toUtf8();
    };
    QTest::newRow("odd size, trim") << bmp(pattern(101, 77), 24) << "odd.bmp" << QStringList{"--trim", "3"}
                                    << QList<QByteArray>{type("txtDotDelValue", "3"), trim};
    QImage quadrant(64, 48, QImage::Format_RGB32);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            quadrant.setPixel(x, y, qRgb(x * 4, y * 5, (x + y) * 2));
    QTest::newRow("EXIF-rotated JPEG, crop") << withExifOrientation(jpeg(quadrant, 90), 6) << "turned.jpg"
                                             << QStringList{"--crop", "31x41"}
                                             << QList<QByteArray>{type("txtYoko", "31"), type("txtTate", "41"), crop};
    QTest::newRow("GIF with transparency, shrink")
        << gif(pattern(60, 40).copy(0, 0, 60, 40).convertToFormat(QImage::Format_RGB32), 0) << "clear.gif"
        << QStringList{"--shrink", "25x20"} << QList<QByteArray>{type("txtYoko", "25"), type("txtTate", "20"), shrink};
    QTest::newRow("two shrinks, the margin written back")
        << bmp(photo(640, 480), 24) << "two.bmp" << QStringList{"--shrink", "320x200", "--shrink", "100x50"}
        << QList<QByteArray>{type("txtYoko", "320"), type("txtTate", "200"), shrink, type("txtYoko", "100"),
                             type("txtTate", "50"), shrink};
    QTest::newRow("part of a turned 4:1:1 JPEG: trim, crop, shrink")
        << withExifOrientation(jpegLayout(hardEdges(203, 151), 4, 1, false, 1), 7) << "part.jpg"
        << QStringList{"--edges", "top,left", "--trim", "7", "--crop", "61x90", "--shrink", "30x40"}
        << QList<QByteArray>{box("chkDown", false), box("chkRight", false), type("txtDotDelValue", "7"), trim,
                             type("txtYoko", "61"), type("txtTate", "90"), crop, type("txtYoko", "30"),
                             type("txtTate", "40"), shrink};
    HeifOptions turned10;
    turned10.orientation = 6;
    turned10.bits = 10;
    QTest::newRow("10-bit rotated HEIC, shrink")
        << heif(photo(96, 64), turned10) << "phone.HEIC" << QStringList{"--shrink", "30x40"}
        << QList<QByteArray>{type("txtYoko", "30"), type("txtTate", "40"), shrink};
    HeifOptions avif;
    avif.avif = true;
    QTest::newRow("AVIF, crop") << heif(photo(70, 50), avif) << "web.avif" << QStringList{"--crop", "41x33"}
                                << QList<QByteArray>{type("txtYoko", "41"), type("txtTate", "33"), crop};
    QTest::newRow("animated JPEG XL, shrink")
        << jxl(photo(90, 60), {}, 2) << "anim.jxl" << QStringList{"--shrink", "45x40"}
        << QList<QByteArray>{type("txtYoko", "45"), type("txtTate", "40"), shrink};
    QTest::newRow("edge subsets for trim and shrink")
        << bmp(pattern(203, 151), 24) << "edges.bmp"
        << QStringList{"--edges", "left,bottom", "--trim", "5", "--edges", "top,right", "--margin", "3", "--shrink", "50x40"}
        << QList<QByteArray>{box("chkUp", false), box("chkRight", false), type("txtDotDelValue", "5"), trim,
                             box("chkUp", true), box("chkRight", true), box("chkDown", false), box("chkLeft", false),
                             type("txtReSizeValue", "3"), type("txtYoko", "50"), type("txtTate", "40"), shrink};
}

void tst_Batch::samePixelsAsTheWindow()
{
    QFETCH(QByteArray, picture);
    QFETCH(QString, name);
    QFETCH(QStringList, edits);
    QFETCH(QList<QByteArray>, clicks);
    QTemporaryDir dir;
    const QString input = dir.filePath(name);
    QVERIFY(writeFile(input, picture));
    const Run r = batch(edits + QStringList{"-q", "-o", dir.filePath("out"), input});
    QVERIFY2(r.status == 0, qPrintable(r.err));
    const QString stem = QFileInfo(name).completeBaseName();
    const QByteArray fromBatch = readFile(dir.filePath("out/" + stem + ".bmp"));
    const QByteArray fromWindow = windowSaves(input, clicks, dir.filePath("window.bmp"));
    QVERIFY(!fromWindow.isEmpty());
    QCOMPARE(fromBatch.size(), fromWindow.size());
    QVERIFY2(fromBatch == fromWindow, qPrintable(firstDifference(QImage::fromData(fromBatch), QImage::fromData(fromWindow))));
}

void tst_Batch::runGoesOnPastRefusals()
{
    QTemporaryDir dir;
    QDir(dir.path()).mkdir("in");
    QVERIFY(writeFile(dir.filePath("in/a-good.bmp"), bmp(pattern(80, 60), 24)));
    QVERIFY(writeFile(dir.filePath("in/b-broken.jpg"), jpeg(photo(80, 60)).left(200)));
    QVERIFY(writeFile(dir.filePath("in/c-small.png"), [] {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        pattern(30, 20).save(&buffer, "PNG");
        return png;
    }()));
    QVERIFY(writeFile(dir.filePath("in/notes.txt"), "not a picture, not taken"));
    QVERIFY(writeFile(dir.filePath("in/d-phone.HEIC"), heif(photo(64, 48))));
    // Read without end, a FIFO named as an input would hang the run:
    // refused at once.
    QVERIFY(mkfifo(qPrintable(dir.filePath("pipe.jpg")), 0600) == 0);
    const Run r = batch({"--crop", "40x30", "--report", dir.filePath("report.jsonl"), "-o", dir.filePath("out"),
                         dir.filePath("in"), dir.filePath("pipe.jpg")});
    QCOMPARE(r.status, 1);
    const QList<QJsonObject> lines = reportLines(dir.filePath("report.jsonl"));
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines[0]["status"].toString(), QStringLiteral("written"));
    QCOMPARE(lines[0]["width"].toInt(), 40);
    QCOMPARE(lines[0]["height"].toInt(), 30);
    QCOMPARE(lines[0]["reason"].toString(), QString());
    QCOMPARE(lines[1]["status"].toString(), QStringLiteral("refused"));
    QVERIFY(lines[1]["reason"].toString().startsWith(QStringLiteral("このファイルは読み込めません。")));
    QCOMPARE(lines[2]["status"].toString(), QStringLiteral("refused"));
    QCOMPARE(lines[2]["reason"].toString(), QStringLiteral("--crop 40x30: 縮小しかできません・・・。m(_ _)m"));
    QCOMPARE(lines[3]["status"].toString(), QStringLiteral("written"));
    QCOMPARE(lines[4]["status"].toString(), QStringLiteral("refused"));
    QVERIFY(r.err.contains(QStringLiteral("c-small.png")));
    QCOMPARE(filesUnder(dir.filePath("out")), (QStringList{"a-good.bmp", "d-phone.bmp"}));
}

void tst_Batch::neverLosesAFile()
{
    QTemporaryDir dir;
    const QByteArray original = bmp(pattern(50, 40), 24);
    const QString input = dir.filePath("pic.bmp");
    QVERIFY(writeFile(input, original));
    // The output would be the input itself: refused, even with --overwrite.
    Run r = batch({"--trim", "2", "--overwrite", "-o", dir.path(), input});
    QCOMPARE(r.status, 1);
    QCOMPARE(readFile(input), original);
    // An existing output is skipped unless --overwrite.
    QVERIFY(QDir(dir.path()).mkdir("out"));
    QVERIFY(writeFile(dir.filePath("out/pic.bmp"), "mine"));
    r = batch({"--trim", "2", "-o", dir.filePath("out"), input});
    QCOMPARE(r.status, 0);
    QCOMPARE(readFile(dir.filePath("out/pic.bmp")), QByteArray("mine"));
    r = batch({"--trim", "2", "--overwrite", "-o", dir.filePath("out"), input});
    QCOMPARE(r.status, 0);
    QCOMPARE(QImage(dir.filePath("out/pic.bmp")).size(), QSize(46, 36));
    // Two inputs writing the same output: the later one is refused.
    QDir(dir.path()).mkpath("other");
    QVERIFY(writeFile(dir.filePath("other/pic.gif"), gif(pattern(10, 10))));
    r = batch({"--report", dir.filePath("r.jsonl"), "-o", dir.filePath("two"), input, dir.filePath("other/pic.gif")});
    QCOMPARE(r.status, 1);
    const QList<QJsonObject> lines = reportLines(dir.filePath("r.jsonl"));
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[1]["status"].toString(), QStringLiteral("refused"));
    QCOMPARE(QImage(dir.filePath("two/pic.bmp")).size(), QSize(50, 40));
}

// A command line that cannot be carried out makes and changes nothing: not
// the inputs, not a report that exists, not the output folder.
void tst_Batch::usageErrorsChangeNothing_data()
{
    QTest::addColumn<QStringList>("arguments"); // IN is the picture, DIR the folder
    QTest::addColumn<QString>("message");
    QTest::newRow("report named as an input") << QStringList{"-o", "DIR/out", "--report", "IN", "IN"} << "is an input";
    QTest::newRow("report is a folder") << QStringList{"-o", "DIR/out", "--report", "DIR", "IN"} << "is a folder";
    QTest::newRow("output folder is a file") << QStringList{"-o", "DIR/report.jsonl", "--report", "DIR/report.jsonl", "IN"}
                                             << "Not a directory";
    QTest::newRow("output folder cannot be made") << QStringList{"-o", "/proc/pixelvane", "--report", "DIR/report.jsonl", "IN"}
                                                  << "cannot make the output folder '/proc/pixelvane': ";
}

void tst_Batch::usageErrorsChangeNothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QByteArray picture = jpeg(photo(40, 30), 90), report = "an earlier report\n";
    QVERIFY(writeFile(dir.filePath("a.jpg"), picture));
    QVERIFY(writeFile(dir.filePath("report.jsonl"), report));
    arguments.replaceInStrings(QStringLiteral("IN"), dir.filePath("a.jpg"));
    arguments.replaceInStrings(QStringLiteral("DIR"), dir.path());
    const Run r = batch(arguments);
    QCOMPARE(r.status, 2);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QCOMPARE(readFile(dir.filePath("a.jpg")), picture);
    QCOMPARE(readFile(dir.filePath("report.jsonl")), report);
    QCOMPARE(filesUnder(dir.path()), (QStringList{"a.jpg", "report.jsonl"}));
    QVERIFY(!QDir(dir.filePath("out")).exists());
}

// A link planted in a shared output folder never leads a write elsewhere:
// without --overwrite it is an output that exists; with it, the link
// itself is replaced by the picture; a linked subfolder is refused.
void tst_Batch::linksInTheOutputFolder()
{
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("in/sub");
    QDir(dir.path()).mkpath("out");
    QDir(dir.path()).mkpath("elsewhere");
    QVERIFY(writeFile(dir.filePath("in/a.bmp"), bmp(pattern(20, 10), 24)));
    QVERIFY(writeFile(dir.filePath("in/sub/b.bmp"), bmp(pattern(20, 10), 24)));
    QVERIFY(writeFile(dir.filePath("victim"), "precious"));
    QVERIFY(QFile::link(dir.filePath("victim"), dir.filePath("out/a.bmp")));
    QVERIFY(QFile::link(dir.filePath("elsewhere"), dir.filePath("out/sub")));
    const QStringList common{"-q", "-r", "-o", dir.filePath("out"), dir.filePath("in")};
    QCOMPARE(batch(common).status, 1); // sub/b.bmp refused
    QVERIFY(QFileInfo(dir.filePath("out/a.bmp")).isSymLink());
    const Run r = batch(QStringList{"--overwrite"} + common);
    QCOMPARE(r.status, 1);
    QVERIFY2(r.err.contains(QStringLiteral("leads out of the output folder")), qPrintable(r.err));
    QCOMPARE(readFile(dir.filePath("victim")), QByteArray("precious"));
    QVERIFY(!QFileInfo(dir.filePath("out/a.bmp")).isSymLink());
    QCOMPARE(QImage(dir.filePath("out/a.bmp")).size(), QSize(20, 10));
    QCOMPARE(QDir(dir.filePath("elsewhere")).entryList(QDir::Files | QDir::Hidden), QStringList());
}

// What a power failure leaves of an output (nothing, or its beginning) is
// written again on the next run; someone else's file of that name is not.
void tst_Batch::cutShortOutputsAreWrittenAgain()
{
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("out");
    const QByteArray whole = bmp(pattern(30, 20), 24);
    for (const char *name : {"empty", "cut", "stranger"})
        QVERIFY(writeFile(dir.filePath(QStringLiteral("%1.bmp").arg(name)), whole));
    QVERIFY(writeFile(dir.filePath("out/empty.bmp"), QByteArray()));
    QVERIFY(writeFile(dir.filePath("out/cut.bmp"), whole.left(100)));
    QVERIFY(writeFile(dir.filePath("out/stranger.bmp"), "not a picture"));
    const Run r = batch({"-q", "--report", dir.filePath("r.jsonl"), "-o", dir.filePath("out"), dir.filePath("empty.bmp"),
                         dir.filePath("cut.bmp"), dir.filePath("stranger.bmp")});
    QCOMPARE(r.status, 0);
    const QList<QJsonObject> lines = reportLines(dir.filePath("r.jsonl"));
    QCOMPARE(lines.size(), 3);
    for (int i : {0, 1}) {
        QCOMPARE(lines[i]["status"].toString(), QStringLiteral("written"));
        QVERIFY(lines[i]["reason"].toString().contains(QStringLiteral("incomplete")));
    }
    VERIFY_SAME_PIXELS(QImage(dir.filePath("out/cut.bmp")), pattern(30, 20));
    QCOMPARE(lines[2]["status"].toString(), QStringLiteral("skipped"));
    QCOMPARE(readFile(dir.filePath("out/stranger.bmp")), QByteArray("not a picture"));
}

// Inputs made to hurt: each ends the way given, quickly, the run going on
// or stopping with its one line.
void tst_Batch::hostileInputs_data()
{
    QTest::addColumn<QString>("command"); // run by sh in the folder; BATCH is the program
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("message");
    QTest::newRow("endless list of inputs") << "yes | BATCH -q --files-from - -o out" << 2 << "longer than 256 MiB";
    QTest::newRow("a name longer than the system allows")
        << "head -c 5000 /dev/zero | tr '\\0' x | BATCH -q --files-from - -o out" << 2 << "longer than the system allows";
    QTest::newRow("a sparse file far larger than its PNG")
        << "cp small.png huge.png && truncate -s 3G huge.png && BATCH -q -o out huge.png" << 1 << "far larger than its picture";
    QTest::newRow("a report that cannot be written")
        << "BATCH -q --report /dev/full -o out small.png" << 1 << "--report: cannot write '/dev/full'";
    QTest::newRow("standard error into a program that has quit")
        << "printf x > bad.png; BATCH -j 1 -o out bad.png small.png 2>&1 | true; test -s out/small.bmp" << 0 << "";
}

void tst_Batch::hostileInputs()
{
    QFETCH(QString, command);
    QFETCH(int, status);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("small.png"), png(pattern(100, 100), 2, 8)));
    QProcess p;
    p.setWorkingDirectory(dir.path());
    p.start(QStringLiteral("sh"), {"-c", command.replace(QStringLiteral("BATCH"), QStringLiteral(PIXELVANE_BATCH))});
    QVERIFY(p.waitForFinished(60000));
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QCOMPARE(p.exitCode(), status);
    QVERIFY2(err.contains(message), qPrintable(err));
}

// Names that are not UTF-8 are kept byte for byte, and shown escaped.
void tst_Batch::namesAsBytes()
{
    QTemporaryDir dir;
    const QByteArray folder = QFile::encodeName(dir.path());
    QVERIFY(QDir(dir.path()).mkdir("in"));
    const QByteArray latin1 = folder + "/in/caf\xe9.bmp", bad = folder + "/in/bad\xff.bmp";
    for (const QByteArray &name : {latin1, bad}) {
        FILE *f = std::fopen(name.constData(), "wb");
        QVERIFY(f);
        const QByteArray bytes = bmp(pattern(8, 6), 24);
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), f);
        std::fclose(f);
    }
    // One from the folder, one named in a list.
    QVERIFY(writeFile(dir.filePath("list"), bad + "\n"));
    QVERIFY(QDir(dir.path()).mkdir("named"));
    const Run r = batch({"-q", "--report", dir.filePath("r.jsonl"), "-o", dir.filePath("out"), dir.filePath("in")});
    QCOMPARE(r.status, 0);
    QCOMPARE(batch({"-q", "--files-from", dir.filePath("list"), "-o", dir.filePath("named")}).status, 0);
    struct stat st {};
    QCOMPARE(::stat((folder + "/out/caf\xe9.bmp").constData(), &st), 0);
    QCOMPARE(::stat((folder + "/out/bad\xff.bmp").constData(), &st), 0);
    QCOMPARE(::stat((folder + "/named/bad\xff.bmp").constData(), &st), 0);
    const QByteArray report = readFile(dir.filePath("r.jsonl"));
    QVERIFY2(report.contains("bad\\\\xff.bmp"), report.constData());
    // QTemporaryDir cannot remove what it cannot name.
    QCOMPARE(QProcess::execute(QStringLiteral("rm"), {"-rf", dir.path()}), 0);
}

// Memory that cannot be had fails the picture that needs it, not the run.
void tst_Batch::outOfMemoryFailsOnePicture()
{
#ifdef PIXELVANE_SANITIZED
    QSKIP("a limit of the address space cannot hold under AddressSanitizer, which reserves terabytes of it");
#endif
    QTemporaryDir dir;
    QImage flat(10000, 10000, QImage::Format_RGB32);
    flat.fill(qRgb(1, 2, 3));
    QVERIFY(writeFile(dir.filePath("a-huge.png"), png(flat, 2, 8)));
    QVERIFY(writeFile(dir.filePath("b-small.bmp"), bmp(pattern(10, 10), 24)));
    QProcess p;
    p.start(QStringLiteral("sh"), {"-c", QStringLiteral("ulimit -v 400000; exec %1 -q --report %2 -o %3 %4 %5")
                                             .arg(QStringLiteral(PIXELVANE_BATCH), dir.filePath("r.jsonl"), dir.filePath("out"),
                                                  dir.filePath("a-huge.png"), dir.filePath("b-small.bmp"))});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 1);
    const QList<QJsonObject> lines = reportLines(dir.filePath("r.jsonl"));
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0]["status"].toString(), QStringLiteral("failed"));
    QCOMPARE(lines[0]["reason"].toString(), QStringLiteral("out of memory"));
    QCOMPARE(lines[1]["status"].toString(), QStringLiteral("written"));
}

void tst_Batch::interruptLeavesNothingHalfWritten_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("Ctrl+C") << int(SIGINT);
    QTest::newRow("hang-up") << int(SIGHUP);
}

// Interrupted, a run finishes the files being written and leaves nothing
// half-written; a killed run's temporary file is cleared by the next.
void tst_Batch::interruptLeavesNothingHalfWritten()
{
    QFETCH(int, signal);
    QTemporaryDir dir;
    QDir(dir.path()).mkdir("in");
    QDir(dir.path()).mkdir("out");
    // A killed run's temporary file: its process is gone.
    const QString leftover = dir.filePath("out/.p00.png.pvtmp999999999.Ab3dE6");
    QVERIFY(writeFile(leftover, "half"));
    const QByteArray big = bmp(photo(1500, 1000), 24);
    for (int i = 0; i < 40; ++i)
        QVERIFY(writeFile(dir.filePath(QStringLiteral("in/p%1.bmp").arg(i, 2, 10, QLatin1Char('0'))), big));
    QProcess p;
    p.start(QStringLiteral(PIXELVANE_BATCH), {"-q", "-j", "2", "--format", "png", "-o", dir.filePath("out"), dir.filePath("in")});
    QVERIFY(p.waitForStarted());
    // Interrupt once the first pictures are out.
    for (int i = 0; i < 600 && filesUnder(dir.filePath("out")).size() < 2; ++i)
        QTest::qWait(10);
    QVERIFY(p.processId() > 0);
    ::kill(pid_t(p.processId()), signal);
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 128 + signal);
    QVERIFY(!QFile::exists(leftover));
    const QStringList written = filesUnder(dir.filePath("out"));
    QVERIFY2(!written.isEmpty() && written.size() < 40, qPrintable(written.join(u' ')));
    for (const QString &name : written) {
        QVERIFY2(!name.startsWith(u'.'), qPrintable("left behind: " + name));
        QCOMPARE(QImage(dir.filePath("out/" + name)).size(), QSize(1500, 1000));
    }
    QVERIFY(QString::fromUtf8(p.readAllStandardError()).contains(QStringLiteral("interrupted")));
}

void tst_Batch::usageErrorsCreateNothing_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("trim not digits") << QStringList{"--trim", "1O"};
    QTest::newRow("trim 0") << QStringList{"--trim", "0"};
    QTest::newRow("crop too large") << QStringList{"--crop", "32768x10"};
    QTest::newRow("shrink without a height") << QStringList{"--shrink", "320"};
    QTest::newRow("full-width digits") << QStringList{"--shrink", QStringLiteral("３２０x２４０")};
    QTest::newRow("bad edge") << QStringList{"--edges", "top,middle"};
    QTest::newRow("quality 101") << QStringList{"--format", "jpeg", "--quality", "101"};
    QTest::newRow("unknown format") << QStringList{"--format", "tga"};
    QTest::newRow("unknown option") << QStringList{"--sharpen"};
    QTest::newRow("value missing") << QStringList{"--margin"};
}

void tst_Batch::usageErrorsCreateNothing()
{
    QFETCH(QStringList, arguments);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("a.bmp"), bmp(pattern(20, 20), 24)));
    const Run r = batch(arguments + QStringList{"-o", dir.filePath("out"), "--report", dir.filePath("r.jsonl"),
                                                dir.filePath("a.bmp")});
    QCOMPARE(r.status, 2);
    QCOMPARE(r.err.count(u'\n'), 1);
    QVERIFY(r.err.startsWith(QStringLiteral("pixelvane-batch: ")));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"a.bmp"});
}

// Several --save steps: each file is byte for byte the window's save at that
// point of the same clicks, from one decode; the report lists them all. A
// picture already of the size asked for goes on as it is.
void tst_Batch::savesAreTheWindowsSaves()
{
    QTemporaryDir dir;
    const QString input = dir.filePath("shop.jpg");
    QVERIFY(writeFile(input, jpeg(photo(640, 480), 90)));
    const Run r = batch({"-q", "--report", dir.filePath("r.jsonl"), "--shrink", "640x480", "--save", "same",
                         "--shrink", "320x240", "--save", "large", "--shrink", "160x120", "--save", "sub/medium",
                         "--trim", "10", "--format", "png", "--save", "small", "-o", dir.filePath("out"), input});
    QVERIFY2(r.status == 0, qPrintable(r.err));
    auto line = [](const QString &json) { return json.toUtf8() + "\n"; };
    QByteArray script = line(QStringLiteral(R"({"do":"answer","open":"%1"})").arg(input)) +
                        line(QStringLiteral(R"({"do":"click","control":"mnuOpen"})"));
    auto saveAs = [&](const QString &name) {
        script += line(QStringLiteral(R"({"do":"answer","save":"%1"})").arg(dir.filePath(name))) +
                  line(QStringLiteral(R"({"do":"click","control":"mnuSave"})"));
    };
    auto shrink = [&](int w, int h) {
        script += line(QStringLiteral(R"({"do":"type","field":"txtYoko","text":"%1"})").arg(w)) +
                  line(QStringLiteral(R"({"do":"type","field":"txtTate","text":"%1"})").arg(h)) +
                  line(QStringLiteral(R"({"do":"click","control":"cmdHenkan"})"));
    };
    saveAs("w-same.bmp");
    shrink(320, 240);
    saveAs("w-large.bmp");
    shrink(160, 120);
    saveAs("w-medium.bmp");
    script += line(QStringLiteral(R"({"do":"type","field":"txtDotDelValue","text":"10"})")) +
              line(QStringLiteral(R"({"do":"click","control":"cmbDotDel"})"));
    saveAs("w-small.bmp");
    QProcess p;
    p.start(QStringLiteral(PIXELVANE_SCENARIO), {QStringLiteral("--no-digest")});
    p.write(script);
    p.closeWriteChannel();
    QVERIFY(p.waitForFinished(60000));
    for (const char *name : {"same", "large", "medium"}) {
        const QString batchFile = dir.filePath(QStringLiteral("out/%1/shop.bmp").arg(name == QByteArray("medium") ? "sub/medium" : name));
        const QByteArray fromWindow = readFile(dir.filePath(QStringLiteral("w-%1.bmp").arg(name)));
        QVERIFY2(!fromWindow.isEmpty() && readFile(batchFile) == fromWindow, name);
    }
    VERIFY_SAME_PIXELS(QImage(dir.filePath("out/small/shop.png")), QImage(dir.filePath("w-small.bmp")));
    const QList<QJsonObject> lines = reportLines(dir.filePath("r.jsonl"));
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines[0]["status"].toString(), QStringLiteral("written"));
    QVERIFY(lines[0]["reason"].toString().contains(QStringLiteral("サイズが同じですよ～。")));
    const QJsonArray outputs = lines[0]["outputs"].toArray();
    QCOMPARE(outputs.size(), 4);
    QCOMPARE(outputs[1].toObject()["width"].toInt(), 320);
    QCOMPARE(outputs[2].toObject()["output"].toString(), dir.filePath("out/sub/medium/shop.bmp"));
    QCOMPARE(outputs[3].toObject()["width"].toInt(), 140);
    QCOMPARE(lines[0]["output"].toString(), dir.filePath("out/small/shop.png"));
    // Nothing is written at the end of the sequence when the steps save.
    QCOMPARE(QDir(dir.filePath("out")).entryList(QDir::Files), QStringList());
}

void tst_Batch::fastIsCloseToExact_data()
{
    QTest::addColumn<bool>("hard");
    QTest::addColumn<QSize>("to");
    for (bool hard : {false, true})
        for (QSize to : {QSize(160, 120), QSize(200, 150), QSize(480, 360)})
            QTest::addRow("%s to %dx%d", hard ? "hard edges" : "smooth", to.width(), to.height()) << hard << to;
}

void tst_Batch::fastIsCloseToExact()
{
    QFETCH(bool, hard);
    QFETCH(QSize, to);
    QTemporaryDir dir;
    const QString input = dir.filePath("photo.jpg");
    QVERIFY(writeFile(input, jpeg(hard ? hardEdges(2400, 1800) : photo(2400, 1800), 90)));
    const QString size = QStringLiteral("%1x%2").arg(to.width()).arg(to.height());
    QCOMPARE(batch({"-q", "--shrink", size, "-o", dir.filePath("exact"), input}).status, 0);
    QCOMPARE(batch({"-q", "--fast", "--shrink", size, "-o", dir.filePath("fast"), input}).status, 0);
    const QImage exact(dir.filePath("exact/photo.bmp")), fast(dir.filePath("fast/photo.bmp"));
    QCOMPARE(fast.size(), exact.size());
    // The bounds the README states: smooth photos differ little; at hard,
    // high-contrast edges a reduced pixel that an output pixel covers in
    // part is taken as uniform, which it is not.
    const Distance d = distance(exact, fast);
    const double meanBound = hard ? 3.0 : 1.0;
    const int worstBound = hard ? 64 : 8;
    QVERIFY2(d.mean <= meanBound && d.worst <= worstBound,
             qPrintable(QStringLiteral("mean %1, worst %2").arg(d.mean).arg(d.worst)));
    QVERIFY2(fast != exact, "--fast decoded at full size");
}

// A responsive set in one folder, each file named by its size; saves whose
// names coincide once the sizes are known are refused, not written over.
void tst_Batch::namedBySize()
{
    QTemporaryDir dir;
    const QString input = dir.filePath("photo.jpg");
    QVERIFY(writeFile(input, jpeg(photo(1600, 1200), 90)));
    const QString out = dir.filePath("out");
    const Run r = batch({"-q", "--report", dir.filePath("r.jsonl"), "--format", "webp", "--name", "{name}-{w}x{h}", "--shrink", "1200x900", "--save", "web",
                         "--shrink", "600x450", "--save", "web", "--shrink", "160x120", "--save", "web", "-o", out, input});
    QVERIFY2(r.status == 0, qPrintable(r.err));
    QCOMPARE(filesUnder(out), (QStringList{"web/photo-1200x900.webp", "web/photo-160x120.webp", "web/photo-600x450.webp"}));
    QCOMPARE(QImage(dir.filePath("out/web/photo-160x120.webp")).size(), QSize(160, 120));
    const QList<QJsonObject> lines = reportLines(dir.filePath("r.jsonl"));
    QCOMPARE(lines.size(), 1);
    QCOMPARE(lines[0]["output"].toString(), dir.filePath("out/web/photo-160x120.webp"));
    QCOMPARE(lines[0]["outputs"].toArray()[1].toObject()["output"].toString(), dir.filePath("out/web/photo-600x450.webp"));
    // A folder gives its JPEG XL pictures too.
    QVERIFY(QDir(dir.path()).mkdir("in") && writeFile(dir.filePath("in/photo.jxl"), jxl(photo(400, 300))));
    const Run same = batch({"-q", "--name", "{name}-{w}", "--shrink", "160x120", "--save", "s", "--shrink", "160x100",
                            "--save", "s", "-o", dir.filePath("same"), dir.filePath("in")});
    QCOMPARE(same.status, 1);
    QVERIFY2(same.err.contains(QStringLiteral("already written from")), qPrintable(same.err));
    QCOMPARE(filesUnder(dir.filePath("same")), QStringList{"s/photo-160.bmp"});
}

void tst_Batch::keptMetadataReachesTheFiles()
{
    QTemporaryDir dir;
    const QString input = dir.filePath("photo.jpg");
    QVERIFY(writeFile(input, withPhotoMetadata(jpeg(photo(64, 48), 90), true, false)));
    const Run r = batch({"-q", "--keep-metadata", "rights,date", "--format", "png", "--save", "png", "--format", "jpeg",
                         "--max-size", "100k", "--save", "kept", "-o", dir.filePath("out"), input});
    QVERIFY2(r.status == 0, qPrintable(r.err));
    for (const char *name : {"kept/photo.jpg", "png/photo.png"}) {
        const QByteArray kept = readFile(dir.filePath("out/") + name);
        QVERIFY2(kept.contains("(c) Jane Doe") && kept.contains("2024:05:06 07:08:09") && !kept.contains("PhoneMaker"), name);
    }
}

QTEST_GUILESS_MAIN(tst_Batch)
#include "tst_batch.moc"

// pixelvane-batch as a user runs it: the same pixels as the window, runs
// that go on past refusals, files never lost, interruption, usage errors.
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
    void rerunsKnowWhatTheyMade_data();
    void rerunsKnowWhatTheyMade();
    void hostileInputs_data();
    void hostileInputs();
    void namesAsBytes();
    void outOfMemoryFailsOnePicture_data();
    void outOfMemoryFailsOnePicture();
    void interruptLeavesNothingHalfWritten_data();
    void interruptLeavesNothingHalfWritten();
    void usageErrorsCreateNothing_data();
    void usageErrorsCreateNothing();
    void savesAreTheWindowsSaves();
    void dryRunChangesNothing();
    void linkSwapRaceWritesNothingOutside();
    void otherHostsTemporaryFilesAreLeftAlone();
    void fastIsCloseToExact_data();
    void fastIsCloseToExact();
    void framedFromThePartDecoded_data();
    void framedFromThePartDecoded();
    void productOnAWhiteSquare();
    void transparencyKeptThroughAFit();
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
    QTest::newRow("report named as a photo that is not an input")
        << QStringList{"-o", "DIR/out", "--report", "DIR/a.jpg", "DIR/m1.jpg"} << "exists and is not a report";
    QTest::newRow("the same save twice") << QStringList{"-o", "DIR/out", "--save", "x", "--save", "./x", "IN"}
                                         << "--save: 'x' is given twice for bmp files";
}

void tst_Batch::usageErrorsChangeNothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    QTemporaryDir dir;
    const QByteArray picture = jpeg(photo(40, 30), 90), report = "{\"input\":\"an earlier report\"}\n";
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
    QDir(dir.path()).mkpath("in/sub/deeper");
    QVERIFY(writeFile(dir.filePath("in/sub/deeper/c.bmp"), bmp(pattern(20, 10), 24)));
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
    // Not even a folder made there.
    QCOMPARE(QDir(dir.filePath("elsewhere")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
}

// An AVIF whose last box has size 0, "to the end of the file", as the
// format allows.
QByteArray avifWithOpenLastBox()
{
    HeifOptions options;
    options.avif = true;
    QByteArray bytes = heif(photo(40, 30), options);
    qsizetype at = 0, last = 0;
    while (at + 8 <= bytes.size()) {
        const quint32 size = qFromBigEndian<quint32>(bytes.constData() + at);
        if (size < 8)
            break;
        last = at;
        at += size;
    }
    qToBigEndian<quint32>(0, bytes.data() + last);
    return bytes;
}

// A rerun decides by the record each output keeps of its input, its steps
// and its own bytes: what is current is left untouched, what is stale or
// damaged is made again, and a file without a record (someone else's, or
// on a file system that keeps none) is left alone unless --overwrite; an
// empty file is what a killed write leaves, and is written again.
void tst_Batch::rerunsKnowWhatTheyMade_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("change"); // what happens between the runs
    QTest::addColumn<QStringList>("again"); // the second run's options
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("reason");
    const QStringList same{"--shrink", "30x20"};
    QTest::newRow("nothing changed") << "png" << "" << same << "skipped" << "the output is up to date";
    QTest::newRow("input touched, its bytes the same") << "bmp" << "touch input" << same << "skipped" << "the output is up to date";
    QTest::newRow("input replaced by another picture") << "jpeg" << "replace input" << same << "written" << "made again: its input changed";
    QTest::newRow("steps changed") << "png" << "" << QStringList{"--shrink", "20x10"} << "written" << "made again: its steps changed";
    QTest::newRow("quality changed") << "jpeg" << "" << QStringList{"--shrink", "30x20", "--quality", "50"} << "written" << "made again: its steps changed";
    QTest::newRow("output cut short") << "bmp" << "cut output" << same << "written" << "made again: the output no longer matched its record";
    QTest::newRow("output changed since") << "png" << "append to output" << same << "written" << "made again: the output no longer matched its record";
    QTest::newRow("empty file at the name") << "bmp" << "empty output" << same << "written" << "written again: the output was empty";
    QTest::newRow("a file without a record") << "bmp" << "output without a record" << same << "skipped" << "the output exists";
    QTest::newRow("a file without a record, --overwrite") << "bmp" << "output without a record" << (same + QStringList{"--overwrite"}) << "written" << "";
    QTest::newRow("a motion photo: data after the JPEG's end") << "jpeg" << "motion photo" << same << "skipped" << "the output exists";
    QTest::newRow("an AVIF whose last box has size 0") << "avif" << "open last box" << same << "skipped" << "the output exists";
    QTest::newRow("a PNG with a trailing byte") << "png" << "trailing byte" << same << "skipped" << "the output exists";
}

void tst_Batch::rerunsKnowWhatTheyMade()
{
    QFETCH(QString, format);
    QFETCH(QString, change);
    QFETCH(QStringList, again);
    QTemporaryDir dir;
    const QString input = dir.filePath("a.png");
    QVERIFY(writeFile(input, png(pattern(60, 40), 2, 8)));
    const QStringList common{"-q", "--format", format, "--report", dir.filePath("r.jsonl"), "-o", dir.filePath("out"), input};
    QCOMPARE(batch(QStringList{"--shrink", "30x20"} + common).status, 0);
    const QString output = dir.filePath("out/a." + QString(format == u"jpeg" ? "jpg" : format));
    QByteArray there = readFile(output);
    QVERIFY(!there.isEmpty());
    if (change == u"touch input") {
        QFile f(input);
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.setFileTime(QDateTime::currentDateTime().addSecs(60), QFileDevice::FileModificationTime));
    }
    else if (change == u"replace input")
        QVERIFY(writeFile(input, png(photo(60, 40), 2, 8)));
    else if (change == u"cut output" || change == u"append to output" || change == u"empty output")
        there = change == u"cut output" ? there.left(there.size() / 2) : change == u"empty output" ? QByteArray() : there + "x";
    else if (change == u"motion photo")
        there = jpeg(photo(30, 20)) + QByteArray(4000, 'v');
    else if (change == u"open last box")
        there = avifWithOpenLastBox();
    else if (change == u"trailing byte")
        there = png(photo(30, 20), 2, 8) + "\0";
    if (change.contains(u"output") && change != u"output without a record") {
        // Changed in place: the record stays with the file.
        QFile f(output);
        QVERIFY(f.open(QIODevice::ReadWrite | QIODevice::Truncate));
        QCOMPARE(f.write(there), there.size());
    } else if (!change.isEmpty() && !change.contains(u"input")) {
        QVERIFY(QFile::remove(output)); // a new file: no record
        QVERIFY(writeFile(output, there));
    }
    struct stat before {};
    QCOMPARE(::stat(QFile::encodeName(output).constData(), &before), 0);
    const QByteArray beforeBytes = readFile(output);
    const Run r = batch(again + common);
    QVERIFY2(r.status == 0, qPrintable(r.err));
    const QList<QJsonObject> lines = reportLines(dir.filePath("r.jsonl"));
    QCOMPARE(lines.size(), 1);
    QTEST(lines[0]["status"].toString(), "status");
    QTEST(lines[0]["reason"].toString(), "reason");
    struct stat after {};
    QCOMPARE(::stat(QFile::encodeName(output).constData(), &after), 0);
    if (lines[0]["status"].toString() == u"skipped") {
        // Untouched: the same file, the same bytes, the same time.
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        QCOMPARE(readFile(output), beforeBytes);
    } else {
        QVERIFY(after.st_ino != before.st_ino); // put in place whole, by rename
        const QImage made(output);
        QCOMPARE(made.size(), again.contains("20x10") ? QSize(20, 10) : QSize(30, 20));
    }
    // What this program made, the next run finds current.
    QCOMPARE(batch(again + common).status, 0);
    QFETCH(QString, reason);
    if (!again.contains("--overwrite") && reason != u"the output exists")
        QCOMPARE(reportLines(dir.filePath("r.jsonl"))[0]["reason"].toString(), QStringLiteral("the output is up to date"));
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
    QTest::newRow("report to /dev/stdout, sent to a file")
        << "BATCH -q --report /dev/stdout -o out small.png > r.txt && test -L /dev/stdout && grep -q '\"written\"' r.txt" << 0 << "";
    QTest::newRow("report to standard output as -")
        << "BATCH -q --report - -o out small.png | grep -q '\"written\"' && test ! -e ./-" << 0 << "";
    // The cut-short picture would be refused as damaged if it were decoded.
    QTest::newRow("a WebP wider than WebP holds, refused before decoding")
        << "BATCH -q --format webp -o out wide-cut.jpg" << 1 << "wide-cut.jpg: refused: 20000 x 8 is beyond WebP's limit of 16383 pixels a side";
    QTest::newRow("a save wider than WebP holds, before a shrink")
        << "BATCH -q --format webp --save big --shrink 10000x4 -o out wide.jpg" << 1 << "20000 x 8 is beyond WebP's limit";
    // A canvas of 32767 x 32767 takes 4 GiB, and as much again to write it:
    // more than a picture may take (a quarter of the memory) wherever the
    // machine has less than 32 GiB.
    if (qint64(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGE_SIZE) / 4 < qint64(32767) * 32767 * 8)
        QTest::newRow("a pad's canvas beyond the memory a picture may take, refused before the work")
            << "BATCH -q -j 2 --pad 32767x32767 -o out small.png good.heic; s=$?; test ! -e out/small.bmp || s=9; exit $s" << 1
            << "small.png: refused: --pad 32767x32767: ";
    QTest::newRow("a shrink that brings it within WebP's limit")
        << "BATCH -q --format webp --shrink 10000x4 -o out wide.jpg && test -s out/wide.webp" << 0 << "";
    QTest::newRow("standard error into a program that has quit")
        << "printf x > bad.png; BATCH -j 1 -o out bad.png small.png 2>&1 | true; test -s out/small.bmp" << 0 << "";
    // The decoder's child process (STAND_IN misbehaves on purpose).
    const QString others = QStringLiteral("; s=$?; test -s out/small.bmp -a -s out/good.bmp || s=9; exit $s");
    QTest::newRow("a decoder that crashes fails its picture alone")
        << "PIXELVANE_DECODER=STAND_IN BATCH -j 2 -o out small.png abort.heic good.heic" + others << 1
        << "abort.heic: failed: the decoder crashed (signal 6)";
#ifndef PIXELVANE_SANITIZED // AddressSanitizer's reserved memory admits no data limit
    QTest::newRow("a decoder that bloats is refused at its memory limit")
        << "PIXELVANE_DECODER=STAND_IN BATCH -j 1 -o out leak.heic small.png good.heic" + others << 1
        << "(the decoder went over its memory limit of";
#endif
    QTest::newRow("a decoder that hangs is refused at its time limit")
        << "PIXELVANE_DECODER=STAND_IN PIXELVANE_DECODER_SECONDS=2 BATCH -j 1 -o out small.png sleep.heic good.heic" + others
        << 1 << "(the decoder went over its time limit of 2 s)";
    QTest::newRow("Ctrl+C ends a hung decoder at once")
        << "PIXELVANE_DECODER=STAND_IN PIXELVANE_DECODER_SECONDS=600 BATCH -o out sleep.heic & sleep 1; kill -INT $!; wait $!"
        << 130 << "(interrupted)";
}

void tst_Batch::hostileInputs()
{
    QFETCH(QString, command);
    QFETCH(int, status);
    QFETCH(QString, message);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("small.png"), png(pattern(100, 100), 2, 8)));
    const QByteArray wide = jpeg(photo(20000, 8), 80);
    QVERIFY(writeFile(dir.filePath("wide.jpg"), wide));
    QVERIFY(writeFile(dir.filePath("wide-cut.jpg"), wide.left(wide.size() / 2)));
    for (const char *behaviour : {"abort", "leak", "sleep"})
        QVERIFY(writeFile(dir.filePath(QStringLiteral("%1.heic").arg(QLatin1String(behaviour))), misbehaving(behaviour)));
    QVERIFY(writeFile(dir.filePath("good.heic"), misbehaving("nothing")));
    QProcess p;
    p.setWorkingDirectory(dir.path());
    command.replace(QStringLiteral("STAND_IN"), QStringLiteral(PIXELVANE_STAND_IN));
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

// Memory that cannot be had fails the picture that needs it, not the run:
// to decode it, or to encode it (libheif's AV1 encoder says no more than
// that it failed).
void tst_Batch::outOfMemoryFailsOnePicture_data()
{
    QTest::addColumn<int>("side"); // of the flat picture that needs too much
    QTest::addColumn<QString>("options");
    QTest::addColumn<int>("kilobytes"); // of address space the run may have
    QTest::newRow("decoding") << 10000 << "" << 400000;
    QTest::newRow("encoding AVIF") << 4000 << "--format avif" << 300000;
}

void tst_Batch::outOfMemoryFailsOnePicture()
{
#ifdef PIXELVANE_SANITIZED
    QSKIP("a limit of the address space cannot hold under AddressSanitizer, which reserves terabytes of it");
#endif
    QFETCH(int, side);
    QFETCH(QString, options);
    QFETCH(int, kilobytes);
    QTemporaryDir dir;
    QImage flat(side, side, QImage::Format_RGB32);
    flat.fill(qRgb(1, 2, 3));
    QVERIFY(writeFile(dir.filePath("a-huge.png"), png(flat, 2, 8)));
    QVERIFY(writeFile(dir.filePath("b-small.bmp"), bmp(pattern(10, 10), 24)));
    QProcess p;
    p.start(QStringLiteral("sh"), {"-c", QStringLiteral("ulimit -v %1; exec %2 -q -j 1 %3 --report %4 -o %5 %6 %7")
                                             .arg(QString::number(kilobytes), QStringLiteral(PIXELVANE_BATCH), options,
                                                  dir.filePath("r.jsonl"), dir.filePath("out"), dir.filePath("a-huge.png"),
                                                  dir.filePath("b-small.bmp"))});
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
// half-written, and its report tells only what was written; a killed
// run's temporary file is cleared by the next run on the same machine,
// another machine's is left alone.
void tst_Batch::interruptLeavesNothingHalfWritten()
{
    QFETCH(int, signal);
    QTemporaryDir dir;
    QDir(dir.path()).mkdir("in");
    QDir(dir.path()).mkpath("out/small");
    // A killed run's temporary file: its process is gone.
    const QString host = QSysInfo::machineHostName();
    const QString leftover = dir.filePath("out/small/.p00.png.pvtmp." + host + ".999999999.Ab3dE6");
    const QString otherHosts = dir.filePath("out/.p00.png.pvtmp.not-" + host + ".999999999.Ab3dE6");
    QVERIFY(writeFile(leftover, "half"));
    QVERIFY(writeFile(otherHosts, "being written"));
    const QByteArray big = bmp(photo(1500, 1000), 24);
    for (int i = 0; i < 40; ++i)
        QVERIFY(writeFile(dir.filePath(QStringLiteral("in/p%1.bmp").arg(i, 2, 10, QLatin1Char('0'))), big));
    QProcess p;
    p.start(QStringLiteral(PIXELVANE_BATCH), {"-q", "-j", "2", "--format", "png", "--save", "large", "--shrink", "300x200",
                                              "--save", "small", "--report", dir.filePath("r.jsonl"), "-o",
                                              dir.filePath("out"), dir.filePath("in")});
    QVERIFY(p.waitForStarted());
    // Interrupt once the first pictures are out.
    for (int i = 0; i < 600 && filesUnder(dir.filePath("out/large")).size() < 2; ++i)
        QTest::qWait(10);
    QVERIFY(p.processId() > 0);
    ::kill(pid_t(p.processId()), signal);
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 128 + signal);
    QVERIFY(!QFile::exists(leftover));
    QVERIFY(QFile::exists(otherHosts));
    QVERIFY(QFile::remove(otherHosts));
    const QStringList written = filesUnder(dir.filePath("out"));
    QVERIFY2(!written.isEmpty() && written.size() < 80, qPrintable(written.join(u' ')));
    for (const QString &name : written) {
        QVERIFY2(!QFileInfo(name).fileName().startsWith(u'.'), qPrintable("left behind: " + name));
        QCOMPARE(QImage(dir.filePath("out/" + name)).size(), name.startsWith(u"large") ? QSize(1500, 1000) : QSize(300, 200));
    }
    // Every file the report calls written is there, and no other.
    QStringList reported;
    for (const QJsonObject &line : reportLines(dir.filePath("r.jsonl")))
        for (const QJsonValue &file : line["outputs"].toArray())
            if (file.toObject()["status"].toString() == u"written")
                reported << QDir(dir.filePath("out")).relativeFilePath(file.toObject()["output"].toString());
    reported.sort();
    QCOMPARE(reported, written);
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
    QTest::newRow("fit without a size") << QStringList{"--fit", "x"};
    QTest::newRow("pad one number") << QStringList{"--pad", "10"};
    QTest::newRow("unknown colour") << QStringList{"--background", "grey"};
    QTest::newRow("trim-border 256") << QStringList{"--trim-border", "256"};
    QTest::newRow("transparent BMP") << QStringList{"--background", "transparent", "--fit", "10x10"};
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

// Each entry under a folder with what would show a change to it.
QStringList snapshot(const QString &folder)
{
    QStringList out;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st {};
        ::lstat(QFile::encodeName(path).constData(), &st);
        out << QStringLiteral("%1 %2 %3 %4.%5").arg(path).arg(st.st_size).arg(st.st_ino).arg(st.st_mtim.tv_sec).arg(st.st_mtim.tv_nsec);
    }
    out.sort();
    return out;
}

// A dry run reads the headers and tells what a run would do with every
// file, and why, making, changing and removing nothing.
void tst_Batch::dryRunChangesNothing()
{
    QTemporaryDir dir;
    QDir(dir.path()).mkdir("in");
    for (const char *name : {"a", "b", "c"})
        QVERIFY(writeFile(dir.filePath(QStringLiteral("in/%1.png").arg(name)), png(pattern(60, 40), 2, 8)));
    QVERIFY(writeFile(dir.filePath("in/d-small.png"), png(pattern(10, 10), 2, 8)));
    QVERIFY(writeFile(dir.filePath("in/e-broken.png"), "not a picture"));
    const QStringList steps{"-q", "--shrink", "30x20", "-o", dir.filePath("out")};
    QCOMPARE(batch(steps + QStringList{dir.filePath("in/a.png"), dir.filePath("in/b.png")}).status, 0);
    QVERIFY(writeFile(dir.filePath("in/b.png"), png(photo(60, 40), 2, 8)));
    QVERIFY(writeFile(dir.filePath("out/.c.bmp.pvtmp." + QSysInfo::machineHostName() + ".999999999.Ab3dE6"), "half"));
    const QStringList before = snapshot(dir.filePath("out"));
    QProcess p;
    p.start(QStringLiteral(PIXELVANE_BATCH), QStringList{"--dry-run", "--report", dir.filePath("r.jsonl")} + steps + QStringList{dir.filePath("in")});
    QVERIFY(p.waitForFinished(60000));
    QCOMPARE(p.exitCode(), 1);
    QCOMPARE(snapshot(dir.filePath("out")), before);
    const QString out = dir.filePath("out/");
    QCOMPARE(QString::fromUtf8(p.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts),
             (QStringList{"would skip: " + out + "a.bmp (the output is up to date)",
                          "would write: " + out + "b.bmp (made again: its input changed)", "would write: " + out + "c.bmp",
                          "would refuse: " + out + QStringLiteral("d-small.bmp (--shrink 30x20: 縮小しかできません・・・。m(_ _)m)"),
                          "would refuse: " + out + "e-broken.bmp (" + QStringLiteral("このファイルは読み込めません。 (cannot read the header))")}));
    const QList<QJsonObject> lines = reportLines(dir.filePath("r.jsonl"));
    QCOMPARE(lines.size(), 5);
    QVERIFY(lines[1]["planned"].toBool());
    QCOMPARE(lines[1]["reason"].toString(), QStringLiteral("made again: its input changed"));
    // An output folder that does not exist is not made.
    QCOMPARE(batch({"-n", "-o", dir.filePath("new"), dir.filePath("in/a.png")}).status, 0);
    QVERIFY(!QFileInfo::exists(dir.filePath("new")));
}

// Someone who can write to the output folder swaps a folder in it with a
// link to a folder outside, over and over, while runs with --overwrite go
// on: every file is made, checked and renamed in the folder opened one
// name at a time, so nothing is created or replaced outside.
void tst_Batch::linkSwapRaceWritesNothingOutside()
{
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("in/sub");
    QDir(dir.path()).mkpath("out/sub");
    QDir(dir.path()).mkpath("outside");
    for (int i = 0; i < 6; ++i)
        QVERIFY(writeFile(dir.filePath(QStringLiteral("in/sub/p%1.bmp").arg(i)), bmp(pattern(40, 30), 24)));
    QVERIFY(writeFile(dir.filePath("outside/p0.bmp"), "precious"));
    QVERIFY(QFile::link(dir.filePath("outside"), dir.filePath("out/link")));
    const QByteArray sub = QFile::encodeName(dir.filePath("out/sub")), link = QFile::encodeName(dir.filePath("out/link"));
    std::atomic<bool> done{false};
    std::atomic<int> swaps{0};
    std::thread swapper([&] {
        for (int i = 0; i < 5000000 && !done.load(); ++i)
            if (::renameat2(AT_FDCWD, sub.constData(), AT_FDCWD, link.constData(), RENAME_EXCHANGE) == 0)
                ++swaps;
    });
    for (int run = 0; run < 30; ++run)
        batch({"-q", "-r", "--overwrite", "-o", dir.filePath("out"), dir.filePath("in")});
    done.store(true);
    swapper.join();
    QVERIFY(swaps.load() > 0);
    QCOMPARE(QDir(dir.filePath("outside")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"p0.bmp"});
    QCOMPARE(readFile(dir.filePath("outside/p0.bmp")), QByteArray("precious"));
}

// On a folder shared between machines, a run removes only its own
// machine's leftovers: another host, in its own UTS and PID namespaces,
// keeps its live temporary file, and removes it itself once its process
// is gone.
void tst_Batch::otherHostsTemporaryFilesAreLeftAlone()
{
    if (::geteuid() != 0)
        QSKIP("needs root for UTS and PID namespaces");
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("out");
    QVERIFY(writeFile(dir.filePath("a.bmp"), bmp(pattern(20, 10), 24)));
    const QString script = QStringLiteral(R"(
        hostname pv-other-host || exit 77
        echo 999990 > /proc/sys/kernel/ns_last_pid 2>/dev/null
        sleep 120 & P=$!
        : > "$DIR/out/.a.bmp.pvtmp.pv-other-host.$P.Ab3dE6"
        echo $P > "$DIR/ready"
        while [ ! -e "$DIR/go" ]; do sleep 0.05; done
        kill $P; wait $P 2>/dev/null
        exec "$BATCH" -q -o "$DIR/out" "$DIR/a.bmp")");
    QProcess other;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DIR", dir.path());
    env.insert("BATCH", QStringLiteral(PIXELVANE_BATCH));
    other.setProcessEnvironment(env);
    other.start(QStringLiteral("unshare"), {"--uts", "--pid", "--fork", "--mount-proc", "sh", "-c", script});
    for (int i = 0; i < 3000 && !QFile::exists(dir.filePath("ready")) && other.state() != QProcess::NotRunning; ++i)
        QTest::qWait(10);
    if (!QFile::exists(dir.filePath("ready"))) {
        other.waitForFinished(10000);
        QSKIP("cannot make UTS and PID namespaces here");
    }
    const QString pid = QString::fromLatin1(readFile(dir.filePath("ready")).trimmed());
    const QString theirs = dir.filePath("out/.a.bmp.pvtmp.pv-other-host." + pid + ".Ab3dE6");
    QVERIFY(QFileInfo::exists(theirs));
    QCOMPARE(batch({"-q", "-o", dir.filePath("out"), dir.filePath("a.bmp")}).status, 0);
    QVERIFY2(QFileInfo::exists(theirs), "another host's live temporary file was removed");
    QVERIFY(writeFile(dir.filePath("go"), ""));
    QVERIFY(other.waitForFinished(60000));
    QCOMPARE(other.exitCode(), 0);
    QVERIFY2(!QFileInfo::exists(theirs), "a host's own leftover of a process gone was kept");
}

namespace {

// Vertical stripes of `period` pixels, one dark pixel in each, as a fine
// fabric or a screen shows them.
QImage stripes(int w, int h, int period)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        auto *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < w; ++x)
            row[x] = x % period == 0 ? qRgb(20, 30, 40) : qRgb(230, 220, 200);
    }
    return image;
}

enum class Kind { Smooth, HardEdges, Stripes };

} // namespace

void tst_Batch::fastIsCloseToExact_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QSize>("from");
    QTest::addColumn<QSize>("to");
    QTest::addColumn<QString>("step");
    for (const char *step : {"--shrink", "--fit"})
        for (Kind kind : {Kind::Smooth, Kind::HardEdges})
            for (QSize to : {QSize(160, 120), QSize(200, 150), QSize(390, 292), QSize(480, 360)})
                QTest::addRow("%s %s to %dx%d", step, kind == Kind::HardEdges ? "hard edges" : "smooth", to.width(),
                              to.height())
                    << int(kind) << QSize(2400, 1800) << to << QString::fromLatin1(step);
    // Where an output pixel covers a whole number of periods, the exact
    // shrink is flat too; these do not.
    QTest::newRow("stripes of period 3, 1600x1200 to 390x292")
        << int(Kind::Stripes) << QSize(1600, 1200) << QSize(390, 292) << QStringLiteral("--shrink");
    QTest::newRow("stripes of period 3, 2000x1500 to 480x360")
        << int(Kind::Stripes) << QSize(2000, 1500) << QSize(480, 360) << QStringLiteral("--shrink");
}

// The bounds the README states: smooth photos differ little; at hard,
// high-contrast edges a reduced pixel that an output pixel covers in part
// is taken as uniform, which it is not. Fine periodic patterns have no
// small bound: the exact shrink aliases them into bands, while the reduced
// decode has smoothed them away; the difference there is beyond the hard
// edges' bound.
void tst_Batch::fastIsCloseToExact()
{
    QFETCH(int, kind);
    QFETCH(QSize, from);
    QFETCH(QSize, to);
    QFETCH(QString, step);
    QTemporaryDir dir;
    const QString input = dir.filePath("photo.jpg");
    const int w = from.width(), h = from.height();
    const QImage source = Kind(kind) == Kind::Smooth      ? photo(w, h)
                          : Kind(kind) == Kind::HardEdges ? hardEdges(w, h)
                                                          : stripes(w, h, 3);
    QVERIFY(writeFile(input, jpeg(source, 90)));
    const QString size = QStringLiteral("%1x%2").arg(to.width()).arg(to.height());
    QCOMPARE(batch({"-q", step, size, "-o", dir.filePath("exact"), input}).status, 0);
    QCOMPARE(batch({"-q", "--fast", step, size, "-o", dir.filePath("fast"), input}).status, 0);
    const QImage exact(dir.filePath("exact/photo.bmp")), fast(dir.filePath("fast/photo.bmp"));
    QCOMPARE(fast.size(), exact.size());
    const Distance d = distance(exact, fast);
    const QString found = QStringLiteral("mean %1, worst %2").arg(d.mean).arg(d.worst);
    if (Kind(kind) == Kind::Stripes)
        QVERIFY2(d.mean > 3.0, qPrintable(found));
    else if (Kind(kind) == Kind::HardEdges)
        QVERIFY2(d.mean <= 3.0 && d.worst <= 64, qPrintable(found));
    else
        QVERIFY2(d.mean <= 1.0 && d.worst <= 8, qPrintable(found));
    QVERIFY2(fast != exact, "--fast decoded at full size");
}

void tst_Batch::framedFromThePartDecoded_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::newRow("crop, fit") << QStringList{"--crop", "161x90", "--fit", "60x60"};
    QTest::newRow("trim, pad") << QStringList{"--trim", "7", "--pad", "100x100", "--background", "#204060"};
    QTest::newRow("fit xH, crop") << QStringList{"--fit", "x101", "--crop", "50x50"};
}

// A fit or a pad planned from a JPEG's header scales the part decoded; the
// same steps after a border trim that cuts nothing, which decodes the
// picture whole, give the same pixels.
void tst_Batch::framedFromThePartDecoded()
{
    QFETCH(QStringList, steps);
    QTemporaryDir dir;
    const QString input = dir.filePath("photo.jpg");
    QVERIFY(writeFile(input, jpeg(hardEdges(203, 151), 90)));
    Run r = batch(QStringList{"-q", "--format", "png", "-o", dir.filePath("part"), input} + steps);
    QVERIFY2(r.status == 0, qPrintable(r.err));
    r = batch(QStringList{"-q", "--format", "png", "-o", dir.filePath("whole"), input, "--edges", "none", "--trim-border",
                          "0", "--edges", "all"} + steps);
    QVERIFY2(r.status == 0, qPrintable(r.err));
    const QImage part(dir.filePath("part/photo.png")), whole(dir.filePath("whole/photo.png"));
    QVERIFY(!part.isNull());
    VERIFY_SAME_PIXELS(part, whole);
}

// The shop's line: a product photographed off centre on a studio white
// that varies by a few levels loses that border and is centred, unscaled,
// on a white 1000 x 1000 square; a picture all of one colour keeps all of
// itself, and the report says so.
void tst_Batch::productOnAWhiteSquare()
{
    QTemporaryDir dir;
    QImage studio(300, 200, QImage::Format_RGB32);
    quint32 seed = 99;
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 300; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int v = 249 + int(seed >> 29) % 5; // 249 to 253
            studio.setPixel(x, y, qRgb(v, v, v));
        }
    const QImage product = pattern(120, 80); // blue below 128: never near white
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 120; ++x)
            studio.setPixel(30 + x, 50 + y, product.pixel(x, y));
    QVERIFY(writeFile(dir.filePath("product.png"), png(studio, 2, 8)));
    QImage plain(50, 50, QImage::Format_RGB32);
    plain.fill(qRgb(251, 251, 251));
    QVERIFY(writeFile(dir.filePath("plain.png"), png(plain, 2, 8)));
    const Run r = batch({"-q", "--trim-border", "8", "--pad", "1000x1000", "--background", "white", "--format", "png",
                         "--report", dir.filePath("r.jsonl"), "-o", dir.filePath("out"), dir.filePath("product.png"),
                         dir.filePath("plain.png")});
    QVERIFY2(r.status == 0, qPrintable(r.err));
    QImage expected(1000, 1000, QImage::Format_RGB32);
    expected.fill(qRgb(255, 255, 255));
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 120; ++x)
            expected.setPixel(440 + x, 460 + y, product.pixel(x, y)); // (1000 - 120) / 2, (1000 - 80) / 2
    VERIFY_SAME_PIXELS(QImage(dir.filePath("out/product.png")).convertToFormat(QImage::Format_RGB32), expected);
    expected.fill(qRgb(255, 255, 255));
    for (int y = 0; y < 50; ++y)
        for (int x = 0; x < 50; ++x)
            expected.setPixel(475 + x, 475 + y, qRgb(251, 251, 251));
    VERIFY_SAME_PIXELS(QImage(dir.filePath("out/plain.png")).convertToFormat(QImage::Format_RGB32), expected);
    const QList<QJsonObject> lines = reportLines(dir.filePath("r.jsonl"));
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0]["reason"].toString(), QString());
    QCOMPARE(lines[1]["reason"].toString(),
             QStringLiteral("--trim-border 8: it is all of one colour (left as it was)"));
}

// Icons that keep their transparency: red hidden under transparent pixels
// never shows at the edges of the fitted picture, written with its alpha;
// an icon that fits already is noted and written as it was.
void tst_Batch::transparencyKeptThroughAFit()
{
    QTemporaryDir dir;
    QImage icon(60, 40, QImage::Format_ARGB32);
    icon.fill(qRgba(255, 0, 0, 0));
    for (int y = 9; y < 31; ++y)
        for (int x = 17; x < 43; ++x)
            icon.setPixel(x, y, qRgba(0, 0, 255, 255));
    QVERIFY(writeFile(dir.filePath("icon.png"), png(icon, 6, 8)));
    QVERIFY(writeFile(dir.filePath("small.png"), png(icon.copy(10, 5, 20, 10), 6, 8)));
    const Run r = batch({"-q", "--fit", "25x25", "--background", "transparent", "--format", "png", "--report",
                         dir.filePath("r.jsonl"), "-o", dir.filePath("out"), dir.filePath("icon.png"),
                         dir.filePath("small.png")});
    QVERIFY2(r.status == 0, qPrintable(r.err));
    const QImage out = QImage(dir.filePath("out/icon.png")).convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(out.size(), QSize(25, 17));
    int partly = 0;
    for (int y = 0; y < out.height(); ++y)
        for (int x = 0; x < out.width(); ++x) {
            const QRgb p = out.pixel(x, y);
            partly += qAlpha(p) > 0 && qAlpha(p) < 255;
            QVERIFY2(qAlpha(p) == 0 || (qRed(p) == 0 && qGreen(p) == 0 && qBlue(p) == 255),
                     qPrintable(QStringLiteral("(%1, %2) is %3").arg(x).arg(y).arg(p, 8, 16)));
        }
    QVERIFY(partly > 0);
    QCOMPARE(qAlpha(out.pixel(0, 0)), 0);
    const QImage small(dir.filePath("out/small.png")), given = icon.copy(10, 5, 20, 10);
    VERIFY_SAME_PIXELS(small.convertToFormat(QImage::Format_ARGB32_Premultiplied),
                       given.convertToFormat(QImage::Format_ARGB32_Premultiplied));
    QCOMPARE(small.convertToFormat(QImage::Format_Alpha8), given.convertToFormat(QImage::Format_Alpha8));
    const QList<QJsonObject> lines = reportLines(dir.filePath("r.jsonl"));
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[1]["reason"].toString(), QStringLiteral("--fit 25x25: it fits already (left as it was)"));
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

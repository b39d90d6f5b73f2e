// pixelvane-batch as a user runs it: runs that go on past refusals, files
// never lost or written outside, reruns, hostile inputs, interruption,
// usage errors, dry runs.
#include "batchharness.h"

using namespace batchtests;

class tst_BatchSafety : public QObject {
    Q_OBJECT
private slots:
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
    void dryRunChangesNothing();
    void linkSwapRaceWritesNothingOutside();
    void otherHostsTemporaryFilesAreLeftAlone();
};

void tst_BatchSafety::runGoesOnPastRefusals()
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

void tst_BatchSafety::neverLosesAFile()
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
void tst_BatchSafety::usageErrorsChangeNothing_data()
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

void tst_BatchSafety::usageErrorsChangeNothing()
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
void tst_BatchSafety::linksInTheOutputFolder()
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
void tst_BatchSafety::rerunsKnowWhatTheyMade_data()
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

void tst_BatchSafety::rerunsKnowWhatTheyMade()
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
void tst_BatchSafety::hostileInputs_data()
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
    QTest::newRow("a WebP wider than WebP holds, refused by a dry run too")
        << "BATCH -q -n --format webp -o out wide-cut.jpg 1>&2" << 1 << "would refuse: out/wide-cut.webp (20000 x 8 is beyond";
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
    // A disk that refuses one file's flush (FAULTY_DISK, preloaded, fails
    // those whose name holds PIXELVANE_SYNC_FAULT): that file is absent, no
    // line tells it as written, and the other files are written.
    const QString refuse = QStringLiteral("cp small.png other.png; LD_PRELOAD=FAULTY_DISK ASAN_OPTIONS=verify_asan_link_order=0 "
                                          "PIXELVANE_SYNC_FAULT=");
    QTest::newRow("a flush the disk refuses fails its picture alone")
        << refuse + "small.bmp BATCH -q --report r.jsonl -o out small.png other.png; s=$?; "
                    "test -s out/other.bmp -a ! -e out/small.bmp && test -z \"$(ls -A out | grep -v other.bmp)\" && "
                    "grep -q '\"other.png\".*\"written\"' r.jsonl && ! grep -q '\"small.png\".*written' r.jsonl || s=9; exit $s"
        << 1 << "small.png: failed: Input/output error";
    QTest::newRow("a refused flush of an item's second file tells that file alone")
        << refuse + "trimmed/.small BATCH -q -j 1 --save big --trim 10 --save trimmed --report r.jsonl -o out small.png other.png; "
                    "s=$?; test -s out/big/small.bmp -a -s out/trimmed/other.bmp -a ! -e out/trimmed/small.bmp && "
                    "grep -q '^{\"input\":\"small.png\",[^[]*\"status\":\"failed\".*\"outputs\":\\[{[^}]*\"status\":\"written\""
                    "[^}]*},{[^}]*\"status\":\"failed\",\"width\":null' r.jsonl || s=9; exit $s"
        << 1 << "small.png: failed: Input/output error";
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

void tst_BatchSafety::hostileInputs()
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
    command.replace(QStringLiteral("FAULTY_DISK"), QStringLiteral(PIXELVANE_SYNC_FAULT));
    p.start(QStringLiteral("sh"), {"-c", command.replace(QStringLiteral("BATCH"), QStringLiteral(PIXELVANE_BATCH))});
    QVERIFY(p.waitForFinished(60000));
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QCOMPARE(p.exitCode(), status);
    QVERIFY2(err.contains(message), qPrintable(err));
}

// Names that are not UTF-8 are kept byte for byte, and shown escaped.
void tst_BatchSafety::namesAsBytes()
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
void tst_BatchSafety::outOfMemoryFailsOnePicture_data()
{
    QTest::addColumn<int>("side"); // of the flat picture that needs too much
    QTest::addColumn<QString>("options");
    QTest::addColumn<int>("kilobytes"); // of address space the run may have
    QTest::newRow("decoding") << 10000 << "" << 400000;
    QTest::newRow("encoding AVIF") << 4000 << "--format avif" << 300000;
}

void tst_BatchSafety::outOfMemoryFailsOnePicture()
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

void tst_BatchSafety::interruptLeavesNothingHalfWritten_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("Ctrl+C") << int(SIGINT);
    QTest::newRow("hang-up") << int(SIGHUP);
}

// Interrupted, a run finishes the files being written and leaves nothing
// half-written, and its report tells only what was written; a killed
// run's temporary file is cleared by the next run on the same machine,
// another machine's is left alone.
void tst_BatchSafety::interruptLeavesNothingHalfWritten()
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

void tst_BatchSafety::usageErrorsCreateNothing_data()
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

void tst_BatchSafety::usageErrorsCreateNothing()
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
void tst_BatchSafety::dryRunChangesNothing()
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
void tst_BatchSafety::linkSwapRaceWritesNothingOutside()
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
void tst_BatchSafety::otherHostsTemporaryFilesAreLeftAlone()
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

QTEST_GUILESS_MAIN(tst_BatchSafety)
#include "tst_batchsafety.moc"

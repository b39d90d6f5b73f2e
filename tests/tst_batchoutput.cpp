// pixelvane-batch as a user runs it: the files it writes, byte for byte
// the window's saves, from the part decoded, framed, named and with the
// metadata kept.
#include "batchharness.h"

using namespace batchtests;

class tst_BatchOutput : public QObject {
    Q_OBJECT
private slots:
    void samePixelsAsTheWindow_data();
    void samePixelsAsTheWindow();
    void savesAreTheWindowsSaves();
    void fastIsCloseToExact_data();
    void fastIsCloseToExact();
    void framedFromThePartDecoded_data();
    void framedFromThePartDecoded();
    void productOnAWhiteSquare();
    void transparencyKeptThroughAFit();
    void namedBySize();
    void keptMetadataReachesTheFiles();
};

void tst_BatchOutput::samePixelsAsTheWindow_data()
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

void tst_BatchOutput::samePixelsAsTheWindow()
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

// Several --save steps: each file is byte for byte the window's save at that
// point of the same clicks, from one decode; the report lists them all. A
// picture already of the size asked for goes on as it is.
void tst_BatchOutput::savesAreTheWindowsSaves()
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

void tst_BatchOutput::fastIsCloseToExact_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QSize>("from");
    QTest::addColumn<QSize>("to");
    QTest::addColumn<QString>("step");
    QTest::addColumn<QString>("container"); // jpg; heic (a quarter-size thumbnail), turned by irot
    for (const char *step : {"--shrink", "--fit"})
        for (Kind kind : {Kind::Smooth, Kind::HardEdges})
            for (QSize to : {QSize(160, 120), QSize(200, 150), QSize(390, 292), QSize(480, 360)})
                QTest::addRow("%s %s to %dx%d", step, kind == Kind::HardEdges ? "hard edges" : "smooth", to.width(),
                              to.height())
                    << int(kind) << QSize(2400, 1800) << to << QString::fromLatin1(step) << QStringLiteral("jpg");
    // Where an output pixel covers a whole number of periods, the exact
    // shrink is flat too; these do not.
    QTest::newRow("stripes of period 3, 1600x1200 to 390x292")
        << int(Kind::Stripes) << QSize(1600, 1200) << QSize(390, 292) << QStringLiteral("--shrink") << QStringLiteral("jpg");
    QTest::newRow("stripes of period 3, 2000x1500 to 480x360")
        << int(Kind::Stripes) << QSize(2000, 1500) << QSize(480, 360) << QStringLiteral("--shrink") << QStringLiteral("jpg");
    // A HEIC's thumbnail stands in where it has twice the result's pixels
    // on each side, else the primary image is decoded.
    QTest::newRow("HEIC thumbnail, --shrink to 128x96")
        << int(Kind::Smooth) << QSize(1024, 768) << QSize(128, 96) << QStringLiteral("--shrink") << QStringLiteral("heic");
    QTest::newRow("HEIC thumbnail, --fit into 128x128")
        << int(Kind::Smooth) << QSize(1024, 768) << QSize(128, 128) << QStringLiteral("--fit") << QStringLiteral("heic");
    QTest::newRow("HEIC thumbnail turned by irot, --shrink to 96x128")
        << int(Kind::Smooth) << QSize(1024, 768) << QSize(96, 128) << QStringLiteral("--shrink") << QStringLiteral("heic turned");
    QTest::newRow("HEIC thumbnail too small, --shrink to 160x120")
        << int(Kind::Smooth) << QSize(1024, 768) << QSize(160, 120) << QStringLiteral("--shrink") << QStringLiteral("heic");
}

// The bounds the README states: smooth photos differ little; at hard,
// high-contrast edges a reduced pixel that an output pixel covers in part
// is taken as uniform, which it is not. Fine periodic patterns have no
// small bound: the exact shrink aliases them into bands, while the reduced
// decode has smoothed them away; the difference there is beyond the hard
// edges' bound. A HEIC's thumbnail, coded apart from a smooth scaling,
// keeps within the smooth bound (measured: mean 0.47, worst 4).
void tst_BatchOutput::fastIsCloseToExact()
{
    QFETCH(int, kind);
    QFETCH(QSize, from);
    QFETCH(QSize, to);
    QFETCH(QString, step);
    QFETCH(QString, container);
    QTemporaryDir dir;
    const QString input = dir.filePath(container == u"jpg" ? "photo.jpg" : "photo.heic");
    const int w = from.width(), h = from.height();
    const QImage source = Kind(kind) == Kind::Smooth      ? photo(w, h)
                          : Kind(kind) == Kind::HardEdges ? hardEdges(w, h)
                                                          : stripes(w, h, 3);
    QSize thumbnail; // upright
    if (container == u"jpg") {
        QVERIFY(writeFile(input, jpeg(source, 90)));
    } else {
        // Display P3, told by the primary image's profile alone.
        HeifOptions o;
        o.lossless = false;
        o.icc = iccProfile(Profile::DisplayP3);
        o.thumbnail = from / 4;
        o.orientation = container.endsWith(u"turned") ? 6 : 1;
        QVERIFY(writeFile(input, heif(inProfile(source, o.icc), o)));
        thumbnail = o.orientation == 6 ? o.thumbnail.transposed() : o.thumbnail;
    }
    const QString size = QStringLiteral("%1x%2").arg(to.width()).arg(to.height());
    QCOMPARE(batch({"-q", step, size, "-o", dir.filePath("exact"), input}).status, 0);
    QCOMPARE(batch({"-q", "--fast", step, size, "-o", dir.filePath("fast"), input}).status, 0);
    const QImage exact(dir.filePath("exact/photo.bmp")), fast(dir.filePath("fast/photo.bmp"));
    QCOMPARE(fast.size(), exact.size());
    if (thumbnail.isValid() && (thumbnail.width() < 2 * exact.width() || thumbnail.height() < 2 * exact.height())) {
        VERIFY_SAME_PIXELS(fast, exact);
        return;
    }
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

void tst_BatchOutput::framedFromThePartDecoded_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::newRow("crop, fit") << QStringList{"--crop", "161x90", "--fit", "60x60"};
    QTest::newRow("trim, pad") << QStringList{"--trim", "7", "--pad", "100x100", "--background", "#204060"};
    QTest::newRow("fit xH, crop") << QStringList{"--fit", "x101", "--crop", "50x50"};
}

// A fit or a pad planned from a JPEG's header scales the part decoded; the
// same steps after a border trim that cuts nothing, which decodes the
// picture whole, give the same pixels.
void tst_BatchOutput::framedFromThePartDecoded()
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
void tst_BatchOutput::productOnAWhiteSquare()
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
void tst_BatchOutput::transparencyKeptThroughAFit()
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
void tst_BatchOutput::namedBySize()
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

void tst_BatchOutput::keptMetadataReachesTheFiles()
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

QTEST_GUILESS_MAIN(tst_BatchOutput)
#include "tst_batchoutput.moc"

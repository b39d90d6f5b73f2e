// Decoding JPEG: sampling, CMYK, EXIF orientation, parts and reductions
// decoded alone, and damage.
#include "files/decoders.h"
#include "filetests.h"

#include <QTest>

using namespace pv;
using namespace testimages;
using namespace filetests;

class tst_Jpegread : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void jpegVariants_data();
    void jpegVariants();
    void jpegCmyk();
    void jpegExifOrientation_data();
    void jpegExifOrientation();
    void jpegDamage_data();
    void jpegDamage();
    void jpegRegions_data();
    void jpegRegions();
    void window_data();
    void window();
};

void tst_Jpegread::initTestCase() { useStandInDecoder(); }

// A JPEG with `count` bytes of its first scan's entropy-coded data lost,
// `at` bytes into it: the decoder falls out of step, finds its way back
// and runs out of data before the last rows.
QByteArray bytesLost(const QByteArray &jpeg, qsizetype at, int count)
{
    const qsizetype sos = jpeg.indexOf("\xff\xda");
    const qsizetype data = sos + 2 + ((uchar(jpeg[sos + 2]) << 8) | uchar(jpeg[sos + 3]));
    return QByteArray(jpeg).remove(data + at, count);
}

void tst_Jpegread::jpegVariants_data()
{
    QTest::addColumn<bool>("progressive");
    QTest::addColumn<int>("colours");
    QTest::newRow("baseline") << false << 3;
    QTest::newRow("progressive") << true << 3;
    QTest::newRow("greyscale") << false << 1;
}

void tst_Jpegread::jpegVariants()
{
    QFETCH(bool, progressive);
    QFETCH(int, colours);
    const QImage source = photo(64, 48);
    const QImage image = decoded(jpeg(source, 100, progressive, colours));
    QCOMPARE(image.size(), source.size());
    QImage expected = source;
    if (colours == 1)
        for (int y = 0; y < source.height(); ++y)
            for (int x = 0; x < source.width(); ++x) {
                const int g = qGray(source.pixel(x, y));
                expected.setPixel(x, y, qRgb(g, g, g));
            }
    // JPEG is lossy; at quality 100 a smooth picture comes back within a few levels.
    QVERIFY(distance(image, expected).worst <= 4);
}

void tst_Jpegread::jpegCmyk()
{
    const QImage source = quadrants(32, 32);
    const QImage image = decoded(jpeg(source, 100, false, 4));
    QCOMPARE(image.size(), source.size());
    QVERIFY(distance(image, source).worst <= 4);
    // With black ink the products round as libjpeg's own tools round them.
    QImage inked(23, 7, QImage::Format_ARGB32);
    for (int y = 0; y < inked.height(); ++y)
        for (int x = 0; x < inked.width(); ++x)
            inked.setPixel(x, y, qRgba(x * 11, y * 37, 255 - x * 5, 60 + x * 8 + y * 3));
    const QByteArray cmyk = jpeg(inked, 90, false, 4);
    const QString diff = firstDifference(decoded(cmyk), cmykAsLibjpegConverts(cmyk));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void tst_Jpegread::jpegExifOrientation_data()
{
    QTest::addColumn<int>("orientation");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRgb>("topLeft"); // colour of the upright picture's top-left corner
    QTest::addColumn<int>("filler");   // bytes of APP15 markers before the frame
    // Stored picture: red top-left, green top-right, blue bottom-left, yellow bottom-right.
    QTest::newRow("1 as stored") << 1 << QSize(64, 32) << qRgb(255, 0, 0) << 0;
    QTest::newRow("3 upside down") << 3 << QSize(64, 32) << qRgb(255, 255, 0) << 0;
    QTest::newRow("6 turned right") << 6 << QSize(32, 64) << qRgb(0, 0, 255) << 0;
    QTest::newRow("8 turned left") << 8 << QSize(32, 64) << qRgb(0, 255, 0) << 0;
    QTest::newRow("2 mirrored") << 2 << QSize(64, 32) << qRgb(0, 255, 0) << 0;
    QTest::newRow("6, header beyond 64 KiB") << 6 << QSize(32, 64) << qRgb(0, 0, 255) << 3 * 65535;
}

void tst_Jpegread::jpegExifOrientation()
{
    QFETCH(int, orientation);
    QFETCH(QSize, size);
    QFETCH(QRgb, topLeft);
    QFETCH(int, filler);
    QByteArray bytes = withExifOrientation(jpeg(quadrants(64, 32), 100), orientation);
    for (int i = 0; i < filler / 65535; ++i)
        bytes.insert(2, QByteArray("\xff\xef\xff\xff", 4) + QByteArray(65533, 'x'));
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("a.jpg"), bytes));
    const Made<QSize> header = pictureSize(dir.filePath("a.jpg"));
    QVERIFY(header);
    QCOMPARE(header.value(), size);
    const QImage image = decoded(bytes);
    QCOMPARE(image.size(), size);
    const QRgb corner = image.pixel(2, 2);
    QVERIFY2(std::abs(qRed(corner) - qRed(topLeft)) < 8 && std::abs(qGreen(corner) - qGreen(topLeft)) < 8 &&
                 std::abs(qBlue(corner) - qBlue(topLeft)) < 8,
             qPrintable(QString::number(corner, 16)));
}

void tst_Jpegread::jpegDamage_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("opens");
    const QByteArray good = jpeg(photo(96, 64), 90);
    const QByteArray progressive = jpeg(photo(96, 64), 90, true);
    for (int cut : {20, 200, int(good.size() / 2), int(good.size() - 40)})
        QTest::addRow("cut at %d", cut) << good.left(cut) << false;
    QTest::newRow("progressive cut in a later scan") << progressive.left(progressive.size() * 3 / 4) << false;
    // All the scan data there, only the end marker missing: every viewer opens it.
    QTest::newRow("missing end marker") << good.left(good.size() - 2) << true;
    QTest::newRow("progressive, missing end marker") << progressive.left(progressive.size() - 2) << true;
    // Cut exactly before a scan: no scan is damaged, but one is missing.
    QTest::newRow("progressive cut between scans") << progressive.left(progressive.lastIndexOf("\xff\xda")) << false;
    // Not FF D8 FF: still a JPEG, decoded (and refused when cut) by our decoder.
    const QByteArray junkAfterStart = good.left(2) + QByteArray("\x00\x12\x34", 3) + good.mid(2);
    QTest::newRow("junk after the start marker") << junkAfterStart << true;
    QTest::newRow("junk after the start marker, cut short") << junkAfterStart.left(junkAfterStart.size() * 2 / 3) << false;
    // Refused while its colours are being converted on the other core.
    const QByteArray adobe = jpeg(photo(96, 64), 90, false, 3, iccProfile(Profile::AdobeRgb));
    QTest::newRow("with a profile, cut short") << adobe.left(adobe.size() * 2 / 3) << false;
    QTest::newRow("data after the end") << good + QByteArray(500, 'x') << true;
    // Stray bytes between the first marker segment and the next marker.
    const int app0End = 4 + ((uchar(good[4]) << 8) | uchar(good[5]));
    QTest::newRow("bytes between markers") << good.left(app0End) + QByteArray("\x00\x12\x34", 3) + good.mid(app0End) << true;
    QByteArray garbage = good;
    for (qsizetype i = garbage.size() / 2; i < garbage.size() - 2; ++i)
        garbage[i] = char(0xff & (i * 37));
    QTest::newRow("garbage in the scan") << garbage << false;
    // Beyond 500 scans a file is refused: thousands of them take minutes.
    QTest::newRow("379 scans") << jpeg(photo(96, 64), 90, true, 1, QByteArray(), 5) << true;
    QTest::newRow("568 scans") << jpeg(photo(96, 64), 90, true, 1, QByteArray(), 8) << false;
}

void tst_Jpegread::jpegDamage()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, opens);
    const QImage d = decoded(bytes);
    QCOMPARE(!d.isNull(), opens);
    if (opens)
        QCOMPARE(d.size(), QSize(96, 64));
}

// Decoding a part of a JPEG gives exactly the pixels of the whole decode
// cut to it, whatever the sampling, scans, restarts, orientation, and
// wherever the part lies; a file the whole decode refuses, the part's
// refuses with the same reason, wherever the damage lies.
void tst_Jpegread::jpegRegions_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QRect>("region"); // of the upright picture
    QTest::addColumn<bool>("opens");
    const QImage source = hardEdges(203, 151);
    const QList<QRect> rects{QRect(37, 29, 101, 77), QRect(0, 0, 64, 48), QRect(150, 100, 53, 51),
                             QRect(17, 9, 3, 5), QRect(0, 75, 203, 2)};
    const struct {
        const char *name;
        int h, v;
        bool progressive;
        int restart;
    } layouts[] = {{"4:2:0", 2, 2, false, 0}, {"4:2:2", 2, 1, false, 0}, {"4:4:0", 1, 2, false, 0},
                   {"4:1:1", 4, 1, false, 0}, {"4:4:4", 1, 1, false, 0}, {"grey", 0, 0, false, 0},
                   {"progressive 4:2:0", 2, 2, true, 0}, {"restart markers", 2, 2, false, 1}};
    for (const auto &l : layouts) {
        const QByteArray bytes = jpegLayout(source, l.h, l.v, l.progressive, l.restart);
        for (const QRect &r : rects)
            QTest::addRow("%s at %d,%d %dx%d", l.name, r.x(), r.y(), r.width(), r.height()) << bytes << r << true;
    }
    const QByteArray plain = jpegLayout(source, 2, 2);
    for (int orientation = 2; orientation <= 8; ++orientation) {
        const QByteArray turned = withExifOrientation(plain, orientation);
        const bool swap = orientation >= 5;
        for (const QRect &r : {QRect(37, 29, 101, 77), QRect(0, 0, 50, 40), QRect(swap ? 98 : 150, swap ? 150 : 98, 51, 53)})
            QTest::addRow("orientation %d at %d,%d", orientation, r.x(), r.y()) << turned << r << true;
    }
    // Damage in rows the part skips or stops before is seen all the same.
    const QByteArray baseline = jpegLayout(source, 2, 2);
    const QRect middle(37, 64, 101, 40);
    QTest::newRow("bytes lost above the part") << bytesLost(baseline, 16, 300) << middle << false;
    QTest::newRow("bytes lost below the part") << bytesLost(baseline, baseline.size() * 3 / 4, 100) << QRect(37, 9, 101, 20) << false;
    const QByteArray progressive = jpegLayout(source, 2, 2, true);
    const QByteArray beforeLastScan = progressive.left(progressive.lastIndexOf("\xff\xda"));
    QTest::newRow("progressive cut between scans") << beforeLastScan << middle << false;
    // Ended after any scan, its coefficients left coarse on purpose: every
    // decoder opens it.
    int scan = 0;
    for (qsizetype at = progressive.indexOf("\xff\xda", 2); at > 0; at = progressive.indexOf("\xff\xda", at + 2)) {
        if (scan++ == 0)
            continue;
        for (const QRect &r : {QRect(32, 48, 96, 64), QRect(150, 100, 53, 51)})
            QTest::addRow("progressive ended after scan %d, at %d,%d", scan - 1, r.x(), r.y())
                << progressive.left(at) + "\xff\xd9" << r << true;
    }
}

void tst_Jpegread::jpegRegions()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QRect, region);
    QFETCH(bool, opens);
    OpenRequest request{kBackground, {}, {}};
    const Made<Opened> decodedWhole = decodePicture(bytes, request);
    request.plan = [region](QSize) { return DecodePlan{1, region, QSize()}; };
    const Made<Opened> part = decodePicture(bytes, request);
    QCOMPARE(decodedWhole.ok(), opens);
    if (!opens) {
        QVERIFY2(!part.ok(), qPrintable("the part opens, the whole is refused: " +
                                        (decodedWhole ? QString() : decodedWhole.reason().text)));
        QCOMPARE(part.reason().text, decodedWhole.reason().text);
        return;
    }
    QVERIFY2(part.ok(), qPrintable(part ? QString() : part.reason().text));
    const QImage whole = decodedWhole->image;
    QVERIFY2(part->region.contains(region), "the part decoded does not cover the part asked for");
    QVERIFY2(part->region.width() * part->region.height() < whole.width() * whole.height() || region == whole.rect(),
             "decoded whole");
    VERIFY_SAME_PIXELS(part->image.copy(region.translated(-part->region.topLeft())), whole.copy(region));
}

// The window a part's decode reads, worked out by hand for a 100 x 80
// stored picture: the part asked for in output pixels, an iMCU more around
// it where the picture goes on, and the upright pixels the part stands for.
void tst_Jpegread::window_data()
{
    QTest::addColumn<int>("orientation");
    QTest::addColumn<QRect>("region"); // upright; null: all
    QTest::addColumn<int>("d");
    QTest::addColumn<QRect>("out");
    QTest::addColumn<bool>("whole");
    QTest::addColumn<QRect>("decoded"); // x0, y0, width, lastRow - y0
    QTest::addColumn<QRect>("stands"); // upright
    QTest::newRow("all") << 1 << QRect() << 1 << QRect(0, 0, 100, 80) << true << QRect(0, 0, 100, 80)
                         << QRect(0, 0, 100, 80);
    QTest::newRow("middle, an iMCU around") << 1 << QRect(40, 30, 10, 10) << 1 << QRect(40, 30, 10, 10) << false
                                            << QRect(24, 14, 42, 42) << QRect(40, 30, 10, 10);
    QTest::newRow("half size, odd edges rounded out")
        << 1 << QRect(41, 31, 10, 10) << 2 << QRect(20, 15, 6, 6) << false << QRect(12, 7, 22, 22)
        << QRect(40, 30, 12, 12);
    QTest::newRow("all at half size") << 1 << QRect() << 2 << QRect(0, 0, 50, 40) << true << QRect(0, 0, 50, 40)
                                      << QRect(0, 0, 100, 80);
    QTest::newRow("beyond the edge: cut to the picture")
        << 1 << QRect(90, 70, 50, 50) << 1 << QRect(90, 70, 10, 10) << false << QRect(74, 54, 26, 26)
        << QRect(90, 70, 10, 10);
    // Turned a quarter clockwise to be shown: the upright top-left is the
    // stored bottom-left.
    QTest::newRow("orientation 6, top-left corner")
        << 6 << QRect(0, 0, 10, 10) << 1 << QRect(0, 70, 10, 10) << false << QRect(0, 54, 26, 26)
        << QRect(0, 0, 10, 10);
    QTest::newRow("orientation 3, top-left corner")
        << 3 << QRect(0, 0, 10, 10) << 1 << QRect(90, 70, 10, 10) << false << QRect(74, 54, 26, 26)
        << QRect(0, 0, 10, 10);
}

void tst_Jpegread::window()
{
    QFETCH(int, orientation);
    QFETCH(QRect, region);
    QFETCH(int, d);
    const QSize stored(100, 80);
    const QSize margin(16 / d, 16 / d);
    const JpegWindow w = jpegWindow(stored, orientation, region, d, QSize(100 / d, 80 / d), margin);
    QTEST(w.out, "out");
    QTEST(w.whole, "whole");
    QTEST(QRect(w.x0, w.y0, w.width, w.lastRow - w.y0), "decoded");
    QTEST(w.region, "stands");
}

QTEST_GUILESS_MAIN(tst_Jpegread)
#include "tst_jpegread.moc"

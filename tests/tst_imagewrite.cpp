// Writing pictures in every format: round trips, libjpeg-turbo's settings,
// size budgets.
#include "filetests.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

using namespace pv;
using namespace testimages;
using namespace filetests;

class tst_Imagewrite : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void writeRoundTrip();
    void webFormats_data();
    void webFormats();
    void jpegAsCjpegWrites_data();
    void jpegAsCjpegWrites();
    void sizeBudget_data();
    void sizeBudget();
};

void tst_Imagewrite::initTestCase() { useStandInDecoder(); }

void tst_Imagewrite::writeRoundTrip()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("out.bmp");
    // Content smaller than the block written: the rest is background.
    Surface s(7, 5, kBackground);
    Surface src = surfaceOf(pattern(4, 3));
    s.bitBlt(src, 4, 3, 0, 0);
    QVERIFY(save(s, 6, 5, path).isEmpty());
    QImage expected(6, 5, QImage::Format_RGB32);
    expected.fill(kBackground);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            expected.setPixel(x, y, src.pixel(x, y));
    // Read back by Qt's own BMP reader, not the program's.
    QImage back(path, "BMP");
    const QString diff = firstDifference(back, expected);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"out.bmp"});
}

// The web formats written come back at their size; lossless ones exactly.
void tst_Imagewrite::webFormats_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("lossless");
    QTest::addColumn<int>("tolerance"); // the largest difference of a channel
    QTest::newRow("WebP") << int(ImageFormat::Webp) << false << 40;
    QTest::newRow("WebP lossless") << int(ImageFormat::Webp) << true << 0;
    QTest::newRow("AVIF") << int(ImageFormat::Avif) << false << 40;
    QTest::newRow("JPEG XL") << int(ImageFormat::Jxl) << false << 40;
    QTest::newRow("JPEG XL lossless") << int(ImageFormat::Jxl) << true << 0;
}

void tst_Imagewrite::webFormats()
{
    QFETCH(int, format);
    QFETCH(bool, lossless);
    QFETCH(int, tolerance);
    QTemporaryDir dir;
    const QImage source = photo(61, 37);
    const QString path = dir.filePath("out");
    WriteRequest how;
    how.format = ImageFormat(format);
    how.quality = defaultQuality(how.format);
    how.lossless = lossless;
    QVERIFY(writePicture(source, path, how).ok());
    const QByteArray bytes = readFile(path);
    // Only the pixels: no EXIF, no XMP.
    QVERIFY(!bytes.contains("Exif") && !bytes.contains("XMP"));
    const QImage back = decoded(bytes);
    QCOMPARE(back.size(), source.size());
    const int worst = distance(back, source).worst;
    QVERIFY2(worst <= tolerance, qPrintable(QString::number(worst)));
}

// JPEGs written with optimised tables, progressive or 4:4:4 hold the
// pixels cjpeg makes of the same BMP with the same settings, in no more
// bytes than cjpeg's optimised tables take; tables fitted to a sample of a
// tall picture's rows in at most `slack` per mille more, even when its
// first rows, noise, hold symbols no other row does.
void tst_Imagewrite::jpegAsCjpegWrites_data()
{
    QTest::addColumn<bool>("progressive");
    QTest::addColumn<bool>("fullChroma");
    QTest::addColumn<QImage>("source");
    QTest::addColumn<int>("slack");
    const QImage small = hardEdges(203, 151);
    QImage noisyTop = photo(640, 1000);
    quint32 seed = 7;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < noisyTop.width(); ++x)
            noisyTop.setPixel(x, y, (seed = seed * 1664525u + 1013904223u) >> 8);
    QTest::newRow("optimised 4:2:0") << false << false << small << 0;
    QTest::newRow("progressive") << true << false << small << 0;
    QTest::newRow("4:4:4") << false << true << small << 0;
    QTest::newRow("progressive 4:4:4") << true << true << small << 0;
    QTest::newRow("sampled 4:2:0") << false << false << hardEdges(640, 1600) << 5;
    QTest::newRow("sampled 4:4:4") << false << true << hardEdges(480, 1200) << 5;
    QTest::newRow("sampled, noise only on top") << false << false << noisyTop << 20;
    // More bytes than pixels: the file outgrows the block it was begun in.
    QImage noise(800, 600, QImage::Format_RGB32);
    for (int y = 0; y < noise.height(); ++y)
        for (int x = 0; x < noise.width(); ++x)
            noise.setPixel(x, y, (seed = seed * 1664525u + 1013904223u) >> 8);
    QTest::newRow("noise, 4:4:4") << false << true << noise << 0;
}

void tst_Imagewrite::jpegAsCjpegWrites()
{
    QFETCH(bool, progressive);
    QFETCH(bool, fullChroma);
    QFETCH(QImage, source);
    QFETCH(int, slack);
    const QString cjpeg = QStandardPaths::findExecutable(QStringLiteral("cjpeg"));
    if (cjpeg.isEmpty())
        QSKIP("cjpeg (libjpeg-turbo-progs) is not installed");
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("in.bmp"), bmp(source, 24)));
    QStringList arguments{"-quality", "85", "-optimize", "-sample", fullChroma ? "1x1" : "2x2", "-outfile",
                          dir.filePath("cjpeg.jpg")};
    if (progressive)
        arguments << "-progressive";
    QCOMPARE(QProcess::execute(cjpeg, arguments << dir.filePath("in.bmp")), 0);
    WriteRequest how;
    how.format = ImageFormat::Jpeg;
    how.quality = 85;
    how.progressive = progressive;
    how.fullChroma = fullChroma;
    const QByteArray ours = encodePicture(source, how), theirs = readFile(dir.filePath("cjpeg.jpg"));
    QVERIFY(!ours.isEmpty() && !theirs.isEmpty());
    VERIFY_SAME_PIXELS(decoded(ours), decoded(theirs));
    QVERIFY2(ours.size() <= theirs.size() + theirs.size() * slack / 1000,
             qPrintable(QStringLiteral("%1 > %2").arg(ours.size()).arg(theirs.size())));
    // Progressive JPEGs start their frame with SOF2, the others with SOF0.
    QCOMPARE(ours.contains("\xff\xc2"), progressive);
}

// A budget the plain file fits gives that very file; one byte less gives
// a smaller file of a lower quality; a budget no quality fits fails.
void tst_Imagewrite::sizeBudget_data()
{
    QTest::addColumn<int>("format");
    QTest::newRow("JPEG") << int(ImageFormat::Jpeg);
    QTest::newRow("WebP") << int(ImageFormat::Webp);
    QTest::newRow("AVIF") << int(ImageFormat::Avif);
    QTest::newRow("JPEG XL") << int(ImageFormat::Jxl);
}

void tst_Imagewrite::sizeBudget()
{
    QFETCH(int, format);
    const QImage source = photo(120, 90);
    WriteRequest how;
    how.format = ImageFormat(format);
    how.quality = defaultQuality(how.format);
    const QByteArray plain = encodePicture(source, how);
    QVERIFY(!plain.isEmpty());
    how.maxBytes = plain.size();
    QVERIFY(encodePicture(source, how) == plain);
    how.maxBytes = plain.size() - 1;
    const QByteArray smaller = encodePicture(source, how);
    QVERIFY2(!smaller.isEmpty() && smaller.size() <= how.maxBytes, qPrintable(QString::number(smaller.size())));
    QCOMPARE(decoded(smaller).size(), source.size());
    how.maxBytes = 40;
    QString why;
    QVERIFY(encodePicture(source, how, &why).isEmpty());
    QVERIFY2(why.startsWith(QStringLiteral("does not fit in 40 bytes even at quality 1")), qPrintable(why));
}

QTEST_GUILESS_MAIN(tst_Imagewrite)
#include "tst_imagewrite.moc"

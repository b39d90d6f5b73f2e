// Decoding BMP: every header version and depth, RLE, alpha masks, the rows of
// a part read alone, and damaged files refused.
#include "filetests.h"

#include <QTest>

using namespace pv;
using namespace testimages;
using namespace filetests;

class tst_Bmpread : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void bmpVariants_data();
    void bmpVariants();
    void bmp16BitScalesChannels();
    void bmpRleStreams();
    void bmpRefused_data();
    void bmpRefused();
    void bmpAlpha_data();
    void bmpAlpha();
    void bmpRows();
};

void tst_Bmpread::initTestCase() { useStandInDecoder(); }

void tst_Bmpread::bmpVariants_data()
{
    QTest::addColumn<int>("bits");
    QTest::addColumn<bool>("topDown");
    QTest::addColumn<int>("colours");
    QTest::newRow("1 bit") << 1 << false << 2;
    QTest::newRow("4 bit") << 4 << false << 16;
    QTest::newRow("8 bit") << 8 << false << 256;
    QTest::newRow("8 bit top-down") << 8 << true << 200;
    QTest::newRow("24 bit") << 24 << false << 0;
    QTest::newRow("24 bit top-down") << 24 << true << 0;
    QTest::newRow("32 bit") << 32 << false << 0;
}

void tst_Bmpread::bmpVariants()
{
    QFETCH(int, bits);
    QFETCH(bool, topDown);
    QFETCH(int, colours);
    // Odd widths exercise row padding.
    QImage source = pattern(37, 11);
    if (colours) {
        for (int y = 0; y < source.height(); ++y)
            for (int x = 0; x < source.width(); ++x)
                source.setPixel(x, y, qRgb((x * 31 + y * 17) % colours, 255 - (x * 31 + y * 17) % colours, 7));
    }
    const QString diff = firstDifference(decoded(bmp(source, bits, topDown)), source);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void tst_Bmpread::bmp16BitScalesChannels()
{
    const QImage source = pattern(9, 5);
    QImage expected = source;
    for (int y = 0; y < source.height(); ++y)
        for (int x = 0; x < source.width(); ++x) {
            const QRgb c = source.pixel(x, y);
            auto scale = [](int v) { return ((v >> 3) * 255 + 15) / 31; };
            expected.setPixel(x, y, qRgb(scale(qRed(c)), scale(qGreen(c)), scale(qBlue(c))));
        }
    const QString diff = firstDifference(decoded(bmp(source, 16)), expected);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void tst_Bmpread::bmpRleStreams()
{
    const QList<QRgb> palette{qRgb(10, 0, 0), qRgb(0, 20, 0), qRgb(0, 0, 30), qRgb(40, 40, 40)};
    // Bottom row: a run of four of colour 1; top row: absolute 0 1 2 3.
    const QByteArray rle8("\x04\x01\x00\x00\x00\x04\x00\x01\x02\x03\x00\x01", 12);
    QImage expected(4, 2, QImage::Format_RGB32);
    for (int x = 0; x < 4; ++x) {
        expected.setPixel(x, 1, palette[1]);
        expected.setPixel(x, 0, palette[x]);
    }
    QString diff = firstDifference(decoded(bmpRle(4, 2, 8, palette, rle8)), expected);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));

    // RLE4 with a delta that skips two pixels: they show the background.
    const QByteArray rle4("\x02\x12\x00\x02\x02\x00\x00\x01", 8);
    QImage expected4(4, 1, QImage::Format_RGB32);
    expected4.setPixel(0, 0, palette[1]);
    expected4.setPixel(1, 0, palette[2]);
    expected4.setPixel(2, 0, kBackground);
    expected4.setPixel(3, 0, kBackground);
    diff = firstDifference(decoded(bmpRle(4, 1, 4, palette, rle4)), expected4);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void tst_Bmpread::bmpRefused_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray good = bmp(pattern(8, 8), 24);
    auto patched = [&](int at, quint32 value, int size = 4) {
        QByteArray b = good;
        for (int i = 0; i < size; ++i)
            b[at + i] = char((value >> (8 * i)) & 255);
        return b;
    };
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("BM only") << QByteArray("BM");
    QTest::newRow("text named bmp") << QByteArray("BM this is not a picture at all, just words.\n");
    QTest::newRow("zero width") << patched(18, 0);
    QTest::newRow("zero height") << patched(22, 0);
    QTest::newRow("negative width") << patched(18, quint32(-8));
    QTest::newRow("height INT_MIN") << patched(22, 0x80000000u);
    QTest::newRow("enormous") << patched(18, 0x7fffffff);
    QTest::newRow("impossible bit count") << patched(28, 7, 2);
    QTest::newRow("pixel data cut short") << good.left(good.size() - 10);
    QTest::newRow("data offset past the end") << patched(10, 1u << 30);
    QTest::newRow("RLE without its end") << bmpRle(4, 4, 8, {qRgb(1, 2, 3)}, QByteArray("\x04\x00\x00\x00", 4));
    QTest::newRow("RLE absolute run past the data") << bmpRle(4, 1, 8, {qRgb(1, 2, 3)}, QByteArray("\x00\x40\x00", 3));
    QTest::newRow("RLE run past the edge") << bmpRle(4, 1, 8, {qRgb(1, 2, 3)}, QByteArray("\x05\x00\x00\x01", 4));
    QTest::newRow("RLE delta past the edge") << bmpRle(4, 2, 8, {qRgb(1, 2, 3)}, QByteArray("\x00\x02\x01\x02\x00\x01", 6));
    QTest::newRow("RLE complete but without its end code")
        << bmpRle(2, 1, 8, {qRgb(1, 2, 3)}, QByteArray("\x02\x00\x00\x00", 4));
    QTest::newRow("jpeg compression") << patched(30, 4);
    // Found by fuzzing: a few hundred bytes of RLE claiming 683 megapixels.
    QTest::newRow("RLE claiming 28693 x 23810")
        << bmpRle(28693, 23810, 8, {qRgb(1, 2, 3)}, QByteArray(300, 't') + QByteArray("\x00\x01", 2));
}

void tst_Bmpread::bmpRefused()
{
    QFETCH(QByteArray, bytes);
    const Made<Opened> d = decodePicture(bytes, {kBackground, {}, {}});
    QVERIFY(!d.ok());
    QVERIFY(!d.reason().text.isEmpty());
}

void tst_Bmpread::bmpAlpha_data()
{
    QTest::addColumn<bool>("alphaMask");
    QTest::addColumn<int>("alpha");
    QTest::addColumn<bool>("laidOverBackground");
    QTest::newRow("alpha mask, transparent") << true << 0 << true;
    QTest::newRow("alpha mask, half") << true << 128 << true;
    QTest::newRow("no alpha mask: the fourth byte is not alpha") << false << 0 << false;
    QTest::newRow("alpha mask but no pixel uses it") << true << -1 << false;
}

void tst_Bmpread::bmpAlpha()
{
    QFETCH(bool, alphaMask);
    QFETCH(int, alpha);
    QFETCH(bool, laidOverBackground);
    QImage source(5, 3, QImage::Format_ARGB32);
    source.fill(qRgba(200, 100, 50, alpha < 0 ? 0 : 255));
    if (alpha >= 0)
        source.setPixel(1, 1, qRgba(10, 220, 30, alpha));
    const QImage image = decoded(bmpV5(source, alphaMask));
    // Uncompressed BMP files are decoded while they are read: the same.
    VERIFY_SAME_PIXELS(openedFromFile(bmpV5(source, alphaMask)), image);
    QCOMPARE(image.pixel(0, 0), qRgb(200, 100, 50));
    auto mix = [alpha](int c, int b) { return (c * alpha + b * (255 - alpha) + 127) / 255; };
    const QRgb expected = laidOverBackground ? qRgb(mix(10, qRed(kBackground)), mix(220, qGreen(kBackground)),
                                                    mix(30, qBlue(kBackground)))
                                             : source.pixel(1, 1) | 0xff000000;
    QCOMPARE(image.pixel(1, 1), expected);
}

// An uncompressed BMP read from a file reads only the rows of the part
// asked for; one whose header declares an alpha mask is read whole.
void tst_Bmpread::bmpRows()
{
    QTemporaryDir dir;
    const QImage source = pattern(41, 33);
    const QRect region(5, 7, 20, 11);
    QImage alpha = source.convertToFormat(QImage::Format_ARGB32);
    const struct {
        QByteArray bytes;
        bool whole;
    } files[] = {{bmp(source, 24), false}, {bmp(source, 24, true), false}, {bmp(source, 8), false},
                 {bmpV5(alpha, true), true}};
    for (const auto &f : files) {
        const QString path = dir.filePath("rows.bmp");
        QVERIFY(writeFile(path, f.bytes));
        OpenRequest request{kBackground, {}, {}};
        request.plan = [region](QSize) { return DecodePlan{1, region, QSize()}; };
        const Made<Opened> part = openPicture(path, request);
        QVERIFY(part.ok());
        QCOMPARE(part->fullSize, source.size());
        QCOMPARE(part->region, f.whole ? source.rect() : QRect(0, 7, 41, 11));
        VERIFY_SAME_PIXELS(part->image.copy(region.translated(-part->region.topLeft())), openedFromFile(f.bytes).copy(region));
    }
}

QTEST_GUILESS_MAIN(tst_Bmpread)
#include "tst_bmpread.moc"

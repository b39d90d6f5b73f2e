// Decoding GIF: the first frame of animations, transparency, and damaged files
// refused.
#include "filetests.h"

#include <QTest>

using namespace pv;
using namespace testimages;
using namespace filetests;

class tst_Gifread : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void gifFrames();
    void gifRefused_data();
    void gifRefused();
};

void tst_Gifread::initTestCase() { useStandInDecoder(); }

void tst_Gifread::gifFrames()
{
    QImage source(20, 10, QImage::Format_RGB32);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 20; ++x)
            source.setPixel(x, y, qRgb(x * 10, y * 20, (x + y) % 3 * 50));
    QString diff = firstDifference(decoded(gif(source)), source);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    diff = firstDifference(decoded(gif(source, -1, 1, true)), source);
    QVERIFY2(diff.isEmpty(), qPrintable("interlaced: " + diff));
    // An animation shows its first frame.
    diff = firstDifference(decoded(gif(source, -1, 3)), source);
    QVERIFY2(diff.isEmpty(), qPrintable("animation: " + diff));
    // The first colour (the top-left pixel's) made transparent shows the background.
    const QImage transparent = decoded(gif(source, 0));
    QCOMPARE(transparent.pixel(0, 0), kBackground);
    QCOMPARE(transparent.pixel(1, 0), source.pixel(1, 0));
}

void tst_Gifread::gifRefused_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QImage source = pattern(40, 40);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x)
            source.setPixel(x, y, qRgb((x * y) % 200, x, y));
    const QByteArray good = gif(source);
    QTest::newRow("cut in the picture") << good.left(good.size() / 2);
    QTest::newRow("header only") << good.left(13);
    QByteArray huge = good;
    huge[6] = huge[7] = huge[8] = huge[9] = char(0xff);
    QTest::newRow("screen 65535 x 65535") << huge;
    QByteArray broken = good;
    for (qsizetype i = 800; i < broken.size() - 1; ++i)
        broken[i] = char(0xff);
    QTest::newRow("broken LZW data") << broken;
}

void tst_Gifread::gifRefused()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(!decodePicture(bytes, {kBackground, {}, {}}).ok());
}

QTEST_GUILESS_MAIN(tst_Gifread)
#include "tst_gifread.moc"

// Decoding PNG: every colour type and depth, transparency laid over the
// background.
#include "filetests.h"

#include <QTest>

using namespace pv;
using namespace testimages;
using namespace filetests;

class tst_Pngread : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void pngKinds_data();
    void pngKinds();
};

void tst_Pngread::initTestCase() { useStandInDecoder(); }

// Every kind of PNG at 8 and 16 bits, with and without a tRNS colour:
// 16-bit samples rounded to 8 bits, alpha and the tRNS colour laid over
// the background.
void tst_Pngread::pngKinds_data()
{
    QTest::addColumn<int>("colourType");
    QTest::addColumn<int>("bits");
    QTest::addColumn<bool>("withTrns");
    for (int bits : {8, 16}) {
        for (int type : {0, 2, 4, 6}) {
            QTest::addRow("type %d, %d bits", type, bits) << type << bits << false;
            if (type == 0 || type == 2)
                QTest::addRow("type %d, %d bits, tRNS", type, bits) << type << bits << true;
        }
    }
}

void tst_Pngread::pngKinds()
{
    QFETCH(int, colourType);
    QFETCH(int, bits);
    QFETCH(bool, withTrns);
    const bool grey = colourType == 0 || colourType == 4;
    const bool alpha = colourType == 4 || colourType == 6;
    QImage source(13, 7, QImage::Format_ARGB32);
    for (int y = 0; y < source.height(); ++y)
        for (int x = 0; x < source.width(); ++x) {
            const int v = (x * 19 + y * 37) % 240;
            source.setPixel(x, y, qRgba(v, grey ? v : 255 - v, grey ? v : (v * 7) % 256, alpha ? (x * 40) % 256 : 255));
        }
    const QRgb key = source.pixel(2, 3) | 0xff000000u;
    const int low = 150;
    const QImage image = decoded(png(source, colourType, bits, withTrns ? std::optional(key) : std::nullopt, low));
    QCOMPARE(image.size(), source.size());
    // By the definition: a 16-bit sample is the 8-bit value v in its high
    // byte and v + low in its low byte.
    auto eight = [&](int v) { return bits == 8 ? v : int(std::lround((256.0 * v + (v ? std::min(255, v + low) : 0)) / 257.0)); };
    QImage expected(source.size(), QImage::Format_RGB32);
    for (int y = 0; y < source.height(); ++y)
        for (int x = 0; x < source.width(); ++x) {
            const QRgb p = source.pixel(x, y);
            const bool keyed = withTrns && (qRed(p) == qRed(key) && (grey || (qGreen(p) == qGreen(key) && qBlue(p) == qBlue(key))));
            const int a = keyed ? 0 : alpha ? eight(qAlpha(p)) : 255;
            auto mix = [a](int c, int b) { return (c * a + b * (255 - a) + 127) / 255; };
            const int r = eight(qRed(p)), g = grey ? r : eight(qGreen(p)), b = grey ? r : eight(qBlue(p));
            expected.setPixel(x, y, qRgb(mix(r, qRed(kBackground)), mix(g, qGreen(kBackground)), mix(b, qBlue(kBackground))));
        }
    VERIFY_SAME_PIXELS(image, expected);
}

QTEST_GUILESS_MAIN(tst_Pngread)
#include "tst_pngread.moc"

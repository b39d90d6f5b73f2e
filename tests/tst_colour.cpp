// Colour profiles: pictures converted to sRGB from the profile they carry.
#include "files/colour.h"
#include "filetests.h"

#include <QBuffer>
#include <QColorSpace>
#include <QTest>

using namespace pv;
using namespace testimages;
using namespace filetests;

class tst_Colour : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void colourProfiles_data();
    void colourProfiles();
    void srgbProfilesAreRecognised_data();
    void srgbProfilesAreRecognised();
    void colourKernelsAgree();
};

void tst_Colour::initTestCase() { useStandInDecoder(); }

void tst_Colour::colourProfiles_data()
{
    QTest::addColumn<QByteArray>("withProfile");
    QTest::addColumn<QByteArray>("withoutProfile");
    QTest::addColumn<int>("tolerance");
    // Muted colours: near the edge of sRGB's gamut one step of Adobe RGB's
    // 8 bits spans three of sRGB's.
    QImage source = photo(48, 32);
    for (int y = 0; y < source.height(); ++y)
        for (int x = 0; x < source.width(); ++x) {
            const QRgb c = source.pixel(x, y);
            source.setPixel(x, y, qRgb((qRed(c) + 128) / 2, (qGreen(c) + 128) / 2, (qBlue(c) + 128) / 2));
        }
    const QByteArray adobe = iccProfile(Profile::AdobeRgb);
    const QByteArray swapped = iccProfile(Profile::SwappedRedGreen);
    // Wide-gamut pixels with their profile open as the sRGB picture: within
    // 2 levels losslessly; two JPEGs also differ by JPEG's own loss.
    QTest::newRow("Adobe RGB BMP V5") << bmpV5(inProfile(source, adobe), false, adobe) << bmp(source, 24) << 2;
    QTest::newRow("Adobe RGB JPEG") << jpeg(inProfile(source, adobe), 100, false, 3, adobe) << jpeg(source, 100) << 4;
    QImage swappedPixels = source;
    for (int y = 0; y < source.height(); ++y)
        for (int x = 0; x < source.width(); ++x) {
            const QRgb c = source.pixel(x, y);
            swappedPixels.setPixel(x, y, qRgb(qGreen(c), qRed(c), qBlue(c)));
        }
    QTest::newRow("channels swapped back") << bmpV5(swappedPixels, false, swapped) << bmp(source, 24) << 1;
    QByteArray png;
    {
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        QImage wide = inProfile(source, adobe).convertToFormat(QImage::Format_RGB32);
        wide.setColorSpace(QColorSpace::fromIccProfile(adobe));
        wide.save(&buffer, "PNG");
    }
    QTest::newRow("Adobe RGB PNG") << png << bmp(source, 24) << 2;
    // An sRGB profile, or one that cannot be read, changes nothing.
    QTest::newRow("sRGB profile") << bmpV5(source, false, iccProfile(Profile::Srgb)) << bmp(source, 24) << 0;
    QTest::newRow("sRGB as HP writes it") << bmpV5(source, false, iccProfile(Profile::SrgbTabulated)) << bmp(source, 24) << 0;
    QTest::newRow("sRGB, v4 rounded colorants") << bmpV5(source, false, iccProfile(Profile::SrgbRounded)) << bmp(source, 24) << 0;
    QTest::newRow("unreadable profile") << bmpV5(source, false, QByteArray(300, 'x')) << bmp(source, 24) << 0;
    // Found by fuzzing: a header naming no colour space.
    QByteArray noSpace = iccProfile(Profile::AdobeRgb);
    noSpace.replace(16, 4, QByteArray(4, '\xff'));
    QTest::newRow("profile of no colour space") << bmpV5(source, false, noSpace) << bmp(source, 24) << 0;
    QTest::newRow("unreadable profile, JPEG") << jpeg(source, 90, false, 3, QByteArray(300, 'x')) << jpeg(source, 90) << 0;
}

void tst_Colour::colourProfiles()
{
    QFETCH(QByteArray, withProfile);
    QFETCH(QByteArray, withoutProfile);
    QFETCH(int, tolerance);
    const QImage converted = decoded(withProfile);
    const QImage expected = decoded(withoutProfile);
    QCOMPARE(converted.size(), expected.size());
    const int difference = distance(converted, expected).worst;
    QVERIFY2(difference <= tolerance, qPrintable(QString::number(difference)));
}

// Profiles that are sRGB cost nothing: no conversion is even made.
void tst_Colour::srgbProfilesAreRecognised_data()
{
    QTest::addColumn<int>("profile");
    QTest::addColumn<bool>("converted");
    QTest::newRow("Little CMS's sRGB") << int(Profile::Srgb) << false;
    QTest::newRow("HP's, tabulated") << int(Profile::SrgbTabulated) << false;
    QTest::newRow("v4, rounded colorants") << int(Profile::SrgbRounded) << false;
    QTest::newRow("sRGB colorants, gamma 2.2") << int(Profile::SrgbGamma22) << true;
    QTest::newRow("Adobe RGB") << int(Profile::AdobeRgb) << true;
}

void tst_Colour::srgbProfilesAreRecognised()
{
    QFETCH(int, profile);
    QTEST(ToSrgb::from(iccProfile(Profile(profile)), PixelLayout::Rgb) != nullptr, "converted");
}

void tst_Colour::colourKernelsAgree()
{
    // Noise over the whole range, and a width that leaves a tail after the
    // vector kernel's blocks of eight.
    QImage noise(1003, 5, QImage::Format_RGB32);
    quint32 state = 12345;
    for (int y = 0; y < noise.height(); ++y)
        for (int x = 0; x < noise.width(); ++x) {
            state = state * 1664525u + 1013904223u;
            noise.setPixel(x, y, state >> 8);
        }
    const QByteArray adobe = iccProfile(Profile::AdobeRgb);
    QImage vector = noise.copy(), plain = noise.copy();
    QVERIFY(convertToSrgb(vector, adobe, PixelLayout::Rgb, Work()));
    useVectorKernels(false);
    QVERIFY(convertToSrgb(plain, adobe, PixelLayout::Rgb, Work()));
    useVectorKernels(true);
    const QString diff = firstDifference(vector, plain);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

QTEST_GUILESS_MAIN(tst_Colour)
#include "tst_colour.moc"

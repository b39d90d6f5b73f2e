// Metadata kept in the written file: EXIF fields and colour profiles.
#include "files/metadata.h"
#include "filetests.h"

#include <QTest>

#include <libexif/exif-data.h>

using namespace pv;
using namespace testimages;
using namespace filetests;

Q_DECLARE_METATYPE(testimages::HeifOptions)

class tst_Metadata : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void metadataKept_data();
    void metadataKept();
    void profileKept_data();
    void profileKept();
};

void tst_Metadata::initTestCase() { useStandInDecoder(); }

// The rights and the date chosen are read back from every format; the
// position, maker notes and camera never reach the file.
void tst_Metadata::metadataKept_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("xmpOnly");
    for (ImageFormat f : {ImageFormat::Jpeg, ImageFormat::Png, ImageFormat::Webp, ImageFormat::Avif, ImageFormat::Jxl})
        QTest::addRow("%s", qPrintable(extensionOf(f))) << int(f) << false;
    QTest::newRow("rights from XMP into JPEG") << int(ImageFormat::Jpeg) << true;
}

void tst_Metadata::metadataKept()
{
    QFETCH(int, format);
    QFETCH(bool, xmpOnly);
    const QByteArray input = withPhotoMetadata(jpeg(photo(64, 48), 90), !xmpOnly, xmpOnly);
    OpenRequest request{kBackground, {}, {}};
    request.keep = KeepRights | KeepDate;
    const Made<Opened> opened = decodePicture(input, request);
    QVERIFY(opened.ok());
    WriteRequest how;
    how.format = ImageFormat(format);
    how.quality = 90;
    how.exif = opened->exif;
    const QByteArray out = encodePicture(opened->image, how);
    QVERIFY(!out.isEmpty());
    QCOMPARE(decoded(out).size(), QSize(64, 48));
    for (const char *never : {"PhoneMaker", "ModelX9", "SECRETNOTE"})
        QVERIFY2(!out.contains(never), never);
    const QByteArray block = exifBlock(out);
    QVERIFY(!block.isEmpty());
    ExifData *exif = exif_data_new_from_data(reinterpret_cast<const unsigned char *>(block.constData()), unsigned(block.size()));
    QVERIFY(exif);
    auto text = [&](ExifIfd ifd, ExifTag tag) {
        const ExifEntry *e = exif_content_get_entry(exif->ifd[ifd], tag);
        return e ? QByteArray(reinterpret_cast<const char *>(e->data)) : QByteArray();
    };
    const QByteArray artist = text(EXIF_IFD_0, EXIF_TAG_ARTIST), copyright = text(EXIF_IFD_0, EXIF_TAG_COPYRIGHT);
    const QByteArray date = text(EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL);
    const unsigned gps = exif->ifd[EXIF_IFD_GPS]->count;
    exif_data_unref(exif);
    QCOMPARE(artist, xmpOnly ? QByteArray("Xmp Creator") : QByteArray("Jane Doe"));
    QCOMPARE(copyright, xmpOnly ? QByteArray("Xmp Rights") : QByteArray("(c) Jane Doe"));
    QCOMPARE(date, xmpOnly ? QByteArray() : QByteArray("2024:05:06 07:08:09"));
    QCOMPARE(gps, 0u);
}

// A Display P3 picture kept in its colours: opened unconverted with its
// profile, written with it, it opens (converted) as the input does.
void tst_Metadata::profileKept_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("tolerance");
    QTest::newRow("BMP to PNG") << "bmp" << int(ImageFormat::Png) << 1;
    QTest::newRow("BMP to JPEG") << "bmp" << int(ImageFormat::Jpeg) << 24;
    QTest::newRow("BMP to WebP lossless") << "bmp" << int(ImageFormat::Webp) << 1;
    QTest::newRow("BMP to AVIF") << "bmp" << int(ImageFormat::Avif) << 40;
    QTest::newRow("BMP to JPEG XL lossless") << "bmp" << int(ImageFormat::Jxl) << 1;
    QTest::newRow("JPEG to PNG") << "jpeg" << int(ImageFormat::Png) << 1;
    // Decoded in the child process, which hands the profile back.
    QTest::newRow("HEIC to PNG") << "heic" << int(ImageFormat::Png) << 1;
}

void tst_Metadata::profileKept()
{
    QFETCH(QString, from);
    QFETCH(int, format);
    QFETCH(int, tolerance);
    const QByteArray p3 = iccProfile(Profile::DisplayP3);
    const QImage inP3 = inProfile(photo(64, 48), p3);
    HeifOptions heic;
    heic.chroma444 = true;
    const QByteArray plainHeic = from == u"heic" ? testimages::heif(inP3, heic) : QByteArray();
    heic.icc = p3;
    const QByteArray input = from == u"jpeg"   ? jpeg(inP3, 95, false, 3, p3)
                             : from == u"heic" ? testimages::heif(inP3, heic)
                                               : bmpV5(inP3, false, p3);
    // The same pixels without the profile: what opening leaves unconverted.
    const QImage unconverted = from == u"jpeg" ? decoded(jpeg(inP3, 95)) : from == u"heic" ? decoded(plainHeic) : inP3;
    OpenRequest request{kBackground, {}, {}};
    request.keep = KeepProfile;
    const Made<Opened> kept = decodePicture(input, request);
    QVERIFY(kept.ok());
    QCOMPARE(kept->profile, p3);
    VERIFY_SAME_PIXELS(kept->image, unconverted);
    WriteRequest how;
    how.format = ImageFormat(format);
    how.quality = 95;
    how.lossless = canBeLossless(how.format);
    how.icc = kept->profile;
    const QByteArray out = encodePicture(kept->image, how);
    QVERIFY(!out.isEmpty());
    const Distance d = distance(decoded(out), decoded(input));
    QVERIFY2(d.worst <= tolerance, qPrintable(QString::number(d.worst)));
}

QTEST_GUILESS_MAIN(tst_Metadata)
#include "tst_metadata.moc"

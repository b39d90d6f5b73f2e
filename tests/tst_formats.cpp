// The format table: every file is told by its first bytes as the format it
// is, every format written makes a file told as that format, and --format's
// names and the folder scan's extensions come from the rows.
#include "files/formats.h"
#include "filetests.h"

#include <QBuffer>
#include <QImageWriter>
#include <QTest>

using namespace pv;
using namespace testimages;

namespace {

QByteArray qtWritten(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, format).write(image);
    return bytes;
}

QString nameOf(const FormatRow &row) { return QString::fromLatin1(row.name.data(), qsizetype(row.name.size())); }

} // namespace

class tst_Formats : public QObject {
    Q_OBJECT
private slots:
    void told_data();
    void told();
    void writtenFileIsTold_data();
    void writtenFileIsTold();
    void named_data();
    void named();
    void extensions();
};

void tst_Formats::told_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("format");
    const QImage image = photo(24, 16);
    QTest::newRow("bmp") << bmp(image, 24) << "BMP";
    QTest::newRow("jpeg") << jpeg(image) << "JPEG";
    QTest::newRow("gif") << gif(image) << "GIF";
    QTest::newRow("png") << png(image, 2, 8) << "PNG";
    QTest::newRow("tiff") << qtWritten(image, "tiff") << "TIFF";
    QTest::newRow("heic") << heif(image) << "AVIF";
    QTest::newRow("jxl codestream") << jxl(image) << "JPEG XL";
    QTest::newRow("jxl container") << jxl(image, iccProfile(Profile::DisplayP3)) << "JPEG XL";
    QTest::newRow("ftyp of a video") << QByteArray("\0\0\0\x18" "ftypisom\0\0\0\0isomiso2", 24) << "other";
    QTest::newRow("two bytes of a jpeg") << QByteArray("\xff\xd8") << "JPEG";
    QTest::newRow("empty") << QByteArray() << "other";
    QTest::newRow("text") << QByteArray("P3 2 2 255\n") << "other";
}

void tst_Formats::told()
{
    QFETCH(QByteArray, file);
    QVERIFY(!file.isEmpty() || QTest::currentDataTag() == QByteArrayLiteral("empty"));
    QFETCH(QString, format);
    QCOMPARE(nameOf(formatOf(file.left(kSignatureBytes))), format);
}

// A format the writers' rows miss would be written as another: each
// written file must be told as the format asked for.
void tst_Formats::writtenFileIsTold_data()
{
    QTest::addColumn<int>("format");
    for (int f = 0; f < kImageFormats; ++f)
        QTest::newRow(formatRow(ImageFormat(f)).extension.data()) << f;
}

void tst_Formats::writtenFileIsTold()
{
    QFETCH(int, format);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("out"));
    WriteRequest how;
    how.format = ImageFormat(format);
    how.quality = defaultQuality(how.format);
    const Made<void> written = writePicture(photo(40, 30), path, how);
    QVERIFY2(written, qPrintable(written ? QString() : written.reason().text));
    const FormatRow &row = formatOf(readFile(path).left(kSignatureBytes));
    QCOMPARE(nameOf(row), nameOf(formatRow(ImageFormat(format))));
    QVERIFY(row.written == ImageFormat(format));
}

void tst_Formats::named_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("format"); // -1: refused
    QTest::newRow("bmp") << "bmp" << int(ImageFormat::Bmp);
    QTest::newRow("png") << "png" << int(ImageFormat::Png);
    QTest::newRow("jpeg") << "jpeg" << int(ImageFormat::Jpeg);
    QTest::newRow("jpg") << "jpg" << int(ImageFormat::Jpeg);
    QTest::newRow("upper case") << "JPG" << int(ImageFormat::Jpeg);
    QTest::newRow("webp") << "webp" << int(ImageFormat::Webp);
    QTest::newRow("avif") << "avif" << int(ImageFormat::Avif);
    QTest::newRow("jxl") << "jxl" << int(ImageFormat::Jxl);
    QTest::newRow("read only: gif") << "gif" << -1;
    QTest::newRow("read only: heic") << "heic" << -1;
    QTest::newRow("two names") << "jpeg jpg" << -1;
    QTest::newRow("empty") << "" << -1;
}

void tst_Formats::named()
{
    QFETCH(QString, name);
    QFETCH(int, format);
    const std::optional<ImageFormat> named = formatNamed(name);
    QCOMPARE(named ? int(*named) : -1, format);
}

void tst_Formats::extensions()
{
    QCOMPARE(pictureExtensions().join(u' '),
             QStringLiteral(".bmp .jpg .jpeg .gif .png .tif .tiff .webp .heic .heif .hif .avif .jxl"));
    QCOMPARE(formatNames(), QStringLiteral("bmp, png, jpeg, webp, avif or jxl"));
    QVERIFY(decodedByOwnDecoder("dib"));
    QVERIFY(!decodedByOwnDecoder("tiff"));
}

QTEST_GUILESS_MAIN(tst_Formats)
#include "tst_formats.moc"

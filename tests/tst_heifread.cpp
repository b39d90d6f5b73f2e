// Decoding HEIC and AVIF in the decoder's child process.
#include "files/heifboxes.h"
#include "files/hevcdecoder.h"
#include "filetests.h"

#include <libheif/heif.h>

#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QTest>
#include <QTransform>

using namespace pv;
using namespace testimages;
using namespace filetests;

Q_DECLARE_METATYPE(testimages::HeifOptions)

class tst_Heifread : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void heif_data();
    void heif();
    void heifColoursAndDamage();
    void heifThumbnail_data();
    void heifThumbnail();
    void threadedHevc_data();
    void threadedHevc();
};

void tst_Heifread::initTestCase() { useStandInDecoder(); }

// HEIC and AVIF: the transformations the file declares, deep samples
// rounded, alpha over the background, colours converted, HDR refused; files
// rebuilt by a recipe (testimages::craftedHeif) with their transformations
// listed before ispe, derived images and grids open with the pixels of the
// plain picture turned, mirrored, cropped or tiled by Qt, and structures
// the decoder must not follow are refused before it does, with the reason.
void tst_Heifread::heif_data()
{
    QTest::addColumn<int>("source");     // 0 quadrants, else a flat grey of that level
    QTest::addColumn<HeifOptions>("options");
    QTest::addColumn<QSize>("size");     // 0 x 0: refused
    QTest::addColumn<QString>("corners"); // the quadrants' colours at TL TR BL BR: r g b y
    QTest::addColumn<int>("level");      // the flat grey expected, or -1
    QTest::addColumn<QString>("recipe");  // rebuilt by craftedHeif
    QTest::addColumn<QString>("refusal"); // part of the reason it is refused for
    HeifOptions avif;
    avif.avif = true;
    QTest::newRow("HEIC") << 0 << HeifOptions() << QSize(64, 48) << "rgby" << -1 << "" << "";
    QTest::newRow("AVIF") << 0 << avif << QSize(64, 48) << "rgby" << -1 << "" << "";
    HeifOptions turned;
    turned.orientation = 6;
    QTest::newRow("rotated a quarter clockwise") << 0 << turned << QSize(48, 64) << "bryg" << -1 << "" << "";
    HeifOptions mirrored;
    mirrored.orientation = 2;
    QTest::newRow("mirrored") << 0 << mirrored << QSize(64, 48) << "gryb" << -1 << "" << "";
    QTest::newRow("cropped by clap") << 90 << HeifOptions() << QSize(37, 23) << "" << 90 << "" << "";
    HeifOptions deep;
    deep.bits = 10;
    deep.low = 3;
    QTest::newRow("10 bits rounded, not cut") << 40 << deep << QSize(32, 32) << "" << 41 << "" << "";
    QTest::newRow("10 bits, 1024 x 1024") << 40 << deep << QSize(1024, 1024) << "" << 41 << "" << "";
    HeifOptions pq;
    pq.transfer = 16;
    QTest::newRow("HDR (PQ) refused") << 90 << pq << QSize() << "" << -1 << "" << "HDR";

    const QSize tall(48, 64);
    QTest::newRow("AVIF irot 1 before ispe") << 0 << avif << tall << "gyrb" << -1 << "r1" << "";
    QTest::newRow("AVIF irot 3 before ispe") << 0 << avif << tall << "bryg" << -1 << "r3" << "";
    QTest::newRow("AVIF imir 0, irot 3 before ispe") << 0 << avif << tall << "rbgy" << -1 << "m0 r3" << "";
    QTest::newRow("AVIF clap before ispe") << 0 << avif << QSize(40, 32) << "rgby" << -1 << "c40x32" << "";
    QTest::newRow("AVIF imir 0, irot 3, clap before ispe") << 0 << avif << QSize(30, 40) << "rbgy" << -1 << "m0 r3 c30x40" << "";
    QTest::newRow("HEIC irot 1 before ispe") << 0 << HeifOptions() << tall << "gyrb" << -1 << "r1" << "";
    QTest::newRow("identities 3 deep") << 0 << HeifOptions() << QSize(64, 48) << "rgby" << -1 << "iden3" << "";
    QTest::newRow("grid of 2 x 1 tiles") << 0 << HeifOptions() << QSize(128, 48) << "rgby" << -1 << "grid2x1=128x48" << "";
    QTest::newRow("grid cropping its tiles") << 0 << avif << QSize(100, 40) << "rgby" << -1 << "grid2x1=100x40" << "";

    const QString nested = QStringLiteral("nested more than %1 deep").arg(kMaxHeifNesting);
    QTest::newRow("identities 6000 deep") << 90 << HeifOptions() << QSize() << "" << -1 << "iden6000" << nested;
    QTest::newRow("1 x 1 grids 2000 deep") << 90 << HeifOptions() << QSize() << ""
                                           << -1 << QStringLiteral("grid1x1=32x32 ").repeated(2000) << nested;
    QTest::newRow("19881 tiles") << 90 << HeifOptions() << QSize() << "" << -1 << "grid141x141=4512x4512"
                                 << QStringLiteral("more than %1 tiles").arg(kMaxHeifTiles);
    QTest::newRow("tiles of 32 x 32") << 90 << HeifOptions() << QSize() << "" << -1 << "grid2x2=64x64"
                                      << QStringLiteral("smaller than %1 pixels").arg(kMinHeifTileSide);
    QTest::newRow("grid of 1000 x 1000 over 4 tiles") << 0 << HeifOptions() << QSize() << "" << -1
                                                      << "grid2x2=1000x1000" << "do not cover";
    QTest::newRow("grid with a tile outside") << 0 << HeifOptions() << QSize() << "" << -1 << "grid3x1=128x48"
                                              << "outside";
    QTest::newRow("overlay") << 0 << HeifOptions() << QSize() << "" << -1 << "overlay" << "overlay";
    QTest::newRow("overlay behind an identity") << 0 << HeifOptions() << QSize() << "" << -1 << "overlay iden1"
                                                << "overlay";
    QTest::newRow("overlay as a grid tile") << 0 << HeifOptions() << QSize() << "" << -1
                                            << "overlay grid2x1=128x48" << "overlay";
    QTest::newRow("tiles of 8 and 10 bits") << 0 << HeifOptions() << QSize() << "" << -1 << "tile-deep" << "bit depth";
    QTest::newRow("10-bit tiles, one with alpha") << 0 << deep << QSize() << "" << -1 << "tile-alpha" << "alpha";
    QTest::newRow("tiles of 4:4:4 and 4:2:0") << 0 << HeifOptions() << QSize() << "" << -1 << "tile-444" << "chroma";
    QTest::newRow("grid of 32 x 32768 (libheif's limit)") << 90 << HeifOptions() << QSize() << "" << -1
                                                         << "grid1x1=32x32768" << "32767 pixels are not decoded (libheif's limit)";
    QTest::newRow("AVIF declaring another size than it codes") << 0 << avif << QSize() << "" << -1 << "ispe80x60"
                                                               << "not the 80 x 60 its boxes declare";
    QTest::newRow("pitm box cut short") << 0 << HeifOptions() << QSize() << "" << -1 << "short-pitm" << "pitm";
}

namespace {

// The plain picture as a recipe declares it shown, by Qt's own transforms.
QImage asDeclared(QImage plain, const QString &recipe)
{
    for (const QString &step : recipe.split(u' ', Qt::SkipEmptyParts)) {
        const QStringList n = step.mid(step.indexOf(QRegularExpression(QStringLiteral("[0-9]")))).split(
            QRegularExpression(QStringLiteral("[x=]")));
        if (step.startsWith(u'r')) {
            plain = plain.transformed(QTransform().rotate(-90.0 * n[0].toInt()));
        } else if (step.startsWith(u'm')) {
            plain = plain.mirrored(n[0].toInt() == 1, n[0].toInt() == 0); // axis 0: top and bottom swap
        } else if (step.startsWith(u'c')) {
            const int w = n[0].toInt(), h = n[1].toInt();
            plain = plain.copy((plain.width() - w) / 2, (plain.height() - h) / 2, w, h);
        } else if (step.startsWith(QStringLiteral("grid"))) {
            QImage tiled(n[2].toInt(), n[3].toInt(), QImage::Format_RGB32);
            for (int y = 0; y < tiled.height(); ++y)
                for (int x = 0; x < tiled.width(); ++x)
                    tiled.setPixel(x, y, plain.pixel(x % plain.width(), y % plain.height()));
            plain = tiled;
        }
    }
    return plain;
}

[[maybe_unused]] qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qsizetype(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// The memory decoding the bytes took at its peak, measured in a child.
[[maybe_unused]] qint64 decodePeakBytes(const QByteArray &bytes)
{
    const QByteArray peak = inChild([&bytes] {
        QFile reset(QStringLiteral("/proc/self/clear_refs"));
        if (!reset.open(QIODevice::WriteOnly) || reset.write("5") != 1)
            return QByteArray("-1");
        reset.close();
        const qint64 before = statusKiB("VmHWM:");
        const bool opened = decodePicture(bytes).ok();
        return QByteArray::number(opened ? (statusKiB("VmHWM:") - before) * 1024 : -1);
    }, false);
    return peak.toLongLong();
}

Made<QSize> headerSizeOf(const QByteArray &bytes)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("picture"));
    if (!writeFile(path, bytes))
        return failure(Fault::content(QStringLiteral("not written")));
    return pictureSize(path);
}

} // namespace

void tst_Heifread::heif()
{
    QFETCH(int, source);
    QFETCH(HeifOptions, options);
    QFETCH(QSize, size);
    QFETCH(QString, corners);
    QFETCH(int, level);
    QFETCH(QString, recipe);
    QFETCH(QString, refusal);
    QImage picture = quadrants(64, 48);
    if (source > 0) {
        picture = QImage(size.isValid() ? size : QSize(32, 32), QImage::Format_RGB32);
        picture.fill(qRgb(source, source, source));
    }
    const QByteArray file = recipe.isEmpty() ? testimages::heif(picture, options)
                                             : testimages::craftedHeif(picture, options, recipe);
    QVERIFY(!file.isEmpty());
    if (!size.isValid()) {
        const Made<Opened> d = decodePicture(file, {kBackground, {}, {}});
        QVERIFY(!d);
        QVERIFY2(d.reason().text.contains(refusal), qPrintable(d.reason().text));
        return;
    }
    const QImage image = decoded(file);
    QCOMPARE(image.size(), size);
    const Made<QSize> header = headerSizeOf(file);
    QVERIFY2(header, qPrintable(header ? QString() : header.reason().text));
    QCOMPARE(header.value(), size);
    VERIFY_SAME_PIXELS(openedFromFile(file), image);
#ifndef PIXELVANE_SANITIZED // whose shadow memory and quarantine the peak would include
    // Admission counts at least what the decode takes.
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath(QStringLiteral("p")), file));
    const qint64 peak = decodePeakBytes(file), counted = pictureDecodeBytes(dir.filePath(QStringLiteral("p")));
    QVERIFY2(peak >= 0 && peak <= counted, qPrintable(QStringLiteral("%1 bytes, %2 counted").arg(peak).arg(counted)));
#endif
    if (!recipe.isEmpty())
        VERIFY_SAME_PIXELS(image, asDeclared(decoded(testimages::heif(picture, options)), recipe));
    auto near = [](QRgb a, QRgb b) { return std::abs(qRed(a) - qRed(b)) <= 3 && std::abs(qGreen(a) - qGreen(b)) <= 3 && std::abs(qBlue(a) - qBlue(b)) <= 3; };
    const QHash<QChar, QRgb> colours{{u'r', qRgb(255, 0, 0)}, {u'g', qRgb(0, 255, 0)}, {u'b', qRgb(0, 0, 255)},
                                     {u'y', qRgb(255, 255, 0)}};
    const QPoint at[4] = {{2, 2}, {size.width() - 3, 2}, {2, size.height() - 3}, {size.width() - 3, size.height() - 3}};
    for (int i = 0; i < corners.size(); ++i)
        QVERIFY2(near(image.pixel(at[i]), colours[corners[i]]),
                 qPrintable(QStringLiteral("corner %1 is #%2").arg(i).arg(image.pixel(at[i]), 6, 16)));
    if (level >= 0)
        QCOMPARE(image.pixel(size.width() / 2, size.height() / 2), qRgb(level, level, level));
}

// HEIF's colours and damage: alpha over the background, a profile or an
// nclx description converted, damaged files and overlays refused.
void tst_Heifread::heifColoursAndDamage()
{
    QImage source = photo(48, 32);
    for (int y = 0; y < source.height(); ++y)
        for (int x = 0; x < source.width(); ++x) {
            const QRgb c = source.pixel(x, y);
            source.setPixel(x, y, qRgb((qRed(c) + 128) / 2, (qGreen(c) + 128) / 2, (qBlue(c) + 128) / 2));
        }
    // libheif's lossless coding of RGB still rounds through YCbCr (up to 6
    // levels here), which a wide gamut spreads further.
    HeifOptions o;
    o.icc = iccProfile(Profile::AdobeRgb);
    const int codec = distance(decoded(testimages::heif(source)), source).worst;
    QVERIFY2(codec <= 6, qPrintable(QString::number(codec)));
    int d = distance(decoded(testimages::heif(inProfile(source, o.icc), o)), source).worst;
    QVERIFY2(d <= 12, qPrintable(QStringLiteral("ICC: %1").arg(d)));
    const QImage vivid = photo(48, 32);
    const QImage inP3 = inProfile(vivid, iccProfile(Profile::DisplayP3));
    HeifOptions p3;
    p3.primaries = 12;
    d = distance(decoded(testimages::heif(inP3, p3)), vivid).worst;
    QVERIFY2(d <= 12, qPrintable(QStringLiteral("Display P3 by nclx: %1").arg(d)));
    // Not converted, the P3 picture would be far from the sRGB one.
    d = distance(decoded(testimages::heif(inP3)), vivid).worst;
    QVERIFY2(d > 20, qPrintable(QStringLiteral("P3 as sRGB: %1").arg(d)));

    QImage clear(16, 16, QImage::Format_ARGB32);
    clear.fill(qRgba(200, 100, 50, 255));
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 16; ++x)
            clear.setPixel(x, y, qRgba(10, 220, 30, 0));
    HeifOptions alpha;
    alpha.alpha = true;
    const QImage flat = decoded(testimages::heif(clear, alpha));
    QCOMPARE(flat.pixel(4, 2), kBackground);
    QVERIFY(distance(flat.copy(0, 12, 16, 4), clear.copy(0, 12, 16, 4).convertToFormat(QImage::Format_RGB32)).worst <= 3);

    const QByteArray good = testimages::heif(photo(96, 64), HeifOptions{false, 8, 0, 1, false, {}, 0, 0, false, false, QSize()});
    QVERIFY(!decoded(good).isNull());
    QVERIFY(decoded(good.left(good.size() * 2 / 3)).isNull());
    QVERIFY(decoded(good.left(good.size() - 1)).isNull());
    // A header the decoder reports damaged. (Damage inside HEVC slice
    // data is concealed by libde265 without a word, as damage inside
    // uncompressed TIFF data is undetectable.)
    QByteArray corrupt = good;
    const qsizetype data = corrupt.indexOf("mdat") + 4;
    for (qsizetype i = data; i < data + 24; ++i)
        corrupt[i] = char(corrupt[i] ^ 0x5a);
    QVERIFY(decoded(corrupt).isNull());
    QByteArray overlay = good;
    overlay.replace(overlay.indexOf("hvc1"), 4, "iovl");
    QVERIFY(decoded(overlay).isNull());
}

// A stored thumbnail stands in for a decode that may be smaller only
// where it is large enough and shows the whole picture's shape; it then
// opens as the whole picture made smaller.
void tst_Heifread::heifThumbnail_data()
{
    QTest::addColumn<QSize>("thumbnail"); // as stored
    QTest::addColumn<int>("orientation");
    QTest::addColumn<QSize>("least");    // asked for
    QTest::addColumn<QSize>("expected"); // the picture opened, upright
    QTest::newRow("a quarter the size, as large as asked") << QSize(32, 24) << 1 << QSize(32, 24) << QSize(32, 24);
    QTest::newRow("turned with the picture") << QSize(32, 24) << 6 << QSize(24, 32) << QSize(24, 32);
    QTest::newRow("smaller than asked") << QSize(32, 24) << 1 << QSize(33, 24) << QSize(128, 96);
    QTest::newRow("of another shape") << QSize(32, 32) << 1 << QSize(16, 12) << QSize(128, 96);
    QTest::newRow("none asked for") << QSize(32, 24) << 1 << QSize() << QSize(128, 96);
}

void tst_Heifread::heifThumbnail()
{
    QFETCH(QSize, thumbnail);
    QFETCH(int, orientation);
    QFETCH(QSize, least);
    QFETCH(QSize, expected);
    HeifOptions o;
    o.thumbnail = thumbnail;
    o.orientation = orientation;
    const QByteArray file = testimages::heif(quadrants(128, 96), o);
    OpenRequest request{kBackground, {}, {}};
    request.plan = [least](QSize) { return DecodePlan{1, QRect(), least}; };
    const Made<Opened> opened = decodePicture(file, request);
    QVERIFY2(opened, qPrintable(opened ? QString() : opened.reason().text));
    const QSize full = orientation == 6 ? QSize(96, 128) : QSize(128, 96);
    QCOMPARE(opened->fullSize, full);
    QCOMPARE(opened->region, QRect(QPoint(0, 0), full));
    QCOMPARE(opened->image.size(), expected);
    // The quadrants stay where the whole picture has them.
    const QImage whole = decoded(file).scaled(expected, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const Distance d = distance(opened->image, whole);
    QVERIFY2(d.mean <= 4.0, qPrintable(QStringLiteral("mean %1, worst %2").arg(d.mean).arg(d.worst)));
}


QTEST_GUILESS_MAIN(tst_Heifread)
// HEVC decoded on two threads through our use of libde265 gives what
// libheif's own use of it gives, byte for byte, colours converted alike.
void tst_Heifread::threadedHevc_data()
{
    QTest::addColumn<HeifOptions>("options");
    HeifOptions lossy;
    lossy.lossless = false;
    QTest::newRow("8 bits, 4:2:0") << lossy;
    HeifOptions deep = lossy;
    deep.bits = 10;
    QTest::newRow("10 bits") << deep;
    HeifOptions full = lossy;
    full.chroma444 = true;
    full.alpha = true;
    QTest::newRow("4:4:4 with alpha") << full;
}

void tst_Heifread::threadedHevc()
{
    QFETCH(HeifOptions, options);
    const QByteArray file = testimages::heif(photo(1280, 960), options);
    QVERIFY(!file.isEmpty());
    const auto rgba = [&](const char *decoder) {
        heif_context *context = heif_context_alloc();
        heif_context_read_from_memory_without_copy(context, file.constData(), size_t(file.size()), nullptr);
        heif_image_handle *handle = nullptr;
        heif_context_get_primary_image_handle(context, &handle);
        heif_decoding_options *how = heif_decoding_options_alloc();
        how->decoder_id = decoder;
        heif_image *image = nullptr;
        const heif_error e = heif_decode_image(handle, &image, heif_colorspace_RGB,
                                               options.bits > 8 ? heif_chroma_interleaved_RRGGBBAA_LE
                                                                : heif_chroma_interleaved_RGBA, how);
        QByteArray bytes = QByteArray(e.message);
        if (image) {
            int stride = 0;
            const uint8_t *plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
            bytes = QByteArray(reinterpret_cast<const char *>(plane), qsizetype(stride) * 960);
        }
        heif_image_release(image);
        heif_decoding_options_free(how);
        heif_image_handle_release(handle);
        heif_context_free(context);
        return bytes;
    };
    useHevcDecoder();
    setHevcThreads(2);
    const QByteArray ours = rgba("pixelvane-libde265"), theirs = rgba("libde265");
    QVERIFY2(ours.size() >= 1280 * 960 * 4, ours.left(200).constData());
    QVERIFY(ours == theirs);
}

#include "tst_heifread.moc"

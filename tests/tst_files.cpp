// Decoding every format variant from pictures made here, refusing damaged
// and oversized files, and writing BMP files that survive failures.
#include "files/imagewrite.h"
#include "files/metadata.h"
#include "files/colour.h"
#include "files/heifboxes.h"
#include "files/openfolder.h"
#include "files/picture.h"
#include "testimages.h"

#include <QBuffer>
#include <QColorSpace>
#include <QDir>
#include <QRegularExpression>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTransform>

#include <csignal>
#include <libexif/exif-data.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace pv;
using namespace testimages;

Q_DECLARE_METATYPE(testimages::HeifOptions)

namespace {

constexpr QRgb kBackground = 0xff102030;

QImage decoded(const QByteArray &bytes)
{
    const Made<Opened> d = decodePicture(bytes, {kBackground, {}, {}});
    return d ? d->image : QImage();
}

// The same bytes opened from a file, as the window and the batch command
// open them.
QImage openedFromFile(const QByteArray &bytes)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("picture"));
    if (!writeFile(path, bytes))
        return QImage();
    const Made<Opened> d = openPicture(path, {kBackground, {}, {}});
    return d ? d->image : QImage();
}

// The window's save of the w x h block at the top-left of a surface.
QString save(const Surface &s, int w, int h, const QString &path)
{
    const Made<void> written = writePicture(s.block(0, 0, w, h), path);
    return written ? QString() : written.reason().text;
}


QImage quadrants(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, x < w / 2 ? (y < h / 2 ? qRgb(255, 0, 0) : qRgb(0, 0, 255))
                                         : (y < h / 2 ? qRgb(0, 255, 0) : qRgb(255, 255, 0)));
    return img;
}

// Runs `body` in a child process (optionally as an unprivileged user) and
// returns what it wrote to the pipe.
QByteArray inChild(const std::function<QByteArray()> &body, bool unprivileged, rlim_t fileLimit = RLIM_INFINITY)
{
    int fds[2];
    if (pipe(fds) != 0)
        return "pipe failed";
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::signal(SIGXFSZ, SIG_IGN);
        if (fileLimit != RLIM_INFINITY) {
            rlimit limit{fileLimit, fileLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (unprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        const QByteArray out = "done:" + body();
        (void)!write(fds[1], out.constData(), size_t(out.size()));
        _exit(0);
    }
    close(fds[1]);
    QByteArray result;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        result.append(buf, qsizetype(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!result.startsWith("done:"))
        return "child failed, status " + QByteArray::number(status);
    return result.mid(5);
}


} // namespace

class tst_Files : public QObject {
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
    void jpegVariants_data();
    void jpegVariants();
    void jpegCmyk();
    void jpegExifOrientation_data();
    void jpegExifOrientation();
    void jpegRegions_data();
    void jpegRegions();
    void bmpRows();
    void jpegDamage_data();
    void jpegDamage();
    void gifFrames();
    void gifRefused_data();
    void gifRefused();
    void otherFormatsThroughQt();
    void pngKinds_data();
    void pngKinds();
    void heif_data();
    void heif();
    void heifColoursAndDamage();
    void heifThumbnail_data();
    void heifThumbnail();
    void decoderFaults_data();
    void decoderFaults();
    void colourProfiles_data();
    void colourProfiles();
    void srgbProfilesAreRecognised_data();
    void srgbProfilesAreRecognised();
    void colourKernelsAgree();
    void sideLimit_data();
    void sideLimit();
    void loadFromDisk();

    void writeRoundTrip();
    void replacingKeepsModeAndLink();
    void longNames();
    void webFormats_data();
    void webFormats();
    void jpegAsCjpegWrites_data();
    void jpegAsCjpegWrites();
    void sizeBudget_data();
    void sizeBudget();
    void metadataKept_data();
    void metadataKept();
    void profileKept_data();
    void profileKept();
    void jxlOpens();
    void writeFailures_data();
    void writeFailures();
    void readOnlyTargetUntouched();
    void fullDiskKeepsOldFile();
    void staleTemporaries_data();
    void staleTemporaries();
};

void tst_Files::bmpVariants_data()
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

void tst_Files::bmpVariants()
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

void tst_Files::bmp16BitScalesChannels()
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

void tst_Files::bmpRleStreams()
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

void tst_Files::bmpRefused_data()
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

void tst_Files::bmpRefused()
{
    QFETCH(QByteArray, bytes);
    const Made<Opened> d = decodePicture(bytes, {kBackground, {}, {}});
    QVERIFY(!d.ok());
    QVERIFY(!d.reason().text.isEmpty());
}

void tst_Files::bmpAlpha_data()
{
    QTest::addColumn<bool>("alphaMask");
    QTest::addColumn<int>("alpha");
    QTest::addColumn<bool>("laidOverBackground");
    QTest::newRow("alpha mask, transparent") << true << 0 << true;
    QTest::newRow("alpha mask, half") << true << 128 << true;
    QTest::newRow("no alpha mask: the fourth byte is not alpha") << false << 0 << false;
    QTest::newRow("alpha mask but no pixel uses it") << true << -1 << false;
}

void tst_Files::bmpAlpha()
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

void tst_Files::jpegVariants_data()
{
    QTest::addColumn<bool>("progressive");
    QTest::addColumn<int>("colours");
    QTest::newRow("baseline") << false << 3;
    QTest::newRow("progressive") << true << 3;
    QTest::newRow("greyscale") << false << 1;
}

void tst_Files::jpegVariants()
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

void tst_Files::jpegCmyk()
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

void tst_Files::jpegExifOrientation_data()
{
    QTest::addColumn<int>("orientation");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRgb>("topLeft"); // colour of the upright picture's top-left corner
    // Stored picture: red top-left, green top-right, blue bottom-left, yellow bottom-right.
    QTest::newRow("1 as stored") << 1 << QSize(64, 32) << qRgb(255, 0, 0);
    QTest::newRow("3 upside down") << 3 << QSize(64, 32) << qRgb(255, 255, 0);
    QTest::newRow("6 turned right") << 6 << QSize(32, 64) << qRgb(0, 0, 255);
    QTest::newRow("8 turned left") << 8 << QSize(32, 64) << qRgb(0, 255, 0);
    QTest::newRow("2 mirrored") << 2 << QSize(64, 32) << qRgb(0, 255, 0);
}

void tst_Files::jpegExifOrientation()
{
    QFETCH(int, orientation);
    QFETCH(QSize, size);
    QFETCH(QRgb, topLeft);
    const QImage image = decoded(withExifOrientation(jpeg(quadrants(64, 32), 100), orientation));
    QCOMPARE(image.size(), size);
    const QRgb corner = image.pixel(2, 2);
    QVERIFY2(std::abs(qRed(corner) - qRed(topLeft)) < 8 && std::abs(qGreen(corner) - qGreen(topLeft)) < 8 &&
                 std::abs(qBlue(corner) - qBlue(topLeft)) < 8,
             qPrintable(QString::number(corner, 16)));
}

void tst_Files::jpegDamage_data()
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

// A JPEG with `count` bytes of its first scan's entropy-coded data lost,
// `at` bytes into it: the decoder falls out of step, finds its way back
// and runs out of data before the last rows.
QByteArray bytesLost(const QByteArray &jpeg, qsizetype at, int count)
{
    const qsizetype sos = jpeg.indexOf("\xff\xda");
    const qsizetype data = sos + 2 + ((uchar(jpeg[sos + 2]) << 8) | uchar(jpeg[sos + 3]));
    return QByteArray(jpeg).remove(data + at, count);
}

// Decoding a part of a JPEG gives exactly the pixels of the whole decode
// cut to it, whatever the sampling, scans, restarts, orientation, and
// wherever the part lies; a file the whole decode refuses, the part's
// refuses with the same reason, wherever the damage lies.
void tst_Files::jpegRegions_data()
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

void tst_Files::jpegRegions()
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

// An uncompressed BMP read from a file reads only the rows of the part
// asked for; one whose header declares an alpha mask is read whole.
void tst_Files::bmpRows()
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

void tst_Files::jpegDamage()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, opens);
    const QImage d = decoded(bytes);
    QCOMPARE(!d.isNull(), opens);
    if (opens)
        QCOMPARE(d.size(), QSize(96, 64));
}

void tst_Files::gifFrames()
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

void tst_Files::gifRefused_data()
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

void tst_Files::gifRefused()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(!decodePicture(bytes, {kBackground, {}, {}}).ok());
}

void tst_Files::otherFormatsThroughQt()
{
    const QImage source = pattern(17, 9);
    QByteArray png;
    {
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(source.save(&buffer, "PNG"));
    }
    QString diff = firstDifference(decoded(png), source);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    // Alpha is laid over the background.
    QImage alpha(2, 1, QImage::Format_ARGB32);
    alpha.setPixel(0, 0, qRgba(255, 255, 255, 0));
    alpha.setPixel(1, 0, qRgba(200, 100, 50, 255));
    QByteArray alphaPng;
    {
        QBuffer buffer(&alphaPng);
        buffer.open(QIODevice::WriteOnly);
        QVERIFY(alpha.save(&buffer, "PNG"));
    }
    const QImage flat = decoded(alphaPng);
    QCOMPARE(flat.pixel(0, 0), kBackground);
    QCOMPARE(flat.pixel(1, 0), qRgb(200, 100, 50));
    // A small PNG claiming 30000 x 30000 pixels.
    QByteArray liar = png.left(33);
    for (int at : {16, 20}) {
        liar[at] = 0, liar[at + 1] = 0, liar[at + 2] = char(30000 >> 8), liar[at + 3] = char(30000 & 255);
    }
    QVERIFY(decoded(liar + png.mid(33, 40)).isNull());
    // Damaged files are refused on this route too.
    QVERIFY(decoded(png.left(png.size() * 2 / 3)).isNull());
}

// Every kind of PNG at 8 and 16 bits, with and without a tRNS colour:
// 16-bit samples rounded to 8 bits, alpha and the tRNS colour laid over
// the background.
void tst_Files::pngKinds_data()
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

void tst_Files::pngKinds()
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

// HEIC and AVIF: the transformations the file declares, deep samples
// rounded, alpha over the background, colours converted, HDR refused; files
// rebuilt by a recipe (testimages::craftedHeif) with their transformations
// listed before ispe, derived images and grids open with the pixels of the
// plain picture turned, mirrored, cropped or tiled by Qt, and structures
// the decoder must not follow are refused before it does, with the reason.
void tst_Files::heif_data()
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

void tst_Files::heif()
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
// HEIF and the formats of Qt's plugins are decoded by the stand-in child
// program, which misbehaves on the files made to ask for it.
void tst_Files::initTestCase()
{
    qputenv("PIXELVANE_DECODER", PIXELVANE_STAND_IN);
    qputenv("PIXELVANE_DECODER_SECONDS", "2");
}

// A decoder that dies, bloats or hangs costs its picture alone; the next
// picture gets a fresh child.
void tst_Files::decoderFaults_data()
{
    QTest::addColumn<QByteArray>("behaviour");
    QTest::addColumn<int>("cause");
    QTest::addColumn<QString>("reason"); // a pattern
    QTest::newRow("decoder aborts") << QByteArray("abort") << int(Fault::Cause::Crashed)
                                    << QStringLiteral("^the decoder crashed \\(signal 6\\)$");
    QTest::newRow("decoder leaks without bound") << QByteArray("leak") << int(Fault::Cause::Content)
                                                 << QStringLiteral("^the decoder went over its memory limit of \\d+ MiB$");
    QTest::newRow("decoder sleeps") << QByteArray("sleep") << int(Fault::Cause::Content)
                                    << QStringLiteral("^the decoder went over its time limit of 2 s$");
    QTest::newRow("decoder spins") << QByteArray("spin") << int(Fault::Cause::Content)
                                   << QStringLiteral("^the decoder went over its time limit of 2 s$");
}

void tst_Files::decoderFaults()
{
    QFETCH(QByteArray, behaviour);
    QFETCH(int, cause);
    QFETCH(QString, reason);
#ifdef PIXELVANE_SANITIZED
    if (behaviour == "leak")
        QSKIP("a limit of memory cannot hold under AddressSanitizer, which reserves terabytes of it");
#endif
    const QByteArray file = misbehaving(behaviour);
    const Made<Opened> refused = decodePicture(file);
    QVERIFY(!refused);
    QCOMPARE(int(refused.reason().cause), cause);
    QVERIFY2(QRegularExpression(reason).match(refused.reason().text).hasMatch(), qPrintable(refused.reason().text));
    // The real decoder's work, as the stand-in does it for other files.
    const QByteArray good = misbehaving("nothing");
    const QImage opened = decoded(good);
    QCOMPARE(opened.size(), QSize(64, 48));
    QImage flat(64, 48, QImage::Format_RGB32);
    flat.fill(qRgb(90, 120, 150));
    const int worst = distance(opened, flat).worst; // the codec's rounding through YCbCr
    QVERIFY2(worst <= 6, qPrintable(QString::number(worst)));
}

void tst_Files::heifColoursAndDamage()
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
void tst_Files::heifThumbnail_data()
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

void tst_Files::heifThumbnail()
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

void tst_Files::colourProfiles_data()
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

void tst_Files::colourProfiles()
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
void tst_Files::srgbProfilesAreRecognised_data()
{
    QTest::addColumn<int>("profile");
    QTest::addColumn<bool>("converted");
    QTest::newRow("Little CMS's sRGB") << int(Profile::Srgb) << false;
    QTest::newRow("HP's, tabulated") << int(Profile::SrgbTabulated) << false;
    QTest::newRow("v4, rounded colorants") << int(Profile::SrgbRounded) << false;
    QTest::newRow("sRGB colorants, gamma 2.2") << int(Profile::SrgbGamma22) << true;
    QTest::newRow("Adobe RGB") << int(Profile::AdobeRgb) << true;
}

void tst_Files::srgbProfilesAreRecognised()
{
    QFETCH(int, profile);
    QTEST(ToSrgb::from(iccProfile(Profile(profile)), PixelLayout::Rgb) != nullptr, "converted");
}

void tst_Files::colourKernelsAgree()
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

void tst_Files::sideLimit_data()
{
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("h");
    QTest::addColumn<bool>("opens");
    QTest::newRow("32767 wide") << 32767 << 1 << true;
    QTest::newRow("32768 wide") << 32768 << 1 << false;
    QTest::newRow("32767 tall") << 1 << 32767 << true;
    QTest::newRow("32768 tall") << 1 << 32768 << false;
    QTest::newRow("1 x 1") << 1 << 1 << true;
}

void tst_Files::sideLimit()
{
    QFETCH(int, w);
    QFETCH(int, h);
    QFETCH(bool, opens);
    QImage mono(w, h, QImage::Format_RGB32);
    mono.fill(qRgb(0, 0, 0));
    mono.setPixel(0, 0, qRgb(255, 255, 255));
    const QImage d = decoded(bmp(mono, 1));
    QCOMPARE(!d.isNull(), opens);
    if (opens) {
        QCOMPARE(d.size(), QSize(w, h));
        QCOMPARE(d.pixel(0, 0), qRgb(255, 255, 255));
    }
}

void tst_Files::loadFromDisk()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("写真 one.bmp"));
    QVERIFY(writeFile(path, bmp(pattern(5, 4), 24)));
    QCOMPARE(openPicture(path)->image.size(), QSize(5, 4));
    QVERIFY(!openPicture(dir.filePath("missing.bmp")).ok());
    QVERIFY(!openPicture(dir.path()).ok());
}

void tst_Files::writeRoundTrip()
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

void tst_Files::replacingKeepsModeAndLink()
{
    QTemporaryDir dir;
    const QString target = dir.filePath("old.bmp");
    QVERIFY(writeFile(target, "old"));
    QVERIFY(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    const QString link = dir.filePath("link.bmp");
    QVERIFY(QFile::link(target, link));
    QVERIFY(save(surfaceOf(pattern(3, 2)), 3, 2, link).isEmpty());
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(QImage(target, "BMP").size(), QSize(3, 2));
    struct stat st {};
    QCOMPARE(stat(qPrintable(target), &st), 0);
    QCOMPARE(st.st_mode & 0777, 0640u);
}

// The temporary file beside a name near the system's limit must fit too.
void tst_Files::longNames()
{
    QTemporaryDir dir;
    for (int length : {240, 248, 251, 255}) {
        const QString name = QString(length - 4, u'n') + QStringLiteral(".bmp");
        QVERIFY2(save(surfaceOf(pattern(3, 2)), 3, 2, dir.filePath(name)).isEmpty(), qPrintable(QString::number(length)));
        QCOMPARE(QImage(dir.filePath(name), "BMP").size(), QSize(3, 2));
    }
    // Multi-byte characters are cut whole.
    const QString japanese = QString(83, QChar(0x5199)) + QStringLiteral(".bmp"); // 253 bytes
    QVERIFY(save(surfaceOf(pattern(3, 2)), 3, 2, dir.filePath(japanese)).isEmpty());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 5);
}

// The web formats written come back at their size; lossless ones exactly.
void tst_Files::webFormats_data()
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

void tst_Files::webFormats()
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
// bytes than cjpeg's optimised tables take.
void tst_Files::jpegAsCjpegWrites_data()
{
    QTest::addColumn<bool>("progressive");
    QTest::addColumn<bool>("fullChroma");
    QTest::newRow("optimised 4:2:0") << false << false;
    QTest::newRow("progressive") << true << false;
    QTest::newRow("4:4:4") << false << true;
    QTest::newRow("progressive 4:4:4") << true << true;
}

void tst_Files::jpegAsCjpegWrites()
{
    QFETCH(bool, progressive);
    QFETCH(bool, fullChroma);
    const QString cjpeg = QStandardPaths::findExecutable(QStringLiteral("cjpeg"));
    if (cjpeg.isEmpty())
        QSKIP("cjpeg (libjpeg-turbo-progs) is not installed");
    QTemporaryDir dir;
    const QImage source = hardEdges(203, 151);
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
    QVERIFY2(ours.size() <= theirs.size(), qPrintable(QStringLiteral("%1 > %2").arg(ours.size()).arg(theirs.size())));
    // Progressive JPEGs start their frame with SOF2, the others with SOF0.
    QCOMPARE(ours.contains("\xff\xc2"), progressive);
}

// A budget the plain file fits gives that very file; one byte less gives
// a smaller file of a lower quality; a budget no quality fits fails.
void tst_Files::sizeBudget_data()
{
    QTest::addColumn<int>("format");
    QTest::newRow("JPEG") << int(ImageFormat::Jpeg);
    QTest::newRow("WebP") << int(ImageFormat::Webp);
    QTest::newRow("AVIF") << int(ImageFormat::Avif);
    QTest::newRow("JPEG XL") << int(ImageFormat::Jxl);
}

void tst_Files::sizeBudget()
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

// The rights and the date chosen are read back from every format; the
// position, maker notes and camera never reach the file.
void tst_Files::metadataKept_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("xmpOnly");
    for (ImageFormat f : {ImageFormat::Jpeg, ImageFormat::Png, ImageFormat::Webp, ImageFormat::Avif, ImageFormat::Jxl})
        QTest::addRow("%s", qPrintable(extensionOf(f))) << int(f) << false;
    QTest::newRow("rights from XMP into JPEG") << int(ImageFormat::Jpeg) << true;
}

void tst_Files::metadataKept()
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
void tst_Files::profileKept_data()
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

void tst_Files::profileKept()
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

// JPEG XL opens at its first frame, converted from its profile as a BMP
// with the same profile is.
void tst_Files::jxlOpens()
{
    const QImage source = photo(61, 37);
    VERIFY_SAME_PIXELS(decoded(jxl(source)), source);
    VERIFY_SAME_PIXELS(openedFromFile(jxl(source, {}, 3)), source);
    const QByteArray p3 = iccProfile(Profile::DisplayP3);
    const QImage inP3 = inProfile(source, p3);
    VERIFY_SAME_PIXELS(decoded(jxl(inP3, p3)), decoded(bmpV5(inP3, false, p3)));
    QVERIFY(decoded(jxl(source).left(200)).isNull());
    // Its size is known from its header, as the batch command asks before
    // it decodes.
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("a.jxl"), jxl(source)));
    const Made<QSize> size = pictureSize(dir.filePath("a.jxl"));
    QVERIFY(size.ok());
    QCOMPARE(size.value(), source.size());
}

void tst_Files::writeFailures_data()
{
    QTest::addColumn<QString>("relative");
    QTest::newRow("missing folder") << "no/such/folder/out.bmp";
    QTest::newRow("name is a folder") << "folder";
    QTest::newRow("name is a FIFO") << "pipe";
}

void tst_Files::writeFailures()
{
    QFETCH(QString, relative);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("folder"));
    QVERIFY(mkfifo(qPrintable(dir.filePath("pipe")), 0600) == 0);
    const QString error = save(surfaceOf(pattern(3, 3)), 3, 3, dir.filePath(relative));
    QVERIFY(!error.isEmpty());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    // What had the name is still what it was.
    struct stat st {};
    QCOMPARE(lstat(qPrintable(dir.filePath("pipe")), &st), 0);
    QVERIFY(S_ISFIFO(st.st_mode));
}

void tst_Files::readOnlyTargetUntouched()
{
    QTemporaryDir dir;
    const QString target = dir.filePath("old.bmp");
    const QByteArray old = bmp(pattern(2, 2), 24);
    QVERIFY(writeFile(target, old));
    QVERIFY(chown(qPrintable(dir.path()), 65534, 65534) == 0 || geteuid() != 0);
    QVERIFY(chown(qPrintable(target), 65534, 65534) == 0 || geteuid() != 0);
    const Surface s = surfaceOf(pattern(9, 9));

    // A read-only file in a writable folder.
    chmod(qPrintable(target), 0444);
    QByteArray error = inChild([&] { return save(s, 9, 9, target).toUtf8(); }, true);
    QVERIFY2(!error.isEmpty(), "a read-only file was replaced");
    QCOMPARE(readFile(target), old);

    // A writable file in a read-only folder.
    chmod(qPrintable(target), 0644);
    chmod(qPrintable(dir.path()), 0555);
    error = inChild([&] { return save(s, 9, 9, target).toUtf8(); }, true);
    chmod(qPrintable(dir.path()), 0755);
    QVERIFY2(!error.isEmpty(), "wrote into a read-only folder");
    QCOMPARE(readFile(target), old);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"old.bmp"});
}

void tst_Files::fullDiskKeepsOldFile()
{
    QTemporaryDir dir;
    const QString target = dir.filePath("old.bmp");
    const QByteArray old = bmp(pattern(2, 2), 24);
    QVERIFY(writeFile(target, old));
    const Surface s = surfaceOf(photo(800, 600));
    // The child may write at most 64 KiB per file: the 1.4 MB BMP cannot fit.
    const QByteArray error = inChild([&] { return save(s, 800, 600, target).toUtf8(); }, false, 64 * 1024);
    QVERIFY2(!error.isEmpty(), "a failed write was reported as success");
    QCOMPARE(readFile(target), old);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"old.bmp"});
}

// Which temporary files a run removes: this machine's whose process is
// gone, never another machine's (its process numbers mean nothing here),
// nor one whose process lives, nor a name that only looks like one.
void tst_Files::staleTemporaries_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("stale");
    const QByteArray host = pv::hostName();
    const QByteArray alive = QByteArray::number(qint64(::getpid()));
    QTest::newRow("this host, process gone") << ".a.bmp.pvtmp." + host + ".999999999.Ab3dE6" << true;
    QTest::newRow("this host, process alive") << ".a.bmp.pvtmp." + host + "." + alive + ".Ab3dE6" << false;
    QTest::newRow("another host, no such process here") << ".a.bmp.pvtmp.x" + host + ".999999999.Ab3dE6" << false;
    QTest::newRow("another host with dots in its name") << ".a.bmp.pvtmp." + host + ".example.org.999999999.Ab3dE6" << false;
    QTest::newRow("no host: an older program's") << QByteArray(".a.bmp.pvtmp999999999.Ab3dE6") << false;
    QTest::newRow("not hidden") << "a.bmp.pvtmp." + host + ".999999999.Ab3dE6" << false;
    QTest::newRow("random part too short") << ".a.bmp.pvtmp." + host + ".999999999.Ab3d" << false;
    QTest::newRow("made here now") << [] {
        QByteArray name = pv::temporaryName("a.bmp", 255);
        pv::randomise(name);
        return name;
    }() << false;
}

void tst_Files::staleTemporaries()
{
    QFETCH(QByteArray, name);
    QTEST(pv::isStaleTemporary(name), "stale");
}

QTEST_GUILESS_MAIN(tst_Files)
#include "tst_files.moc"

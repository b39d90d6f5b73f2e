// Copy and stretch between surfaces: exact copies with clipping, stretch
// sizes, and a reduced photo keeping its brightness; the edit buttons'
// clicks on a document.
#include "surfaces/document.h"
#include "surfaces/framing.h"
#include "surfaces/resample.h"
#include "surfaces/surface.h"
#include "testimages.h"

#include <QTest>

#include <array>

using namespace pv;
using namespace testimages;

namespace {

constexpr QRgb kBg = 0xff0a0b0c;
constexpr QRgb kOtherBg = 0xff405060;

// The whole surface as an image, read pixel by pixel.
QImage pixelsOf(const Surface &s)
{
    QImage out(s.width(), s.height(), QImage::Format_RGB32);
    for (int y = 0; y < s.height(); ++y)
        for (int x = 0; x < s.width(); ++x)
            out.setPixel(x, y, s.pixel(x, y));
    return out;
}

// Noise in every channel and in alpha, not premultiplied.
QImage translucentNoise(QSize size)
{
    QImage out(size, QImage::Format_ARGB32);
    quint32 seed = 777;
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x) {
            seed = seed * 1664525u + 1013904223u;
            out.setPixel(x, y, seed ^ (seed >> 13));
        }
    return out;
}

// The area average of `src`, premultiplied by alpha, over the part of the
// picture that output pixel (ox, oy) of an outW x outH result covers,
// worked out in doubles pixel by pixel.
std::array<double, 4> areaAverage(const QImage &src, int outW, int outH, int ox, int oy)
{
    const double sx = double(src.width()) / outW, sy = double(src.height()) / outH;
    std::array<double, 4> sum{};
    double area = 0;
    for (int y = int(oy * sy); y < src.height() && y < (oy + 1) * sy; ++y)
        for (int x = int(ox * sx); x < src.width() && x < (ox + 1) * sx; ++x) {
            const double w = (std::min(x + 1.0, (ox + 1) * sx) - std::max(double(x), ox * sx)) *
                             (std::min(y + 1.0, (oy + 1) * sy) - std::max(double(y), oy * sy));
            const QRgb p = qPremultiply(src.pixel(x, y));
            sum[0] += w * qRed(p), sum[1] += w * qGreen(p), sum[2] += w * qBlue(p), sum[3] += w * qAlpha(p);
            area += w;
        }
    for (double &v : sum)
        v /= area;
    return sum;
}

} // namespace

class tst_Surface : public QObject {
    Q_OBJECT
private slots:
    void copyClipping_data();
    void copyClipping();
    void copyOverExistingContent();
    void copiesAreIndependent();
    void stretchSizes_data();
    void stretchSizes();
    void uniformStaysUniform_data();
    void uniformStaysUniform();
    void reducedPhotoKeepsBrightness();
    void reductionAveragesAreas();
    void stretchIdentityIsACopy();
    void vectorKernelsMatchPlain_data();
    void vectorKernelsMatchPlain();
    void regionMatchesCopy_data();
    void regionMatchesCopy();
    void premultipliedAreaAverage_data();
    void premultipliedAreaAverage();
    void hiddenColourDoesNotBleed();
    void click_data();
    void click();
};

// A copy of the block (x, y, w, h) of a 10 x 8 source into a 6 x 5 destination.
void tst_Surface::copyClipping_data()
{
    QTest::addColumn<QRect>("block");
    QTest::newRow("inside") << QRect(2, 3, 4, 2);
    QTest::newRow("past the source's right and bottom") << QRect(7, 6, 6, 5);
    QTest::newRow("larger than the destination") << QRect(0, 0, 10, 8);
    QTest::newRow("negative source origin") << QRect(-2, -1, 5, 4);
    QTest::newRow("entirely outside") << QRect(20, 20, 3, 3);
    QTest::newRow("zero size") << QRect(1, 1, 0, 0);
}

void tst_Surface::copyClipping()
{
    QFETCH(QRect, block);
    const Surface src = surfaceOf(pattern(10, 8));
    Surface dst(6, 5, kOtherBg);
    dst.bitBlt(src, block.width(), block.height(), block.x(), block.y());

    // Reference: pixel by pixel, from the definition.
    QImage expected(6, 5, QImage::Format_RGB32);
    for (int j = 0; j < 5; ++j)
        for (int i = 0; i < 6; ++i) {
            const int sx = block.x() + i, sy = block.y() + j;
            const bool copied = i < block.width() && j < block.height() && sx >= 0 && sy >= 0 && sx < 10 && sy < 8;
            expected.setPixel(i, j, copied ? src.pixel(sx, sy) : kOtherBg);
        }
    const QString diff = firstDifference(pixelsOf(dst), expected);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void tst_Surface::copyOverExistingContent()
{
    // Without clearing, a copy writes over what is there and keeps the rest.
    const Surface big = surfaceOf(pattern(8, 8));
    const Surface small = surfaceOf(photo(3, 2), kOtherBg);
    Surface dst(8, 8, kBg);
    dst.bitBlt(small, 3, 2, 0, 0);
    dst.bitBlt(big, 5, 6, 2, 1);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            QRgb expected = kBg;
            if (x < 3 && y < 2)
                expected = small.pixel(x, y);
            if (x < 5 && y < 6)
                expected = big.pixel(x + 2, y + 1);
            QVERIFY2(dst.pixel(x, y) == expected, qPrintable(QStringLiteral("at %1,%2").arg(x).arg(y)));
        }
}

void tst_Surface::copiesAreIndependent()
{
    // Shared pixels must never let a write show through in another surface.
    Surface a = surfaceOf(pattern(6, 6));
    Surface b(6, 6, kBg);
    b.bitBlt(a, 4, 4, 1, 1);
    const QRgb before = b.pixel(0, 0);
    Surface c(6, 6, kBg);
    c.bitBlt(surfaceOf(photo(6, 6)), 6, 6, 0, 0);
    a.bitBlt(c, 6, 6, 0, 0); // overwrite the source
    QCOMPARE(b.pixel(0, 0), before);
    QCOMPARE(b.pixel(0, 0), pattern(6, 6).pixel(1, 1));
}

void tst_Surface::stretchSizes_data()
{
    QTest::addColumn<QSize>("from");
    QTest::addColumn<QSize>("to");
    QTest::newRow("halve") << QSize(40, 30) << QSize(20, 15);
    QTest::newRow("to 400") << QSize(801, 333) << QSize(400, 166);
    QTest::newRow("enlarge") << QSize(5, 4) << QSize(13, 9);
    QTest::newRow("mixed") << QSize(30, 4) << QSize(7, 11);
    QTest::newRow("to 1 x 1") << QSize(17, 9) << QSize(1, 1);
}

void tst_Surface::stretchSizes()
{
    QFETCH(QSize, from);
    QFETCH(QSize, to);
    const Surface src = surfaceOf(photo(from.width(), from.height()));
    Surface dst(900, 900, kOtherBg);
    dst.stretchBlt(src, to.width(), to.height(), 0, 0, from.width(), from.height());
    // Drawn exactly over to, background elsewhere.
    QCOMPARE(dst.pixel(to.width() - 1, to.height() - 1) == kOtherBg, false);
    QCOMPARE(dst.pixel(to.width(), 0), kOtherBg);
    QCOMPARE(dst.pixel(0, to.height()), kOtherBg);
    QCOMPARE(dst.content().size(), to);
}

void tst_Surface::uniformStaysUniform_data()
{
    QTest::addColumn<QSize>("from");
    QTest::addColumn<QSize>("to");
    QTest::newRow("reduce by 3.7") << QSize(37, 37) << QSize(10, 10);
    QTest::newRow("enlarge") << QSize(3, 3) << QSize(17, 5);
    QTest::newRow("big reduce") << QSize(6000, 20) << QSize(7, 3);
}

void tst_Surface::uniformStaysUniform()
{
    QFETCH(QSize, from);
    QFETCH(QSize, to);
    QImage flat(from, QImage::Format_RGB32);
    flat.fill(qRgb(201, 77, 13));
    const QImage out = resample(flat, to.width(), to.height());
    QImage expected(to, QImage::Format_RGB32);
    expected.fill(qRgb(201, 77, 13));
    const QString diff = firstDifference(out, expected);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void tst_Surface::reducedPhotoKeepsBrightness()
{
    // A busy colour picture: averaging keeps the mean; dropping pixels or
    // combining them bitwise would not.
    const QImage source = pattern(1203, 801);
    const QImage out = resample(source, 400, 266);
    QCOMPARE(out.size(), QSize(400, 266));
    QVERIFY2(std::abs(meanLuma(out) - meanLuma(source)) < 0.75,
             qPrintable(QStringLiteral("%1 against %2").arg(meanLuma(out)).arg(meanLuma(source))));
}

void tst_Surface::reductionAveragesAreas()
{
    // 4 x 1 of black and white pairs to 2 x 1: each output is the mean of two.
    QImage src(4, 1, QImage::Format_RGB32);
    src.setPixel(0, 0, qRgb(0, 0, 0));
    src.setPixel(1, 0, qRgb(200, 100, 50));
    src.setPixel(2, 0, qRgb(100, 100, 100));
    src.setPixel(3, 0, qRgb(100, 100, 100));
    const QImage out = resample(src, 2, 1);
    QCOMPARE(out.pixel(0, 0), qRgb(100, 50, 25));
    QCOMPARE(out.pixel(1, 0), qRgb(100, 100, 100));
    // 3 to 2: the middle pixel is split between both outputs.
    QImage three(3, 1, QImage::Format_RGB32);
    three.setPixel(0, 0, qRgb(90, 90, 90));
    three.setPixel(1, 0, qRgb(0, 0, 0));
    three.setPixel(2, 0, qRgb(30, 30, 30));
    const QImage two = resample(three, 2, 1);
    QCOMPARE(two.pixel(0, 0), qRgb(60, 60, 60));
    QCOMPARE(two.pixel(1, 0), qRgb(20, 20, 20));
}

void tst_Surface::stretchIdentityIsACopy()
{
    const Surface src = surfaceOf(pattern(30, 20));
    Surface dst(30, 20, kBg);
    dst.stretchBlt(src, 20, 10, 5, 6, 20, 10);
    const QString diff = firstDifference(dst.block(0, 0, 20, 10), pattern(30, 20).copy(5, 6, 20, 10));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

void tst_Surface::vectorKernelsMatchPlain_data()
{
    QTest::addColumn<QSize>("from");
    QTest::addColumn<QSize>("to");
    // Widths that leave tails past the 32-byte blocks, odd and even tap
    // counts, a preview-sized reduction and an enlargement.
    QTest::newRow("shrink") << QSize(603, 341) << QSize(192, 108);
    QTest::newRow("preview") << QSize(1201, 797) << QSize(81, 53);
    QTest::newRow("3 to 2") << QSize(97, 33) << QSize(65, 22);
    QTest::newRow("enlarge") << QSize(37, 29) << QSize(101, 77);
    QTest::newRow("one column") << QSize(1, 50) << QSize(1, 7);
}

void tst_Surface::vectorKernelsMatchPlain()
{
    QFETCH(QSize, from);
    QFETCH(QSize, to);
    // Full-range noise, so that sums reach their limits.
    QImage src(from, QImage::Format_RGB32);
    quint32 seed = 12345;
    for (int y = 0; y < from.height(); ++y)
        for (int x = 0; x < from.width(); ++x) {
            seed = seed * 1664525u + 1013904223u;
            src.setPixel(x, y, (seed >> 8) | 0xff000000u);
        }
    src.setPixel(0, 0, 0xffffffff);
    const QImage vector = resample(src, to.width(), to.height());
    useVectorKernels(false);
    const QImage plain = resample(src, to.width(), to.height());
    useVectorKernels(true);
    const QString diff = firstDifference(vector, plain);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
}

// Resampling a whole-pixel region of a picture is resampling a copy of that
// region, whether the rows are split over helper threads or not.
void tst_Surface::regionMatchesCopy_data()
{
    QTest::addColumn<QRect>("region");
    QTest::addColumn<QSize>("to");
    QTest::newRow("inside, split") << QRect(37, 21, 700, 500) << QSize(161, 97);
    QTest::newRow("at the edges") << QRect(0, 0, 800, 600) << QSize(320, 240);
    QTest::newRow("bottom right corner") << QRect(799, 599, 1, 1) << QSize(1, 1);
    QTest::newRow("one column to one pixel") << QRect(5, 0, 1, 600) << QSize(1, 1);
}

void tst_Surface::regionMatchesCopy()
{
    QFETCH(QRect, region);
    QFETCH(QSize, to);
    const QImage src = photo(800, 600);
    const QImage ofCopy = resample(src.copy(region), to.width(), to.height(), Work::alone());
    VERIFY_SAME_PIXELS(resampleRegion(src, QRectF(region), to.width(), to.height(), Work{1}), ofCopy);
}

void tst_Surface::premultipliedAreaAverage_data()
{
    QTest::addColumn<QSize>("from");
    QTest::addColumn<QSize>("to");
    QTest::newRow("halves") << QSize(40, 30) << QSize(20, 15);
    QTest::newRow("fractional both ways") << QSize(97, 61) << QSize(30, 17);
    QTest::newRow("one axis only") << QSize(50, 9) << QSize(13, 9);
}

// With alpha, every channel of the result is the area average of the
// premultiplied pixels, within the fixed point's one level, by the vector
// kernels and the plain ones alike.
void tst_Surface::premultipliedAreaAverage()
{
    QFETCH(QSize, from);
    QFETCH(QSize, to);
    const QImage src = translucentNoise(from);
    for (const bool vector : {true, false}) {
        useVectorKernels(vector);
        const QImage out = resample(src, to.width(), to.height());
        useVectorKernels(true);
        QCOMPARE(out.format(), QImage::Format_ARGB32_Premultiplied);
        for (int y = 0; y < to.height(); ++y)
            for (int x = 0; x < to.width(); ++x) {
                const std::array<double, 4> want = areaAverage(src, to.width(), to.height(), x, y);
                const QRgb got = reinterpret_cast<const QRgb *>(out.constScanLine(y))[x];
                const int have[4] = {qRed(got), qGreen(got), qBlue(got), qAlpha(got)};
                for (int c = 0; c < 4; ++c)
                    QVERIFY2(std::abs(have[c] - want[size_t(c)]) <= 1.0,
                             qPrintable(QStringLiteral("vector %1, pixel (%2, %3), channel %4: %5, expected %6")
                                            .arg(vector).arg(x).arg(y).arg(c).arg(have[c]).arg(want[size_t(c)])));
            }
    }
}

// Red hidden under transparent pixels around an opaque blue square: after a
// fit, every pixel that shows anything is pure blue, partly transparent at
// the square's edges.
void tst_Surface::hiddenColourDoesNotBleed()
{
    QImage src(60, 40, QImage::Format_ARGB32);
    src.fill(qRgba(255, 0, 0, 0));
    for (int y = 9; y < 31; ++y)
        for (int x = 17; x < 43; ++x)
            src.setPixel(x, y, qRgba(0, 0, 255, 255));
    const Framed fitted = applyFrame(FrameStep{FrameKind::Fit, 25, 25}, src, Edges{});
    QCOMPARE(fitted.picture.size(), QSize(25, 17));
    const QImage plain = fitted.picture.convertToFormat(QImage::Format_ARGB32);
    int edges = 0;
    for (int y = 0; y < plain.height(); ++y)
        for (int x = 0; x < plain.width(); ++x) {
            const QRgb p = plain.pixel(x, y);
            if (qAlpha(p) == 0)
                continue;
            edges += qAlpha(p) < 255;
            QVERIFY2(qRed(p) == 0 && qGreen(p) == 0,
                     qPrintable(QStringLiteral("(%1, %2) is %3").arg(x).arg(y).arg(p, 8, 16)));
        }
    QVERIFY(edges > 0);
}

// Every kind of click and every way it is refused, on a 40 x 30 picture:
// what it keeps (or the message refusing it), and the margin a shrink
// leaves.
void tst_Surface::click_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QStringList>("fields"); // txtYoko txtTate txtReSizeValue txtDotDelValue
    QTest::addColumn<QString>("edges");
    QTest::addColumn<QRect>("kept");       // of the picture; empty when refused
    QTest::addColumn<QString>("refusal");  // the message, when refused
    QTest::addColumn<bool>("captured");
    QTest::addColumn<int>("margin");       // intReSizeValue afterwards
    const QRect none;
    QTest::newRow("trim all") << int(EditKind::Trim) << QStringList{"40", "30", "0", "3"} << "udlr" << QRect(3, 3, 34, 24) << "" << true << 0;
    QTest::newRow("trim top and left") << int(EditKind::Trim) << QStringList{"40", "30", "0", "5"} << "ul" << QRect(5, 5, 35, 25) << "" << true << 0;
    QTest::newRow("trim to nothing") << int(EditKind::Trim) << QStringList{"40", "30", "0", "15"} << "ud" << none << texts::sizeNotPositive << true << 0;
    QTest::newRow("trim no edge") << int(EditKind::Trim) << QStringList{"40", "30", "0", "3"} << "" << none << texts::noEdgeChecked << false << 0;
    QTest::newRow("trim not digits") << int(EditKind::Trim) << QStringList{"40", "30", "0", "3a"} << "udlr" << none << texts::enterNumber << false << 0;
    QTest::newRow("crop odd leftover") << int(EditKind::CentreCrop) << QStringList{"37", "27", "0", "10"} << "" << QRect(2, 2, 37, 27) << "" << true << 0;
    QTest::newRow("crop same size") << int(EditKind::CentreCrop) << QStringList{"40", "30", "0", "10"} << "" << none << texts::sameSize << false << 0;
    QTest::newRow("crop larger") << int(EditKind::CentreCrop) << QStringList{"41", "30", "0", "10"} << "" << none << texts::shrinkOnly << false << 0;
    QTest::newRow("shrink keeps proportions") << int(EditKind::Shrink) << QStringList{"20", "15", "0", "10"} << "udlr" << QRect(0, 0, 40, 30) << "" << true << 0;
    QTest::newRow("shrink from a margin") << int(EditKind::Shrink) << QStringList{"20", "15", "2", "10"} << "udlr" << QRect(2, 2, 35, 26) << "" << true << 2;
    QTest::newRow("shrink from the right") << int(EditKind::Shrink) << QStringList{"10", "10", "0", "10"} << "udr" << QRect(0, 0, 30, 30) << "" << true << 0;
    QTest::newRow("shrink no left or right") << int(EditKind::Shrink) << QStringList{"20", "15", "0", "10"} << "ud" << none << texts::checkLeftRight << false << 0;
    QTest::newRow("shrink margin too large") << int(EditKind::Shrink) << QStringList{"20", "15", "20", "10"} << "udlr" << none << texts::sizeNotPositive << true << 20;
}

void tst_Surface::click()
{
    QFETCH(int, kind);
    QFETCH(QStringList, fields);
    QFETCH(QString, edges);
    QFETCH(QRect, kept);
    QFETCH(QString, refusal);
    QFETCH(bool, captured);
    QFETCH(int, margin);
    const QImage picture = photo(40, 30);
    Document doc;
    doc.open(picture);
    QCOMPARE(doc.fields.yoko + u'x' + doc.fields.tate, QStringLiteral("40x30")); // as opening leaves them
    doc.fields.yoko = fields[0];
    doc.fields.tate = fields[1];
    doc.fields.reSizeValue = fields[2];
    doc.fields.dotDelValue = fields[3];
    doc.fields.edges = {edges.contains(u'u'), edges.contains(u'd'), edges.contains(u'l'), edges.contains(u'r')};
    const EditState before = doc.state();
    const EditOutcome did = doc.click(EditKind(kind));
    QCOMPARE(did.plan.captured, captured);
    QCOMPARE(did.plan.refusal ? did.plan.refusal->message.text : QString(), refusal);
    QCOMPARE(int(doc.state().intReSizeValue), margin);
    // Only a shrink whose entries were captured writes its margin back.
    const bool writesBack = captured && EditKind(kind) == EditKind::Shrink;
    QCOMPARE(doc.fields.reSizeValue, writesBack ? QString::number(margin) : fields[2]);
    if (!captured)
        QCOMPARE(doc.state().intInYoko, before.intInYoko); // nothing captured
    if (kept.isEmpty()) {
        QVERIFY(did.picture.isNull());
        QCOMPARE(doc.state().intEditYoko, before.intEditYoko);
        VERIFY_SAME_PIXELS(doc.current(), picture);
        return;
    }
    const QSize size = EditKind(kind) == EditKind::Shrink ? QSize(fields[0].toInt(), fields[1].toInt()) : kept.size();
    QCOMPARE(QSize(doc.state().intEditYoko, doc.state().intEditTate), size);
    const QImage expected = EditKind(kind) == EditKind::Shrink
                                ? resample(picture.copy(kept), size.width(), size.height())
                                : picture.copy(kept);
    VERIFY_SAME_PIXELS(did.picture, expected);
    VERIFY_SAME_PIXELS(doc.current(), expected);
    // Restoring brings back the picture as loaded, and its size in the fields.
    doc.restore();
    QCOMPARE(QSize(doc.state().intEditYoko, doc.state().intEditTate), QSize(40, 30));
    QCOMPARE(doc.fields.yoko + u'x' + doc.fields.tate, QStringLiteral("40x30"));
    VERIFY_SAME_PIXELS(doc.current(), picture);
}

QTEST_GUILESS_MAIN(tst_Surface)
#include "tst_surface.moc"

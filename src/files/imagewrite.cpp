#include "files/imagewrite.h"

#include "files/atomicfile.h"
#include "files/bmpwrite.h"
#include "files/encoders.h"
#include "files/jpegwrite.h"
#include "files/jxlwrite.h"
#include "files/metadata.h"
#include "input/filenames.h"

#include <QBuffer>
#include <QImageWriter>

#include <algorithm>
#include <cmath>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sys/mman.h>

namespace pv {

Fault cannotEncode() { return Fault::content(QStringLiteral("cannot encode the picture")); }

bool memoryShort(qint64 bytes)
{
    void *p = ::mmap(nullptr, size_t(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return true;
    ::munmap(p, size_t(bytes));
    return false;
}

Made<QByteArray> jpegFile(const QImage &pixels, const WriteRequest &r, int quality)
{
    QByteArray bytes = encodeJpeg(pixels, JpegSettings{quality, r.progressive, r.fullChroma, r.exif, r.icc});
    if (bytes.isEmpty())
        return failure(memoryShort(qint64(pixels.width()) * pixels.height() * 4) ? Fault::memory() : cannotEncode());
    return bytes;
}

Made<QByteArray> jxlFile(const QImage &pixels, const WriteRequest &r, int quality)
{
    QByteArray bytes = encodeJxl(pixels, JxlSettings{quality, r.lossless, r.exif, r.icc});
    if (bytes.isEmpty())
        return failure(cannotEncode());
    return bytes;
}

Made<QByteArray> pngFile(const QImage &pixels, const WriteRequest &r, int)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(pixels))
        return failure(cannotEncode());
    return r.exif.isEmpty() && r.icc.isEmpty() ? bytes : pngWithMetadata(bytes, r.exif, r.icc);
}

Made<void> bmpFile(const QImage &pixels, AtomicFile &file, const WriteRequest &r) { return writeBmp(pixels, file, r.work); }

namespace {

// The file at one quality.
Made<QByteArray> encoded(const QImage &pixels, const WriteRequest &r, int quality)
{
    const FormatRow &row = formatRow(r.format);
    if (!row.encode)
        return failure(cannotEncode());
    return row.encode(pixels, r, quality);
}

// A quality and the log of its file's size.
struct Tried {
    int quality = 0;
    double logSize = 0;
};

// The quality at which the log of the size, taken as a line through the
// last two tries (or through the last with a slope of 0.05 a step, as the
// four formats' files of photos grow from quality 50 up), meets the budget.
int interpolated(const Tried &previous, const Tried &last, qint64 budget)
{
    double slope = 0.05;
    if (previous.quality > 0 && previous.quality != last.quality) {
        const double s = (last.logSize - previous.logSize) / (last.quality - previous.quality);
        if (s > 0.001)
            slope = s;
    }
    return last.quality + int(std::floor((std::log(double(budget)) - last.logSize) / slope));
}

// The highest quality below `above` (which does not fit) whose file fits
// the budget: a search of [1, above) that keeps the interval still open,
// each guess put where the sizes seen so far place the budget, and a plain
// halving after any guess that did not halve the interval, so that it
// never takes many more encodes than bisection and mostly far fewer (a
// photo's file: the plain one and two more). Empty, with the reason, when
// even quality 1 does not fit.
QByteArray largestFitting(const QImage &pixels, const WriteRequest &r, int above, qint64 aboveSize, QString *why)
{
    int fits = 0, over = above;
    qint64 overSize = aboveSize;
    Tried previous, last{above, std::log(double(aboveSize))};
    QByteArray best;
    bool halve = false;
    while (over - fits > 1) {
        const int open = over - fits;
        const int guess = std::clamp(halve ? (fits + over) / 2 : interpolated(previous, last, r.maxBytes), fits + 1, over - 1);
        Made<QByteArray> tried = encoded(pixels, r, guess);
        if (!tried) {
            if (why)
                *why = tried.reason().text;
            return QByteArray();
        }
        QByteArray bytes = std::move(tried).value();
        previous = last;
        last = Tried{guess, std::log(double(std::max<qsizetype>(bytes.size(), 1)))};
        if (bytes.size() <= r.maxBytes)
            fits = guess, best = std::move(bytes);
        else
            over = guess, overSize = bytes.size();
        halve = 2 * (over - fits) > open;
    }
    if (best.isEmpty() && why)
        *why = QStringLiteral("does not fit in %1 bytes even at quality 1 (%2 bytes)").arg(r.maxBytes).arg(overSize);
    return best;
}

} // namespace

QString extensionOf(ImageFormat format) { return QString::fromLatin1(formatRow(format).extension); }

int defaultQuality(ImageFormat format) { return formatRow(format).defaultQuality; }

int largestSide(ImageFormat format) { return formatRow(format).largestSide; }

Made<void> formatHolds(ImageFormat format, QSize size)
{
    const int most = largestSide(format);
    if (size.width() <= most && size.height() <= most)
        return {};
    return failure(Fault::content(QStringLiteral("%1 x %2 is beyond %3's limit of %4 pixels a side")
                                      .arg(size.width())
                                      .arg(size.height())
                                      .arg(QString::fromLatin1(formatRow(format).name))
                                      .arg(most)));
}

bool canBeLossless(ImageFormat format) { return formatRow(format).lossless; }

QByteArray encodePicture(const QImage &pixels, const WriteRequest &request, QString *why)
{
    Made<QByteArray> bytes = failure(Fault::memory());
    try {
        bytes = encoded(pixels, request, request.quality);
    } catch (const std::bad_alloc &) {
    }
    if (!bytes) {
        if (why)
            *why = bytes.reason().text;
        return QByteArray();
    }
    const bool budgeted = request.maxBytes > 0 && request.format != ImageFormat::Png && !request.lossless;
    if (budgeted && bytes->size() > request.maxBytes)
        return largestFitting(pixels, request, request.quality, bytes->size(), why);
    return std::move(bytes).value();
}

Made<void> writePicture(const QImage &pixels, const QString &path, const WriteRequest &request)
{
    if (Made<void> holds = formatHolds(request.format, pixels.size()); !holds)
        return holds;
    const auto existing = request.replace ? AtomicFile::Existing::Replace : AtomicFile::Existing::Keep;
    AtomicFile file = request.folder ? AtomicFile(*request.folder, bytesOfName(path), existing)
                                     : AtomicFile(path, existing, request.links);
    file.setRecord(request.record);
    if (request.replaceOnly)
        file.replaceOnly(*request.replaceOnly);
    if (Made<void> opened = file.open(); !opened)
        return opened;
    if (const FormatRow &row = formatRow(request.format); row.writeFile)
        return row.writeFile(pixels, file, request);
    QString why;
    const QByteArray bytes = encodePicture(pixels, request, &why);
    if (bytes.isEmpty())
        return failure(why == Fault::memory().text ? Fault::memory() : Fault::content(why));
    file.writeAt(bytes.constData(), bytes.size(), 0);
    return file.commit();
}

} // namespace pv

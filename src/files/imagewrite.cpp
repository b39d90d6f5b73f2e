#include "files/imagewrite.h"

#include "files/atomicfile.h"
#include "files/bmpwrite.h"
#include "files/jpegwrite.h"
#include "files/jxlwrite.h"
#include "files/metadata.h"
#include "input/filenames.h"

#include <QBuffer>
#include <QImageWriter>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libheif/heif.h>
#include <webp/encode.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pv {

namespace {

QByteArray webp(const QImage &pixels, int quality, bool lossless)
{
    WebPConfig config;
    WebPPicture picture;
    if (!WebPConfigInit(&config) || !WebPPictureInit(&picture))
        return QByteArray();
    config.quality = float(quality);
    config.lossless = lossless ? 1 : 0;
    config.exact = lossless ? 1 : 0;
    config.method = 4;
    picture.use_argb = lossless ? 1 : 0;
    picture.width = pixels.width();
    picture.height = pixels.height();
    WebPMemoryWriter memory;
    WebPMemoryWriterInit(&memory);
    picture.writer = WebPMemoryWrite;
    picture.custom_ptr = &memory;
    QByteArray out;
    // QImage's 32-bit pixels are B, G, R, X in memory.
    if (WebPPictureImportBGRX(&picture, pixels.constBits(), int(pixels.bytesPerLine())) && WebPEncode(&config, &picture))
        out = QByteArray(reinterpret_cast<const char *>(memory.mem), qsizetype(memory.size));
    WebPPictureFree(&picture);
    WebPMemoryWriterClear(&memory);
    return out;
}

QByteArray avif(const QImage &pixels, int quality, const QByteArray &exif, const QByteArray &icc)
{
    struct Free {
        void operator()(heif_context *c) const { heif_context_free(c); }
        void operator()(heif_encoder *e) const { heif_encoder_release(e); }
        void operator()(heif_image *i) const { heif_image_release(i); }
        void operator()(heif_encoding_options *o) const { heif_encoding_options_free(o); }
        void operator()(heif_color_profile_nclx *n) const { heif_nclx_color_profile_free(n); }
    };
    std::unique_ptr<heif_context, Free> context(heif_context_alloc());
    heif_encoder *made = nullptr;
    if (!context || heif_context_get_encoder_for_format(context.get(), heif_compression_AV1, &made).code != heif_error_Ok)
        return QByteArray();
    std::unique_ptr<heif_encoder, Free> encoder(made);
    heif_encoder_set_lossy_quality(encoder.get(), quality);
    heif_encoder_set_parameter_integer(encoder.get(), "speed", 8);
    const int w = pixels.width(), h = pixels.height();
    heif_image *raw = nullptr;
    if (heif_image_create(w, h, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &raw).code != heif_error_Ok)
        return QByteArray();
    std::unique_ptr<heif_image, Free> image(raw);
    if (heif_image_add_plane(raw, heif_channel_interleaved, w, h, 8).code != heif_error_Ok)
        return QByteArray();
    int stride = 0;
    uint8_t *plane = heif_image_get_plane(raw, heif_channel_interleaved, &stride);
    for (int y = 0; y < h; ++y) {
        const auto *in = reinterpret_cast<const QRgb *>(pixels.constScanLine(y));
        uint8_t *out = plane + qsizetype(stride) * y;
        for (int x = 0; x < w; ++x) {
            out[3 * x] = uint8_t(qRed(in[x]));
            out[3 * x + 1] = uint8_t(qGreen(in[x]));
            out[3 * x + 2] = uint8_t(qBlue(in[x]));
        }
    }
    // sRGB: BT.709 primaries, the sRGB transfer, coded through BT.709's
    // matrix.
    std::unique_ptr<heif_color_profile_nclx, Free> nclx(heif_nclx_color_profile_alloc());
    heif_nclx_color_profile_set_color_primaries(nclx.get(), 1);
    heif_nclx_color_profile_set_transfer_characteristics(nclx.get(), 13);
    heif_nclx_color_profile_set_matrix_coefficients(nclx.get(), 1);
    nclx->full_range_flag = 1;
    std::unique_ptr<heif_encoding_options, Free> options(heif_encoding_options_alloc());
    options->output_nclx_profile = nclx.get();
    options->macOS_compatibility_workaround_no_nclx_profile = 0;
    if (!icc.isEmpty() && heif_image_set_raw_color_profile(raw, "prof", icc.constData(), size_t(icc.size())).code != heif_error_Ok)
        return QByteArray();
    heif_image_handle *handle = nullptr;
    if (heif_context_encode_image(context.get(), raw, encoder.get(), options.get(), &handle).code != heif_error_Ok)
        return QByteArray();
    const bool exifAdded = exif.isEmpty() || heif_context_add_exif_metadata(context.get(), handle, exif.constData(),
                                                                            int(exif.size())).code == heif_error_Ok;
    heif_image_handle_release(handle);
    if (!exifAdded)
        return QByteArray();
    QByteArray out;
    heif_writer writer{1, [](heif_context *, const void *data, size_t size, void *target) {
                           static_cast<QByteArray *>(target)->append(static_cast<const char *>(data), qsizetype(size));
                           return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
                       }};
    if (heif_context_write(context.get(), &writer, &out).code != heif_error_Ok)
        return QByteArray();
    return out;
}

QByteArray png(const QImage &pixels, const WriteRequest &r)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(pixels))
        return QByteArray();
    return r.exif.isEmpty() && r.icc.isEmpty() ? bytes : pngWithMetadata(bytes, r.exif, r.icc);
}

// The file at one quality.
QByteArray encoded(const QImage &pixels, const WriteRequest &r, int quality)
{
    switch (r.format) {
    case ImageFormat::Webp: {
        const QByteArray bytes = webp(pixels, quality, r.lossless);
        return r.exif.isEmpty() && r.icc.isEmpty() ? bytes : webpWithMetadata(bytes, r.exif, r.icc);
    }
    case ImageFormat::Avif:
        return avif(pixels, quality, r.exif, r.icc);
    case ImageFormat::Png:
        return png(pixels, r);
    case ImageFormat::Jxl:
        return encodeJxl(pixels, JxlSettings{quality, r.lossless, r.exif, r.icc});
    case ImageFormat::Jpeg:
    case ImageFormat::Bmp:
        break;
    }
    return encodeJpeg(pixels, JpegSettings{quality, r.progressive, r.fullChroma, r.exif, r.icc});
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
        QByteArray bytes = encoded(pixels, r, guess);
        if (bytes.isEmpty())
            return QByteArray();
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

QByteArray encodePicture(const QImage &pixels, const WriteRequest &request, QString *why)
{
    const QString cannot = QStringLiteral("cannot encode the picture");
    QByteArray bytes = encoded(pixels, request, request.quality);
    const bool budgeted = request.maxBytes > 0 && request.format != ImageFormat::Png && !request.lossless;
    if (!bytes.isEmpty() && budgeted && bytes.size() > request.maxBytes)
        bytes = largestFitting(pixels, request, request.quality, bytes.size(), why);
    else if (bytes.isEmpty() && why)
        *why = cannot;
    if (bytes.isEmpty() && why && why->isEmpty())
        *why = cannot;
    return bytes;
}

QString extensionOf(ImageFormat format)
{
    switch (format) {
    case ImageFormat::Png:
        return QStringLiteral("png");
    case ImageFormat::Jpeg:
        return QStringLiteral("jpg");
    case ImageFormat::Webp:
        return QStringLiteral("webp");
    case ImageFormat::Avif:
        return QStringLiteral("avif");
    case ImageFormat::Jxl:
        return QStringLiteral("jxl");
    case ImageFormat::Bmp:
        break;
    }
    return QStringLiteral("bmp");
}

int defaultQuality(ImageFormat format)
{
    return format == ImageFormat::Webp ? 80 : format == ImageFormat::Avif ? 60 : 90; // JPEG XL: 90, distance 1
}

// libheif 1.15's AV1 coding of RGB, even 4:4:4 through the identity
// matrix, moves some pixels by a level: AVIF is not offered lossless.
bool canBeLossless(ImageFormat format) { return format == ImageFormat::Webp || format == ImageFormat::Jxl; }

Made<void> writePicture(const QImage &pixels, const QString &path, const WriteRequest &request)
{
    AtomicFile file(path, request.replace ? AtomicFile::Existing::Replace : AtomicFile::Existing::Keep, request.links);
    if (Made<void> opened = file.open(); !opened)
        return opened;
    if (request.format == ImageFormat::Bmp)
        return writeBmp(pixels, file, request.work);
    QString why;
    const QByteArray bytes = encodePicture(pixels, request, &why);
    if (bytes.isEmpty())
        return failure(Fault::content(why));
    file.writeAt(bytes.constData(), bytes.size(), 0);
    return file.commit();
}

// Whether the boxes of an ISO base media file fill it exactly.
bool heifBoxesComplete(const QString &path, qint64 size)
{
    const int fd = ::open(bytesOfName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    qint64 at = 0;
    bool whole = false;
    for (int boxes = 0; boxes < 4096; ++boxes) {
        char header[16];
        if (at == size) {
            whole = true;
            break;
        }
        if (::pread(fd, header, 16, at) < 8)
            break;
        quint64 length = qFromBigEndian<quint32>(header);
        if (length == 1)
            length = qFromBigEndian<quint64>(header + 8);
        if (length < 8 || length > quint64(size - at))
            break;
        at += qint64(length);
    }
    ::close(fd);
    return whole;
}

bool looksCutShort(const QString &path, ImageFormat format)
{
    const int fd = ::open(bytesOfName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    char head[8] = {}, tail[12] = {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const qint64 size = regular ? qint64(st.st_size) : -1;
    const qint64 headBytes = size > 0 ? ::pread(fd, head, sizeof head, 0) : 0;
    const bool tailRead = size >= qint64(sizeof tail) &&
                          ::pread(fd, tail, sizeof tail, size - qint64(sizeof tail)) == qint64(sizeof tail);
    ::close(fd);
    if (size == 0)
        return true;
    if (size < 0)
        return false;
    auto begins = [&](const char *signature, qint64 length) {
        return std::memcmp(head, signature, size_t(std::min(length, headBytes))) == 0;
    };
    switch (format) {
    case ImageFormat::Bmp:
        return begins("BM", 2) && (headBytes < 6 || qFromLittleEndian<quint32>(head + 2) > quint64(size));
    case ImageFormat::Png:
        return begins("\x89PNG\r\n\x1a\n", 8) && !(tailRead && std::memcmp(tail + 4, "IEND", 4) == 0);
    case ImageFormat::Jpeg:
        return begins("\xff\xd8", 2) && !(tailRead && std::memcmp(tail + 10, "\xff\xd9", 2) == 0);
    case ImageFormat::Webp:
        // RIFF's length says how long the whole file is.
        return begins("RIFF", 4) && (headBytes < 8 || qFromLittleEndian<quint32>(head + 4) + 8 > quint64(size));
    case ImageFormat::Avif:
        // Boxes to the end: the last one's length must reach it exactly.
        return begins("\0\0\0", 3) && !heifBoxesComplete(path, size);
    case ImageFormat::Jxl:
        // The container's boxes likewise; a bare codestream tells nothing.
        return begins("\0\0\0\x0cJXL ", 8) && !heifBoxesComplete(path, size);
    }
    return false;
}

} // namespace pv

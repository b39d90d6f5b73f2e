#include "files/imagewrite.h"

#include "files/atomicfile.h"
#include "files/bmpwrite.h"
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
#include <jpeglib.h>
#include <jerror.h>
#include <libheif/heif.h>
#include <webp/encode.h>

namespace pv {

namespace {

Fault cannotEncode() { return Fault::content(QStringLiteral("cannot encode the picture")); }

// Whether `bytes` of memory could not be had just now. An encoder that
// fails without saying why is taken to have run out of memory only then:
// the least it needs was not there.
bool memoryShort(qint64 bytes)
{
    void *p = ::mmap(nullptr, size_t(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return true;
    ::munmap(p, size_t(bytes));
    return false;
}

Made<QByteArray> jpeg(const QImage &pixels, const WriteRequest &r, int quality)
{
    QByteArray bytes = encodeJpeg(pixels, JpegSettings{quality, r.progressive, r.fullChroma, r.exif, r.icc});
    if (bytes.isEmpty())
        return failure(memoryShort(qint64(pixels.width()) * pixels.height() * 4) ? Fault::memory() : cannotEncode());
    return bytes;
}

Made<QByteArray> webp(const QImage &pixels, int quality, bool lossless)
{
    struct Held {
        WebPPicture picture;
        WebPMemoryWriter memory;
        ~Held() { WebPPictureFree(&picture), WebPMemoryWriterClear(&memory); }
    };
    WebPConfig config;
    Held held;
    WebPMemoryWriterInit(&held.memory);
    if (!WebPConfigInit(&config) || !WebPPictureInit(&held.picture))
        return failure(cannotEncode());
    config.quality = float(quality);
    config.lossless = lossless ? 1 : 0;
    config.exact = lossless ? 1 : 0;
    config.method = 4;
    // The analysis of the picture runs on a second thread: the same bytes,
    // sooner where a core is free.
    config.thread_level = 1;
    WebPPicture &picture = held.picture;
    picture.use_argb = lossless ? 1 : 0;
    picture.width = pixels.width();
    picture.height = pixels.height();
    picture.writer = WebPMemoryWrite;
    picture.custom_ptr = &held.memory;
    // QImage's 32-bit pixels are B, G, R, X (or A, not premultiplied) in
    // memory.
    const bool alpha = pixels.hasAlphaChannel();
    const QImage plain = alpha ? pixels.convertToFormat(QImage::Format_ARGB32) : pixels;
    const bool imported = alpha ? WebPPictureImportBGRA(&picture, plain.constBits(), int(plain.bytesPerLine()))
                                : WebPPictureImportBGRX(&picture, plain.constBits(), int(plain.bytesPerLine()));
    if (imported && WebPEncode(&config, &picture))
        return QByteArray(reinterpret_cast<const char *>(held.memory.mem), qsizetype(held.memory.size));
    const bool memory = picture.error_code == VP8_ENC_ERROR_OUT_OF_MEMORY ||
                        picture.error_code == VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY;
    return failure(memory ? Fault::memory() : cannotEncode());
}

struct HeifFree {
    void operator()(heif_context *c) const { heif_context_free(c); }
    void operator()(heif_encoder *e) const { heif_encoder_release(e); }
    void operator()(heif_image *i) const { heif_image_release(i); }
    void operator()(heif_encoding_options *o) const { heif_encoding_options_free(o); }
    void operator()(heif_color_profile_nclx *n) const { heif_nclx_color_profile_free(n); }
};

// The least memory libheif's aom encoder takes for `pixels` at speed 8:
// some 25 bytes a pixel and 40 MB besides were measured.
qint64 avifEncoderBytes(qint64 pixels) { return pixels * 16 + (qint64(32) << 20); }

// A picture's pixels as libheif's interleaved 8-bit RGB.
Made<std::unique_ptr<heif_image, HeifFree>> heifImage(const QImage &pixels)
{
    const int w = pixels.width(), h = pixels.height();
    // Transparency kept as an alpha plane (not premultiplied).
    const bool alpha = pixels.hasAlphaChannel();
    const QImage plain = alpha ? pixels.convertToFormat(QImage::Format_ARGB32) : pixels;
    const int channels = alpha ? 4 : 3;
    heif_image *raw = nullptr;
    if (heif_image_create(w, h, heif_colorspace_RGB, alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                          &raw).code != heif_error_Ok)
        return failure(Fault::memory());
    std::unique_ptr<heif_image, HeifFree> image(raw);
    if (heif_image_add_plane(raw, heif_channel_interleaved, w, h, 8).code != heif_error_Ok)
        return failure(Fault::memory());
    int stride = 0;
    uint8_t *plane = heif_image_get_plane(raw, heif_channel_interleaved, &stride);
    for (int y = 0; y < h; ++y) {
        const auto *in = reinterpret_cast<const QRgb *>(plain.constScanLine(y));
        uint8_t *out = plane + qsizetype(stride) * y;
        for (int x = 0; x < w; ++x) {
            uint8_t *o = out + channels * x;
            o[0] = uint8_t(qRed(in[x]));
            o[1] = uint8_t(qGreen(in[x]));
            o[2] = uint8_t(qBlue(in[x]));
            if (alpha)
                o[3] = uint8_t(qAlpha(in[x]));
        }
    }
    return image;
}

Made<QByteArray> avif(const QImage &pixels, int quality, const QByteArray &exif, const QByteArray &icc)
{
    std::unique_ptr<heif_context, HeifFree> context(heif_context_alloc());
    heif_encoder *made = nullptr;
    if (!context)
        return failure(Fault::memory());
    if (heif_context_get_encoder_for_format(context.get(), heif_compression_AV1, &made).code != heif_error_Ok)
        return failure(cannotEncode());
    std::unique_ptr<heif_encoder, HeifFree> encoder(made);
    heif_encoder_set_lossy_quality(encoder.get(), quality);
    heif_encoder_set_parameter_integer(encoder.get(), "speed", 8);
    Made<std::unique_ptr<heif_image, HeifFree>> image = heifImage(pixels);
    if (!image)
        return failure(image.reason());
    // sRGB: BT.709 primaries, the sRGB transfer, coded through BT.709's
    // matrix.
    std::unique_ptr<heif_color_profile_nclx, HeifFree> nclx(heif_nclx_color_profile_alloc());
    std::unique_ptr<heif_encoding_options, HeifFree> options(heif_encoding_options_alloc());
    if (!nclx || !options)
        return failure(Fault::memory());
    heif_nclx_color_profile_set_color_primaries(nclx.get(), 1);
    heif_nclx_color_profile_set_transfer_characteristics(nclx.get(), 13);
    heif_nclx_color_profile_set_matrix_coefficients(nclx.get(), 1);
    nclx->full_range_flag = 1;
    options->output_nclx_profile = nclx.get();
    options->macOS_compatibility_workaround_no_nclx_profile = 0;
    if (!icc.isEmpty() &&
        heif_image_set_raw_color_profile(image->get(), "prof", icc.constData(), size_t(icc.size())).code != heif_error_Ok)
        return failure(cannotEncode());
    // libheif names no cause when the encoder's memory runs out (it may even
    // say "unsupported color conversion").
    heif_image_handle *handle = nullptr;
    if (heif_context_encode_image(context.get(), image->get(), encoder.get(), options.get(), &handle).code != heif_error_Ok)
        return failure(memoryShort(avifEncoderBytes(qint64(pixels.width()) * pixels.height())) ? Fault::memory()
                                                                                               : cannotEncode());
    const bool exifAdded = exif.isEmpty() || heif_context_add_exif_metadata(context.get(), handle, exif.constData(),
                                                                            int(exif.size())).code == heif_error_Ok;
    heif_image_handle_release(handle);
    if (!exifAdded)
        return failure(cannotEncode());
    QByteArray out;
    heif_writer writer{1, [](heif_context *, const void *data, size_t size, void *target) {
                           static_cast<QByteArray *>(target)->append(static_cast<const char *>(data), qsizetype(size));
                           return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
                       }};
    if (heif_context_write(context.get(), &writer, &out).code != heif_error_Ok)
        return failure(cannotEncode());
    return out;
}

Made<QByteArray> png(const QImage &pixels, const WriteRequest &r)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(pixels))
        return failure(cannotEncode());
    return r.exif.isEmpty() && r.icc.isEmpty() ? bytes : pngWithMetadata(bytes, r.exif, r.icc);
}

// The file at one quality.
Made<QByteArray> encoded(const QImage &pixels, const WriteRequest &r, int quality)
{
    switch (r.format) {
    case ImageFormat::Webp: {
        Made<QByteArray> bytes = webp(pixels, quality, r.lossless);
        if (!bytes || (r.exif.isEmpty() && r.icc.isEmpty()))
            return bytes;
        return webpWithMetadata(bytes.value(), r.exif, r.icc);
    }
    case ImageFormat::Avif:
        return avif(pixels, quality, r.exif, r.icc);
    case ImageFormat::Jpeg:
        return jpeg(pixels, r, quality);
    case ImageFormat::Jxl: {
        QByteArray bytes = encodeJxl(pixels, JxlSettings{quality, r.lossless, r.exif, r.icc});
        if (bytes.isEmpty())
            return failure(cannotEncode());
        return bytes;
    }
    case ImageFormat::Png:
    case ImageFormat::Bmp:
        break;
    }
    return png(pixels, r);
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

QString formatName(ImageFormat format)
{
    switch (format) {
    case ImageFormat::Png:
        return QStringLiteral("PNG");
    case ImageFormat::Jpeg:
        return QStringLiteral("JPEG");
    case ImageFormat::Webp:
        return QStringLiteral("WebP");
    case ImageFormat::Avif:
        return QStringLiteral("AVIF");
    case ImageFormat::Jxl:
        return QStringLiteral("JPEG XL");
    case ImageFormat::Bmp:
        break;
    }
    return QStringLiteral("BMP");
}

} // namespace

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

int largestSide(ImageFormat format)
{
    switch (format) {
    case ImageFormat::Webp:
        static_assert(WEBP_MAX_DIMENSION == 16383, "the README and --help name the limit");
        return WEBP_MAX_DIMENSION;
    case ImageFormat::Jpeg:
        return JPEG_MAX_DIMENSION;
    case ImageFormat::Avif:
        return 65536;
    case ImageFormat::Png:
    case ImageFormat::Jxl:
    case ImageFormat::Bmp:
        break;
    }
    return std::numeric_limits<int>::max();
}

Made<void> formatHolds(ImageFormat format, QSize size)
{
    const int most = largestSide(format);
    if (size.width() <= most && size.height() <= most)
        return {};
    return failure(Fault::content(QStringLiteral("%1 x %2 is beyond %3's limit of %4 pixels a side")
                                      .arg(size.width())
                                      .arg(size.height())
                                      .arg(formatName(format))
                                      .arg(most)));
}

// libheif 1.15's AV1 coding of RGB, even 4:4:4 through the identity
// matrix, moves some pixels by a level: AVIF is not offered lossless.
bool canBeLossless(ImageFormat format) { return format == ImageFormat::Webp || format == ImageFormat::Jxl; }

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
    if (request.format == ImageFormat::Bmp)
        return writeBmp(pixels, file, request.work);
    QString why;
    const QByteArray bytes = encodePicture(pixels, request, &why);
    if (bytes.isEmpty())
        return failure(why == Fault::memory().text ? Fault::memory() : Fault::content(why));
    file.writeAt(bytes.constData(), bytes.size(), 0);
    return file.commit();
}

} // namespace pv

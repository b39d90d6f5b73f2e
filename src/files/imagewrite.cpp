#include "files/imagewrite.h"

#include "files/atomicfile.h"
#include "files/bmpwrite.h"
#include "input/filenames.h"

#include <QBuffer>
#include <QImageWriter>

#include <csetjmp>
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

struct EncoderError {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    int code = 0; // libjpeg's message code of the error
};

[[noreturn]] void onJpegError(j_common_ptr cinfo)
{
    auto *err = reinterpret_cast<EncoderError *>(cinfo->err);
    err->code = cinfo->err->msg_code;
    std::longjmp(err->jump, 1);
}

// Everything the encoder touches lives here, so that nothing depends on
// locals after a longjmp.
struct Encoder {
    jpeg_compress_struct cinfo{};
    EncoderError err{};
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
};

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

bool encodeJpeg(Encoder &encoder, const QImage &pixels, int quality)
{
    jpeg_compress_struct &c = encoder.cinfo;
    c.err = jpeg_std_error(&encoder.err.pub);
    encoder.err.pub.error_exit = onJpegError;
    if (setjmp(encoder.err.jump))
        return false;
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, &encoder.buffer, &encoder.size);
    c.image_width = JDIMENSION(pixels.width());
    c.image_height = JDIMENSION(pixels.height());
    c.input_components = 4;
    c.in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels.constScanLine(int(c.next_scanline)));
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    return true;
}

Made<QByteArray> jpeg(const QImage &pixels, int quality)
{
    Encoder encoder;
    const bool ok = encodeJpeg(encoder, pixels, quality);
    jpeg_destroy_compress(&encoder.cinfo);
    struct Free {
        unsigned char *buffer;
        ~Free() { std::free(buffer); }
    } owned{encoder.buffer};
    if (!ok)
        return failure(encoder.err.code == JERR_OUT_OF_MEMORY ? Fault::memory() : cannotEncode());
    return QByteArray(reinterpret_cast<const char *>(encoder.buffer), qsizetype(encoder.size));
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

Made<QByteArray> avif(const QImage &pixels, int quality)
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
    // libheif names no cause when the encoder's memory runs out (it may even
    // say "unsupported color conversion").
    if (heif_context_encode_image(context.get(), image->get(), encoder.get(), options.get(), nullptr).code != heif_error_Ok)
        return failure(memoryShort(avifEncoderBytes(qint64(pixels.width()) * pixels.height())) ? Fault::memory()
                                                                                               : cannotEncode());
    QByteArray out;
    heif_writer writer{1, [](heif_context *, const void *data, size_t size, void *target) {
                           static_cast<QByteArray *>(target)->append(static_cast<const char *>(data), qsizetype(size));
                           return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
                       }};
    if (heif_context_write(context.get(), &writer, &out).code != heif_error_Ok)
        return failure(cannotEncode());
    return out;
}

Made<QByteArray> encoded(const QImage &pixels, ImageFormat format, int quality, bool lossless)
{
    switch (format) {
    case ImageFormat::Webp:
        return webp(pixels, quality, lossless);
    case ImageFormat::Avif:
        return avif(pixels, quality);
    case ImageFormat::Jpeg:
        return jpeg(pixels, quality);
    case ImageFormat::Png:
    case ImageFormat::Bmp:
        break;
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(pixels))
        return failure(cannotEncode());
    return bytes;
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
    case ImageFormat::Bmp:
        break;
    }
    return QStringLiteral("bmp");
}

int defaultQuality(ImageFormat format)
{
    return format == ImageFormat::Webp ? 80 : format == ImageFormat::Avif ? 60 : 90;
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
bool canBeLossless(ImageFormat format) { return format == ImageFormat::Webp; }

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
    Made<QByteArray> bytes = failure(Fault::memory());
    try {
        bytes = encoded(pixels, request.format, request.quality, request.lossless);
    } catch (const std::bad_alloc &) {
    }
    if (!bytes)
        return failure(bytes.reason());
    file.writeAt(bytes->constData(), bytes->size(), 0);
    return file.commit();
}

} // namespace pv

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
#include <jpeglib.h>
#include <libheif/heif.h>
#include <webp/encode.h>

namespace pv {

namespace {

struct EncoderError {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

[[noreturn]] void onJpegError(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<EncoderError *>(cinfo->err)->jump, 1);
}

// Everything the encoder touches lives here, so that nothing depends on
// locals after a longjmp.
struct Encoder {
    jpeg_compress_struct cinfo{};
    EncoderError err{};
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
};

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

QByteArray avif(const QImage &pixels, int quality)
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
    if (heif_context_encode_image(context.get(), raw, encoder.get(), options.get(), nullptr).code != heif_error_Ok)
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

QByteArray encoded(const QImage &pixels, ImageFormat format, int quality, bool lossless)
{
    if (format == ImageFormat::Webp)
        return webp(pixels, quality, lossless);
    if (format == ImageFormat::Avif)
        return avif(pixels, quality);
    if (format == ImageFormat::Png) {
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "png");
        return writer.write(pixels) ? bytes : QByteArray();
    }
    Encoder encoder;
    const bool ok = encodeJpeg(encoder, pixels, quality);
    jpeg_destroy_compress(&encoder.cinfo);
    QByteArray bytes;
    if (ok)
        bytes = QByteArray(reinterpret_cast<const char *>(encoder.buffer), qsizetype(encoder.size));
    std::free(encoder.buffer);
    return bytes;
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

// libheif 1.15's AV1 coding of RGB, even 4:4:4 through the identity
// matrix, moves some pixels by a level: AVIF is not offered lossless.
bool canBeLossless(ImageFormat format) { return format == ImageFormat::Webp; }

Made<void> writePicture(const QImage &pixels, const QString &path, const WriteRequest &request)
{
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
    const QByteArray bytes = encoded(pixels, request.format, request.quality, request.lossless);
    if (bytes.isEmpty())
        return failure(Fault::content(QStringLiteral("cannot encode the picture")));
    file.writeAt(bytes.constData(), bytes.size(), 0);
    return file.commit();
}

} // namespace pv

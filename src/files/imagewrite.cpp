#include "files/imagewrite.h"

#include "files/atomicfile.h"
#include "files/bmpwrite.h"
#include "input/filenames.h"

#include <QBuffer>
#include <QImageWriter>
#include <QtEndian>

#include <csetjmp>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <jpeglib.h>
#include <libheif/heif.h>
#include <webp/encode.h>
#include <sys/stat.h>
#include <unistd.h>

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
    // QImage's 32-bit pixels are B, G, R, X (or A, not premultiplied) in
    // memory.
    const bool alpha = pixels.hasAlphaChannel();
    const QImage plain = alpha ? pixels.convertToFormat(QImage::Format_ARGB32) : pixels;
    const bool imported = alpha ? WebPPictureImportBGRA(&picture, plain.constBits(), int(plain.bytesPerLine()))
                                : WebPPictureImportBGRX(&picture, plain.constBits(), int(plain.bytesPerLine()));
    if (imported && WebPEncode(&config, &picture))
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
    // Transparency kept as an alpha plane (not premultiplied).
    const bool alpha = pixels.hasAlphaChannel();
    const QImage plain = alpha ? pixels.convertToFormat(QImage::Format_ARGB32) : pixels;
    const int channels = alpha ? 4 : 3;
    heif_image *raw = nullptr;
    if (heif_image_create(w, h, heif_colorspace_RGB, alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                          &raw).code != heif_error_Ok)
        return QByteArray();
    std::unique_ptr<heif_image, Free> image(raw);
    if (heif_image_add_plane(raw, heif_channel_interleaved, w, h, 8).code != heif_error_Ok)
        return QByteArray();
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
    AtomicFile file(path, request.replace ? AtomicFile::Existing::Replace : AtomicFile::Existing::Keep, request.links);
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
    }
    return false;
}

} // namespace pv

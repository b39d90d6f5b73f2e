// WebP with libwebp.
#include "files/encoders.h"

#include "files/metadata.h"

#include <webp/encode.h>

namespace pv {

namespace {

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

} // namespace

Made<QByteArray> webpFile(const QImage &pixels, const WriteRequest &request, int quality)
{
    Made<QByteArray> bytes = webp(pixels, quality, request.lossless);
    if (!bytes || (request.exif.isEmpty() && request.icc.isEmpty()))
        return bytes;
    return webpWithMetadata(bytes.value(), request.exif, request.icc);
}

} // namespace pv

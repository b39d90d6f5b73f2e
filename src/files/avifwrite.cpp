// AVIF with libheif's AV1 encoder.
#include "files/encoders.h"

#include <libheif/heif.h>

#include <memory>

namespace pv {

namespace {

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

} // namespace

Made<QByteArray> avifFile(const QImage &pixels, const WriteRequest &request, int quality)
{
    return avif(pixels, quality, request.exif, request.icc);
}

} // namespace pv

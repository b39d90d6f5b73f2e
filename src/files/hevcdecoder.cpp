#include "files/hevcdecoder.h"

#include <libde265/de265.h>
#include <libheif/heif.h>
#include <libheif/heif_plugin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>

namespace pv {

namespace {

thread_local int threadsHere = 1;

// Above libheif's own decoder (100), so that it is chosen.
constexpr int kPriority = 200;

heif_error ok() { return {heif_error_Ok, heif_suberror_Unspecified, "Success"}; }
heif_error failed(heif_suberror_code why, const char *text) { return {heif_error_Decoder_plugin_error, why, text}; }

struct Decoder {
    de265_decoder_context *context = nullptr;
};

const char *name() { return "libde265 HEVC decoder, threaded"; }
void start() { de265_init(); }
void stop() { de265_free(); }
int supports(heif_compression_format format) { return format == heif_compression_HEVC ? kPriority : 0; }

heif_error create(void **out)
{
    auto decoder = std::make_unique<Decoder>();
    decoder->context = de265_new_decoder();
    if (!decoder->context)
        return {heif_error_Memory_allocation_error, heif_suberror_Unspecified, "cannot start the HEVC decoder"};
    de265_start_worker_threads(decoder->context, std::max(1, threadsHere));
    *out = decoder.release();
    return ok();
}

void destroy(void *raw)
{
    auto *decoder = static_cast<Decoder *>(raw);
    de265_free_decoder(decoder->context);
    delete decoder;
}

// The coded picture as libheif hands it over: NAL units, each after its
// length in four bytes, big-endian.
heif_error push(void *raw, const void *data, size_t size)
{
    auto *decoder = static_cast<Decoder *>(raw);
    const auto *bytes = static_cast<const uint8_t *>(data);
    for (size_t at = 0; at < size;) {
        if (size - at < 4)
            return failed(heif_suberror_End_of_data, "a NAL unit's length is cut off");
        const uint32_t length = uint32_t(bytes[at]) << 24 | uint32_t(bytes[at + 1]) << 16 |
                                uint32_t(bytes[at + 2]) << 8 | uint32_t(bytes[at + 3]);
        at += 4;
        if (length > size - at)
            return failed(heif_suberror_End_of_data, "a NAL unit runs past the data");
        de265_push_NAL(decoder->context, bytes + at, int(length), 0, nullptr);
        at += length;
    }
    return ok();
}

// The colour description the coded picture carries, as libheif's own
// decoder hands it on; a value libheif does not know refuses the picture.
heif_error describeColours(const de265_image *coded, heif_image *image)
{
    const std::unique_ptr<heif_color_profile_nclx, void (*)(heif_color_profile_nclx *)> nclx(
        heif_nclx_color_profile_alloc(), heif_nclx_color_profile_free);
    if (!nclx)
        return {heif_error_Memory_allocation_error, heif_suberror_Unspecified, "no memory for the colours"};
    for (const heif_error e :
         {heif_nclx_color_profile_set_color_primaries(nclx.get(), uint16_t(de265_get_image_colour_primaries(coded))),
          heif_nclx_color_profile_set_transfer_characteristics(
              nclx.get(), uint16_t(de265_get_image_transfer_characteristics(coded))),
          heif_nclx_color_profile_set_matrix_coefficients(nclx.get(),
                                                          uint16_t(de265_get_image_matrix_coefficients(coded)))})
        if (e.code != heif_error_Ok)
            return e;
    nclx->full_range_flag = uint8_t(de265_get_image_full_range_flag(coded) != 0);
    return heif_image_set_nclx_color_profile(image, nclx.get());
}

// The decoded planes copied into a new image of libheif's.
heif_error toHeifImage(const de265_image *coded, heif_image **out)
{
    const bool mono = de265_get_chroma_format(coded) == de265_chroma_mono;
    heif_image *image = nullptr;
    if (const heif_error e = heif_image_create(de265_get_image_width(coded, 0), de265_get_image_height(coded, 0),
                                               mono ? heif_colorspace_monochrome : heif_colorspace_YCbCr,
                                               heif_chroma(de265_get_chroma_format(coded)), &image);
        e.code != heif_error_Ok)
        return e;
    std::unique_ptr<heif_image, void (*)(const heif_image *)> held(image, heif_image_release);
    const heif_channel channels[3] = {heif_channel_Y, heif_channel_Cb, heif_channel_Cr};
    const int bits = de265_get_bits_per_pixel(coded, 0);
    for (int c = 0; c < (mono ? 1 : 3); ++c) {
        if (de265_get_bits_per_pixel(coded, c) != bits)
            return {heif_error_Unsupported_feature, heif_suberror_Unsupported_color_conversion,
                    "planes of different depths"};
        const int w = de265_get_image_width(coded, c), h = de265_get_image_height(coded, c);
        if (w <= 0 || h <= 0)
            return failed(heif_suberror_Invalid_image_size, "an empty plane");
        if (const heif_error e = heif_image_add_plane(image, channels[c], w, h, bits); e.code != heif_error_Ok)
            return e;
        int fromStride = 0, toStride = 0;
        const uint8_t *from = de265_get_image_plane(coded, c, &fromStride);
        uint8_t *to = heif_image_get_plane(image, channels[c], &toStride);
        const size_t rowBytes = size_t(w) * size_t((bits + 7) / 8);
        for (int y = 0; y < h; ++y)
            std::memcpy(to + size_t(y) * size_t(toStride), from + size_t(y) * size_t(fromStride), rowBytes);
    }
    if (const heif_error e = describeColours(coded, image); e.code != heif_error_Ok)
        return e;
    *out = held.release();
    return ok();
}

// Decodes what was pushed; the last picture it gives is the image.
heif_error decode(void *raw, heif_image **out)
{
    auto *decoder = static_cast<Decoder *>(raw);
    *out = nullptr;
    de265_flush_data(decoder->context);
    int more = 0;
    do {
        more = 0;
        if (de265_decode(decoder->context, &more) != DE265_OK)
            break;
        if (const de265_image *coded = de265_get_next_picture(decoder->context)) {
            heif_image *image = nullptr;
            const heif_error e = toHeifImage(coded, &image);
            de265_release_next_picture(decoder->context);
            if (e.code != heif_error_Ok) {
                // libheif takes no image with an error.
                heif_image_release(*out);
                *out = nullptr;
                return e;
            }
            heif_image_release(*out);
            *out = image;
        }
    } while (more);
    return *out ? ok() : failed(heif_suberror_Unspecified, "no picture decoded");
}

// Always strict: a colour description libheif does not know refuses.
void setStrict(void *, int) {}

const heif_decoder_plugin plugin{3,     name,   start,     stop,   supports, create, destroy,
                                 push, decode, setStrict, "pixelvane-libde265"};

} // namespace

void useHevcDecoder()
{
    static std::once_flag once;
    std::call_once(once, [] { heif_register_decoder_plugin(&plugin); });
}

void setHevcThreads(int threads) { threadsHere = std::max(1, threads); }

} // namespace pv

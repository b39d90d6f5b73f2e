// Writes the benchmark's inputs, the same bytes every time:
//   photo.jpg  6000 x 4000, quality 90, 4:2:0 (a photo-like picture)
//   photo.bmp  the same pixels as photo.jpg decodes to, 24-bit
//   small.jpg  640 x 480, quality 90
//   adobe.jpg  photo.jpg's pixels taken as Adobe RGB, with that profile
//   phone.heic 4032 x 3024 HEVC, as a 12-megapixel phone photo, with
//              Display P3's primaries declared (as iPhones tag theirs)
//              and a 320 x 240 thumbnail (as phones store one)
// or, with --batch DIR N, N different photos like photo.jpg in DIR; with
// --heic DIR N, N different phone photos like phone.heic.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <jpeglib.h>
#include <lcms2.h>
#include <libheif/heif.h>
#include <string>
#include <vector>

namespace {

// Smooth sky, hills and fields with fine deterministic grain, like a photo.
// Each variant has its own horizon, sun, colours and grain.
std::vector<unsigned char> photo(int w, int h, int variant = 0)
{
    std::vector<unsigned char> rgb(size_t(w) * h * 3);
    std::uint32_t seed = 12345 + 7919u * std::uint32_t(variant);
    const double shift = variant * 0.37, tint = (variant % 7) * 6.0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double u = double(x) / w, v = double(y) / h;
            const double horizon = 0.55 + 0.08 * std::sin(u * 9.0 + shift) + 0.03 * std::sin(u * 31.0 - shift);
            double r, g, b;
            if (v < horizon) {
                r = 90 + 120 * v + tint, g = 150 + 80 * v, b = 235 - 20 * v - tint;
                const double dx = u - 0.72 + 0.05 * (variant % 5), dy = v - 0.2;
                if (dx * dx + dy * dy < 0.004)
                    r = 255, g = 228, b = 130;
            } else {
                const double t = (v - horizon) / (1 - horizon);
                r = 60 + 70 * t + 25 * std::sin(x * 0.05 + y * 0.11 + shift) + tint;
                g = 130 - 30 * t + 30 * std::sin(x * 0.013 + y * 0.07);
                b = 55 + 20 * std::sin(y * 0.2);
            }
            seed = seed * 1664525u + 1013904223u;
            const double grain = double((seed >> 24) & 15) - 7.5;
            unsigned char *p = rgb.data() + (size_t(y) * w + x) * 3;
            p[0] = (unsigned char)std::clamp(r + grain, 0.0, 255.0);
            p[1] = (unsigned char)std::clamp(g + grain, 0.0, 255.0);
            p[2] = (unsigned char)std::clamp(b + grain, 0.0, 255.0);
        }
    }
    return rgb;
}

// Adobe RGB (1998): D65, its primaries, gamma 563/256.
std::vector<unsigned char> adobeRgbProfile()
{
    const cmsCIExyY d65 = {0.3127, 0.3290, 1.0};
    const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1}, {0.21, 0.71, 1}, {0.15, 0.06, 1}};
    cmsToneCurve *curve = cmsBuildGamma(nullptr, 563.0 / 256.0);
    cmsToneCurve *curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(&d65, &primaries, curves);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::vector<unsigned char> out(size);
    cmsSaveProfileToMem(profile, out.data(), &size);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(curve);
    return out;
}

void writeJpeg(const std::string &path, const std::vector<unsigned char> &rgb, int w, int h,
               const std::vector<unsigned char> &icc = {})
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::exit(1);
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    jpeg_stdio_dest(&c, f);
    c.image_width = JDIMENSION(w);
    c.image_height = JDIMENSION(h);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c); // 2 x 2 luma sampling: 4:2:0
    jpeg_set_quality(&c, 90, TRUE);
    jpeg_start_compress(&c, TRUE);
    if (!icc.empty())
        jpeg_write_icc_profile(&c, icc.data(), unsigned(icc.size()));
    for (int y = 0; y < h; ++y) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb.data() + size_t(y) * w * 3);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::fclose(f);
}

std::vector<unsigned char> readJpeg(const std::string &path, int &w, int &h)
{
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        std::exit(1);
    jpeg_decompress_struct d;
    jpeg_error_mgr err;
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_stdio_src(&d, f);
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_RGB;
    d.dct_method = JDCT_ISLOW;
    jpeg_start_decompress(&d);
    w = int(d.output_width), h = int(d.output_height);
    std::vector<unsigned char> rgb(size_t(w) * h * 3);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = rgb.data() + size_t(d.output_scanline) * w * 3;
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    std::fclose(f);
    return rgb;
}

void writeBmp(const std::string &path, const std::vector<unsigned char> &rgb, int w, int h)
{
    const int stride = (w * 3 + 3) & ~3;
    const std::uint32_t size = 54 + std::uint32_t(stride) * h;
    unsigned char header[54] = {'B', 'M'};
    auto put32 = [&](int at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            header[at + i] = (unsigned char)(v >> (8 * i));
    };
    put32(2, size);
    put32(10, 54);
    put32(14, 40);
    put32(18, std::uint32_t(w));
    put32(22, std::uint32_t(h));
    header[26] = 1;
    header[28] = 24;
    put32(34, size - 54);
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::exit(1);
    std::fwrite(header, 1, sizeof header, f);
    std::vector<unsigned char> row(size_t(stride), 0);
    for (int y = h - 1; y >= 0; --y) {
        const unsigned char *p = rgb.data() + size_t(y) * w * 3;
        for (int x = 0; x < w; ++x)
            row[3 * x] = p[3 * x + 2], row[3 * x + 1] = p[3 * x + 1], row[3 * x + 2] = p[3 * x];
        std::fwrite(row.data(), 1, row.size(), f);
    }
    std::fclose(f);
}

heif_error written(heif_context *, const void *data, size_t size, void *file)
{
    std::fwrite(data, 1, size, static_cast<FILE *>(file));
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

// The picture averaged down to tw x th, each output pixel the mean of the
// input pixels it covers (whole ones).
std::vector<unsigned char> shrunk(const std::vector<unsigned char> &rgb, int w, int h, int tw, int th)
{
    std::vector<unsigned char> out(size_t(tw) * th * 3);
    for (int y = 0; y < th; ++y)
        for (int x = 0; x < tw; ++x) {
            const int x0 = x * w / tw, x1 = (x + 1) * w / tw, y0 = y * h / th, y1 = (y + 1) * h / th;
            for (int c = 0; c < 3; ++c) {
                long sum = 0;
                for (int sy = y0; sy < y1; ++sy)
                    for (int sx = x0; sx < x1; ++sx)
                        sum += rgb[(size_t(sy) * w + sx) * 3 + c];
                const long n = long(x1 - x0) * (y1 - y0);
                out[(size_t(y) * tw + x) * 3 + c] = static_cast<unsigned char>((sum + n / 2) / n);
            }
        }
    return out;
}

heif_image *heifImage(const std::vector<unsigned char> &rgb, int w, int h)
{
    heif_image *image = nullptr;
    heif_image_create(w, h, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, w, h, 8);
    int stride = 0;
    uint8_t *plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < h; ++y)
        std::copy_n(rgb.data() + size_t(y) * w * 3, size_t(w) * 3, plane + size_t(y) * stride);
    return image;
}

void writeHeic(const std::string &path, const std::vector<unsigned char> &rgb, int w, int h)
{
    heif_context *context = heif_context_alloc();
    heif_encoder *encoder = nullptr;
    heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder);
    if (!encoder)
        std::exit(1);
    heif_encoder_set_lossy_quality(encoder, 60);
    heif_image *image = heifImage(rgb, w, h);
    heif_color_profile_nclx *nclx = heif_nclx_color_profile_alloc();
    heif_nclx_color_profile_set_color_primaries(nclx, 12);
    heif_nclx_color_profile_set_transfer_characteristics(nclx, 13);
    heif_nclx_color_profile_set_matrix_coefficients(nclx, 6);
    heif_encoding_options *options = heif_encoding_options_alloc();
    options->output_nclx_profile = nclx;
    options->macOS_compatibility_workaround_no_nclx_profile = 0;
    heif_image_handle *primary = nullptr;
    if (heif_context_encode_image(context, image, encoder, options, &primary).code != heif_error_Ok)
        std::exit(1);
    heif_image *small = heifImage(shrunk(rgb, w, h, 320, 240), 320, 240);
    heif_image_handle *thumbnail = nullptr;
    // libheif 1.15 writes the reference from its first handle to its
    // second, the other way round from what it documents.
    if (heif_context_encode_image(context, small, encoder, options, &thumbnail).code != heif_error_Ok ||
        heif_context_assign_thumbnail(context, thumbnail, primary).code != heif_error_Ok)
        std::exit(1);
    heif_image_handle_release(thumbnail);
    heif_image_handle_release(primary);
    heif_image_release(small);
    FILE *f = std::fopen(path.c_str(), "wb");
    heif_writer writer{1, written};
    if (!f || heif_context_write(context, &writer, f).code != heif_error_Ok)
        std::exit(1);
    std::fclose(f);
    heif_encoding_options_free(options);
    heif_nclx_color_profile_free(nclx);
    heif_image_release(image);
    heif_encoder_release(encoder);
    heif_context_free(context);
}

} // namespace

int main(int argc, char **argv)
{
    const std::string dir = argc > 1 ? argv[1] : ".";
    // pixelvane-bench-inputs --batch DIR N: N different 24-megapixel photos.
    if (dir == "--batch" && argc > 3) {
        const std::string to = argv[2];
        const int n = std::atoi(argv[3]);
        for (int i = 0; i < n; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "/photo%02d.jpg", i + 1);
            writeJpeg(to + name, photo(6000, 4000, i + 1), 6000, 4000);
        }
        return 0;
    }
    if (dir == "--heic" && argc > 3) {
        const std::string to = argv[2];
        const int n = std::atoi(argv[3]);
        for (int i = 0; i < n; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "/phone%02d.heic", i + 1);
            writeHeic(to + name, photo(4032, 3024, i + 1), 4032, 3024);
        }
        return 0;
    }
    const std::vector<unsigned char> pixels = photo(6000, 4000);
    writeJpeg(dir + "/photo.jpg", pixels, 6000, 4000);
    writeJpeg(dir + "/adobe.jpg", pixels, 6000, 4000, adobeRgbProfile());
    int w = 0, h = 0;
    const std::vector<unsigned char> decoded = readJpeg(dir + "/photo.jpg", w, h);
    writeBmp(dir + "/photo.bmp", decoded, w, h);
    writeJpeg(dir + "/small.jpg", photo(640, 480), 640, 480);
    writeHeic(dir + "/phone.heic", photo(4032, 3024), 4032, 3024);
    return 0;
}

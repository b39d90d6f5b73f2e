// PNG decoding with libpng: every colour type and bit depth into 32-bit
// pixels. 16-bit samples are rounded to 8 bits, a tRNS colour or palette
// entry becomes transparency, and a file that is damaged, cut short or
// missing its end is refused. Gamma chunks are not applied, as no other
// format's are.
#include "files/colour.h"
#include "files/decoders.h"
#include "files/embeddedprofile.h"
#include "files/picture.h"
#include "surfaces/pixelmemory.h"

#include <png.h>

#include <csetjmp>
#include <cstring>
#include <vector>

namespace pv {

namespace {

struct Source {
    const QByteArray *bytes;
    qsizetype at = 8;
};

void readFromMemory(png_structp png, png_bytep out, size_t length)
{
    auto *source = static_cast<Source *>(png_get_io_ptr(png));
    if (length > size_t(source->bytes->size() - source->at))
        png_error(png, "data ends early");
    std::memcpy(out, source->bytes->constData() + source->at, length);
    source->at += qsizetype(length);
}

struct Decoder {
    png_structp png = nullptr;
    png_infop info = nullptr;
    QImage image;
    std::vector<png_bytep> rows;
    char message[200] = {};
    bool outOfMemory = false;
    bool grey = false;
    ~Decoder() { png_destroy_read_struct(&png, &info, nullptr); }
};

[[noreturn]] void onError(png_structp png, png_const_charp text)
{
    auto *d = static_cast<Decoder *>(png_get_error_ptr(png));
    std::strncpy(d->message, text, sizeof d->message - 1);
    png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

// Fills d.image; false with d.message set when the data will not do.
bool run(Decoder &d, const QByteArray &bytes)
{
    Source source{&bytes};
    d.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &d, onError, onWarning);
    if (!d.png)
        return false;
    d.info = png_create_info_struct(d.png);
    if (!d.info)
        return false;
    if (setjmp(png_jmpbuf(d.png)))
        return false;
    png_set_read_fn(d.png, &source, readFromMemory);
    png_set_sig_bytes(d.png, 8);
    png_set_user_limits(d.png, kMaxSide, kMaxSide);
    png_read_info(d.png, d.info);
    const png_uint_32 w = png_get_image_width(d.png, d.info), h = png_get_image_height(d.png, d.info);
    if (!sizeAllowed(w, h) || !plausibleSize(w, h, bytes.size())) {
        std::strcpy(d.message, "picture too large");
        return false;
    }
    const int type = png_get_color_type(d.png, d.info);
    d.grey = !(type & PNG_COLOR_MASK_COLOR);
    const bool transparent = (type & PNG_COLOR_MASK_ALPHA) || png_get_valid(d.png, d.info, PNG_INFO_tRNS);
    // Everything to 8-bit B, G, R, A (or an unused fourth byte), as QImage
    // holds 32-bit pixels in memory.
    png_set_expand(d.png);
    png_set_scale_16(d.png);
    png_set_gray_to_rgb(d.png);
    png_set_bgr(d.png);
    if (!(type & PNG_COLOR_MASK_ALPHA) && !png_get_valid(d.png, d.info, PNG_INFO_tRNS))
        png_set_filler(d.png, 0xff, PNG_FILLER_AFTER);
    png_set_interlace_handling(d.png);
    png_read_update_info(d.png, d.info);
    if (png_get_rowbytes(d.png, d.info) != size_t(w) * 4) {
        std::strcpy(d.message, "unexpected row layout");
        return false;
    }
    try {
        d.image = allocateImage(int(w), int(h), transparent ? QImage::Format_ARGB32 : QImage::Format_RGB32);
        d.rows.resize(h);
    } catch (const std::bad_alloc &) {
        d.outOfMemory = true;
        return false;
    }
    for (png_uint_32 y = 0; y < h; ++y)
        d.rows[y] = d.image.scanLine(int(y));
    png_read_image(d.png, d.rows.data());
    png_read_end(d.png, nullptr);
    return true;
}

} // namespace

Made<QImage> decodePng(const QByteArray &bytes, const Work &work)
{
    Decoder d;
    if (!run(d, bytes)) {
        if (d.outOfMemory)
            return failure(Fault::memory());
        return failure(Fault::content(d.message[0] ? QString::fromLatin1(d.message) : QStringLiteral("cannot decode")));
    }
    QImage image = d.image;
    convertToSrgb(image, embeddedProfile(bytes), d.grey ? PixelLayout::Grey : PixelLayout::Rgb, work);
    return image;
}

} // namespace pv

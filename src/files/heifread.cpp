// HEIF, HEIC and AVIF decoding with libheif: the primary image, or a
// thumbnail of it standing in where asked, with the transformations the
// file declares for it (irot, imir, clap) applied in its order; EXIF
// orientation is informational in HEIF and ignored. 10- and 12-bit
// samples are rounded to 8 bits; an ICC profile, or an nclx description of
// other primaries or an other transfer than sRGB's (the primary image's,
// for a thumbnail too), is converted to sRGB. HDR transfers (PQ, HLG) are
// refused rather than shown as if they were sRGB. The file's structure is
// checked before libheif reads it (heifboxes.h), and the picture it
// decodes must have the size the boxes declare.
#include "files/colour.h"
#include "files/decoders.h"
#include "files/heifboxes.h"
#include "files/hevcdecoder.h"
#include "files/picture.h"
#include "surfaces/pixelmemory.h"

#include <QIODevice>
#include <QtEndian>

#include <libheif/heif.h>
#include <lcms2.h>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <vector>

namespace pv {

namespace {

Failure<Fault> refuse(const QString &why) { return failure(Fault::content(why)); }
Failure<Fault> refuse(const heif_error &e) { return refuse(QString::fromUtf8(e.message)); }

struct ContextFree {
    void operator()(heif_context *c) const { heif_context_free(c); }
};
struct HandleFree {
    void operator()(heif_image_handle *h) const { heif_image_handle_release(h); }
};
struct ImageFree {
    void operator()(heif_image *i) const { heif_image_release(i); }
};
struct OptionsFree {
    void operator()(heif_decoding_options *o) const { heif_decoding_options_free(o); }
};
struct NclxFree {
    void operator()(heif_color_profile_nclx *n) const { heif_nclx_color_profile_free(n); }
};
using Context = std::unique_ptr<heif_context, ContextFree>;
using Handle = std::unique_ptr<heif_image_handle, HandleFree>;
using Image = std::unique_ptr<heif_image, ImageFree>;

// The primary image's handle of a file read by `read`.
template <class Read>
Made<Handle> primaryHandle(Context &context, Read read, const Work &work)
{
    context.reset(heif_context_alloc());
    if (!context)
        return failure(Fault::memory());
    // libheif refuses a grid whose side reaches its limit; the boxes were
    // checked against the side it decodes.
    heif_context_set_maximum_image_size_limit(context.get(), kMaxHeifGridSide + 1);
    heif_context_set_max_decoding_threads(context.get(), work.mayHelp() ? work.helpers + 1 : 0);
    if (const heif_error e = read(context.get()); e.code != heif_error_Ok)
        return refuse(e);
    heif_image_handle *handle = nullptr;
    if (const heif_error e = heif_context_get_primary_image_handle(context.get(), &handle); e.code != heif_error_Ok)
        return refuse(e);
    return Handle(handle);
}

// An sRGB-encoded picture in other primaries or under another transfer:
// the matrix-shaper profile that describes it, for the same conversion
// as an embedded profile's. Empty when it is sRGB (or says nothing).
QByteArray profileOf(const heif_color_profile_nclx &n)
{
    const int primaries = n.color_primaries, transfer = n.transfer_characteristics;
    const bool srgbPrimaries = primaries == 1 || primaries == 2;
    // BT.709's and BT.601's transfers are shown as sRGB, as browsers do.
    const bool srgbTransfer = transfer == 1 || transfer == 2 || transfer == 6 || transfer == 13 || transfer == 14 ||
                              transfer == 15;
    if (srgbPrimaries && srgbTransfer)
        return QByteArray();
    const cmsCIExyY white{n.color_primary_white_x, n.color_primary_white_y, 1.0};
    const cmsCIExyYTRIPLE rgb{{n.color_primary_red_x, n.color_primary_red_y, 1.0},
                              {n.color_primary_green_x, n.color_primary_green_y, 1.0},
                              {n.color_primary_blue_x, n.color_primary_blue_y, 1.0}};
    cmsToneCurve *curve = nullptr;
    if (transfer == 4)
        curve = cmsBuildGamma(nullptr, 2.2);
    else if (transfer == 5)
        curve = cmsBuildGamma(nullptr, 2.8);
    else if (transfer == 8)
        curve = cmsBuildGamma(nullptr, 1.0);
    else {
        const double srgb[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
        curve = cmsBuildParametricToneCurve(nullptr, 4, srgb);
    }
    if (!curve)
        return QByteArray();
    cmsToneCurve *curves[3] = {curve, curve, curve};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &rgb, curves);
    cmsFreeToneCurve(curve);
    if (!profile)
        return QByteArray();
    cmsUInt32Number size = 0;
    QByteArray out;
    if (cmsSaveProfileToMem(profile, nullptr, &size) && size > 0) {
        out.resize(qsizetype(size));
        if (!cmsSaveProfileToMem(profile, out.data(), &size))
            out.clear();
    }
    cmsCloseProfile(profile);
    return out;
}

} // namespace

bool isHeif(const QByteArray &b)
{
    auto fourcc = [](const char *p) { return qFromBigEndian<quint32>(p); };
    if (b.size() < 16 || fourcc(b.constData() + 4) != fourcc("ftyp"))
        return false;
    const qsizetype end = std::min<qsizetype>(b.size(), qFromBigEndian<quint32>(b.constData()));
    static const std::array<quint32, 10> brands{fourcc("heic"), fourcc("heix"), fourcc("hevc"), fourcc("hevx"),
                                                fourcc("heim"), fourcc("heis"), fourcc("mif1"), fourcc("msf1"),
                                                fourcc("avif"), fourcc("avis")};
    for (qsizetype at = 8; at + 4 <= end; at += at == 8 ? 8 : 4) // major brand, minor version, compatible brands
        if (std::find(brands.begin(), brands.end(), fourcc(b.constData() + at)) != brands.end())
            return true;
    return false;
}

namespace {

Made<HeifStructure> structureOf(QIODevice &file)
{
    return heifStructure(file.size(), [&file](qint64 offset, qint64 length) {
        return file.seek(offset) ? file.read(length) : QByteArray();
    });
}

} // namespace

Made<QSize> heifSize(QIODevice &file)
{
    const Made<HeifStructure> structure = structureOf(file);
    if (!structure)
        return failure(structure.reason());
    return structure->size;
}

Made<qint64> heifDecodeBytes(QIODevice &file)
{
    const Made<HeifStructure> structure = structureOf(file);
    if (!structure)
        return failure(structure.reason());
    return structure->decodeBytes;
}

namespace {

// The profile that converts the primary image's colours to sRGB: its ICC
// profile, else its nclx description's; empty for sRGB. HDR is refused.
Made<QByteArray> profileToApply(const heif_image_handle *handle)
{
    QByteArray icc;
    const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle);
    if (type == heif_color_profile_type_prof || type == heif_color_profile_type_rICC) {
        icc.resize(qsizetype(heif_image_handle_get_raw_color_profile_size(handle)));
        if (heif_image_handle_get_raw_color_profile(handle, icc.data()).code != heif_error_Ok)
            icc.clear();
    }
    // The file's own description; a decoded image's is what libheif
    // converted it to.
    heif_color_profile_nclx *nclxRaw = nullptr;
    if (heif_image_handle_get_nclx_color_profile(handle, &nclxRaw).code != heif_error_Ok || !nclxRaw) {
        heif_nclx_color_profile_free(nclxRaw);
        return icc;
    }
    const std::unique_ptr<heif_color_profile_nclx, NclxFree> nclx(nclxRaw);
    const int transfer = nclx->transfer_characteristics;
    if (transfer == heif_transfer_characteristic_ITU_R_BT_2100_0_PQ ||
        transfer == heif_transfer_characteristic_ITU_R_BT_2100_0_HLG)
        return refuse(QStringLiteral("HDR (PQ or HLG) pictures are not shown"));
    return icc.isEmpty() ? profileOf(*nclx) : icc;
}

// libheif's interleaved RGB of the handle's picture, 16 bits a sample
// where it is deeper than 8; a warning refuses it.
Made<Image> decodeInterleaved(const heif_image_handle *handle, bool alpha, bool deep)
{
    std::unique_ptr<heif_decoding_options, OptionsFree> options(heif_decoding_options_alloc());
    options->strict_decoding = 1;
    const heif_chroma chroma = deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
                                    : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image *raw = nullptr;
    if (const heif_error e = heif_decode_image(handle, &raw, heif_colorspace_RGB, chroma, options.get());
        e.code != heif_error_Ok) {
        heif_image_release(raw);
        // libheif reports its limits as allocation errors too.
        const bool memory = e.code == heif_error_Memory_allocation_error && e.subcode != heif_suberror_Security_limit_exceeded;
        return memory ? Made<Image>(failure(Fault::memory())) : refuse(e);
    }
    Image decoded(raw);
    if (heif_image_get_decoding_warnings(raw, 0, nullptr, 0) > 0) {
        heif_error warning{};
        heif_image_get_decoding_warnings(raw, 0, &warning, 1);
        return refuse(warning);
    }
    return decoded;
}

// Interleaved samples, `channels` a pixel, of `bits` bits (8: a byte,
// else two, little-endian), unpacked into 32-bit pixels.
struct Samples {
    const uint8_t *plane = nullptr;
    int stride = 0;
    int channels = 3;
    int bits = 8;
};

// Rows [first, last) of the samples into `rows`: deep samples rounded to
// 8 bits (not shifted: the largest value becomes 255).
void unpackRows(const Samples &in, const std::vector<uint8_t> &levels, const PixelRows &rows, int first, int last)
{
    const int channels = in.channels, w = rows.width;
    const int max = (1 << in.bits) - 1;
    for (int y = first; y < last; ++y) {
        auto *out = reinterpret_cast<QRgb *>(rows.row(y));
        const uint8_t *row = in.plane + qsizetype(in.stride) * y;
        if (in.bits == 8) {
            for (int x = 0; x < w; ++x, row += channels)
                out[x] = qRgba(row[0], row[1], row[2], channels == 4 ? row[3] : 255);
            continue;
        }
        auto level = [&](int at) { return levels[size_t(std::min(row[2 * at] | row[2 * at + 1] << 8, max))]; };
        for (int x = 0; x < w; ++x) {
            const int at = x * channels;
            out[x] = qRgba(level(at), level(at + 1), level(at + 2), channels == 4 ? level(at + 3) : 255);
        }
    }
}

// The handle's picture, which must be `size`, as RGB32 or ARGB32 in sRGB
// by `icc` (see profileToApply). Unpacking and converting the colours go
// band by band over the work's threads.
Made<QImage> decodeToImage(const heif_image_handle *handle, QSize size, const QByteArray &icc, const Work &work)
{
    const bool alpha = heif_image_handle_has_alpha_channel(handle);
    const bool deep = heif_image_handle_get_luma_bits_per_pixel(handle) > 8;
    const Made<Image> raw = decodeInterleaved(handle, alpha, deep);
    if (!raw)
        return failure(raw.reason());
    const heif_image *picture = raw->get();
    const int w = size.width(), h = size.height();
    const int gotW = heif_image_get_width(picture, heif_channel_interleaved);
    const int gotH = heif_image_get_height(picture, heif_channel_interleaved);
    Samples in{nullptr, 0, alpha ? 4 : 3, 8};
    if (deep)
        in.bits = heif_image_get_bits_per_pixel_range(picture, heif_channel_interleaved);
    in.plane = heif_image_get_plane_readonly(picture, heif_channel_interleaved, &in.stride);
    if (!in.plane || gotW != w || gotH != h || in.bits < 8 || in.bits > 16)
        return refuse(QStringLiteral("the decoded picture is %1 x %2, not the %3 x %4 its boxes declare")
                          .arg(gotW).arg(gotH).arg(w).arg(h));
    const bool premultiplied = alpha && heif_image_handle_is_premultiplied_alpha(handle);
    QImage image = allocateImage(w, h, !alpha ? QImage::Format_RGB32
                                       : premultiplied ? QImage::Format_ARGB32_Premultiplied
                                                       : QImage::Format_ARGB32);
    std::vector<uint8_t> levels;
    const int max = (1 << in.bits) - 1;
    if (deep)
        for (int s = 0; s <= max; ++s)
            levels.push_back(uint8_t((s * 510 + max) / (2 * max)));
    std::unique_ptr<ToSrgb> toSrgb = icc.isEmpty() ? nullptr : ToSrgb::from(icc, PixelLayout::Rgb);
    if (!toSrgb && !icc.isEmpty())
        toSrgb = ToSrgb::from(icc, PixelLayout::Grey);
    const PixelRows rows(image);
    splitRows(work, h, qint64(w) * h, [&](int first, int last) {
        unpackRows(in, levels, rows, first, last);
        if (toSrgb)
            toSrgb->convertRows(rows, first, last);
    });
    return image;
}

} // namespace

Made<QImage> decodeHeif(const QByteArray &bytes, const Work &work, QSize least)
{
    // libheif follows the file's references as they come: they are
    // checked first.
    const Made<HeifStructure> structure = heifStructure(bytes);
    if (!structure)
        return failure(structure.reason());
    // libheif's handle tells the size before the transformations where
    // the file lists them before ispe; the boxes tell the size after.
    const QSize size = structure->size;
    if (!sizeAllowed(size.width(), size.height()) || !plausibleSize(size.width(), size.height(), bytes.size()))
        return refuse(QStringLiteral("picture too large"));
    useHevcDecoder();
    Context context;
    const Made<Handle> primary = primaryHandle(
        context,
        [&](heif_context *c) {
            return heif_context_read_from_memory_without_copy(c, bytes.constData(), size_t(bytes.size()), nullptr);
        },
        work);
    if (!primary)
        return failure(primary.reason());
    const Made<QByteArray> icc = profileToApply(primary->get());
    if (!icc)
        return failure(icc.reason());
    // A thumbnail stands in where it is large enough; one libheif does not
    // find or cannot decode leaves the primary image to decode.
    const std::optional<HeifThumbnail> thumbnail =
        least.isValid() ? heifThumbnailFor(structure.value(), least) : std::nullopt;
    heif_image_handle *found = nullptr;
    if (thumbnail && heif_image_handle_get_thumbnail(primary->get(), thumbnail->item, &found).code == heif_error_Ok) {
        const Handle own(found);
        setHevcThreads(1);
        if (Made<QImage> small = decodeToImage(own.get(), thumbnail->size, icc.value(), work))
            return small;
    }
    // A large picture coded whole is decoded on the work's threads; libheif
    // spreads the tiles of a grid over them itself, each on one.
    const bool spread = structure->codedPictures == 1 && qint64(size.width()) * size.height() >= kSplitPixels;
    setHevcThreads(spread && work.mayHelp() ? work.helpers + 1 : 1);
    return decodeToImage(primary->get(), size, icc.value(), work);
}

} // namespace pv

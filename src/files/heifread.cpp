// HEIF, HEIC and AVIF decoding with libheif: the primary image, with the
// transformations the file declares (irot, imir, clap) applied in its
// order; EXIF orientation is informational in HEIF and ignored. 10- and
// 12-bit samples are rounded to 8 bits; an ICC profile, or an nclx
// description of other primaries or an other transfer than sRGB's, is
// converted to sRGB. HDR transfers (PQ, HLG) are refused rather than shown
// as if they were sRGB, and so are overlay images.
#include "files/colour.h"
#include "files/decoders.h"
#include "files/picture.h"
#include "surfaces/pixelmemory.h"

#include <QIODevice>
#include <QtEndian>

#include <libheif/heif.h>
#include <lcms2.h>

#include <algorithm>
#include <array>
#include <memory>

namespace pv {

namespace {

Failure<Fault> refuse(const QString &why) { return failure(Fault::content(why)); }
Failure<Fault> refuse(const heif_error &e) { return refuse(QString::fromUtf8(e.message)); }

quint32 fourcc(const char *p) { return qFromBigEndian<quint32>(p); }

// ISO base media boxes: their type and where their content lies.
struct Box {
    quint32 type = 0;
    qsizetype content = 0; // offset of the content
    qsizetype end = 0;     // offset past the box
};

std::optional<Box> boxAt(const QByteArray &b, qsizetype at, qsizetype limit)
{
    if (at + 8 > limit)
        return std::nullopt;
    quint64 size = qFromBigEndian<quint32>(b.constData() + at);
    qsizetype header = 8;
    if (size == 1) {
        if (at + 16 > limit)
            return std::nullopt;
        size = qFromBigEndian<quint64>(b.constData() + at + 8);
        header = 16;
    } else if (size == 0) {
        size = quint64(limit - at);
    }
    if (size < quint64(header) || size > quint64(limit - at))
        return std::nullopt;
    return Box{fourcc(b.constData() + at + 4), at + header, at + qsizetype(size)};
}

// The item type of the primary item, from the meta box; 0 when the file
// does not tell (libheif then judges the file).
quint32 primaryItemType(const QByteArray &b)
{
    std::optional<Box> meta;
    for (std::optional<Box> box = boxAt(b, 0, b.size()); box; box = boxAt(b, box->end, b.size()))
        if (box->type == fourcc("meta")) {
            meta = box;
            break;
        }
    if (!meta)
        return 0;
    quint32 primary = 0;
    bool havePrimary = false;
    std::optional<Box> iinf;
    for (std::optional<Box> box = boxAt(b, meta->content + 4, meta->end); box; box = boxAt(b, box->end, meta->end)) {
        if (box->type == fourcc("pitm") && box->content + 6 <= box->end) {
            const bool wide = b[box->content] != 0;
            primary = wide ? qFromBigEndian<quint32>(b.constData() + box->content + 4)
                           : qFromBigEndian<quint16>(b.constData() + box->content + 4);
            havePrimary = true;
        } else if (box->type == fourcc("iinf")) {
            iinf = box;
        }
    }
    if (!havePrimary || !iinf || iinf->content + 6 > iinf->end)
        return 0;
    const qsizetype first = iinf->content + (b[iinf->content] == 0 ? 6 : 8);
    for (std::optional<Box> box = boxAt(b, first, iinf->end); box; box = boxAt(b, box->end, iinf->end)) {
        if (box->type != fourcc("infe") || box->content + 4 > box->end)
            continue;
        const int version = static_cast<unsigned char>(b[box->content]);
        if (version < 2)
            continue;
        const qsizetype idAt = box->content + 4;
        const qsizetype typeAt = idAt + (version == 2 ? 2 : 4) + 2;
        if (typeAt + 4 > box->end)
            continue;
        const quint32 id = version == 2 ? qFromBigEndian<quint16>(b.constData() + idAt)
                                        : qFromBigEndian<quint32>(b.constData() + idAt);
        if (id == primary)
            return fourcc(b.constData() + typeAt);
    }
    return 0;
}

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

// The primary image's handle of a file read by `read`.
template <class Read>
Made<Handle> primaryHandle(Context &context, Read read, const Work &work)
{
    context.reset(heif_context_alloc());
    if (!context)
        return failure(Fault::memory());
    heif_context_set_maximum_image_size_limit(context.get(), kMaxSide);
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

// Reading from a file, for the header alone: libheif reads the boxes it
// needs and no picture data.
struct FileReader {
    QIODevice *file;
    static int64_t position(void *self) { return static_cast<FileReader *>(self)->file->pos(); }
    static int read(void *data, size_t size, void *self)
    {
        QIODevice *f = static_cast<FileReader *>(self)->file;
        return f->read(static_cast<char *>(data), qint64(size)) == qint64(size) ? 0 : 1;
    }
    static int seek(int64_t position, void *self) { return static_cast<FileReader *>(self)->file->seek(position) ? 0 : 1; }
    static heif_reader_grow_status waitForSize(int64_t target, void *self)
    {
        return target <= static_cast<FileReader *>(self)->file->size() ? heif_reader_grow_status_size_reached
                                                                      : heif_reader_grow_status_size_beyond_eof;
    }
};

} // namespace

bool isHeif(const QByteArray &b)
{
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

Made<QSize> heifSize(QIODevice &file)
{
    FileReader reader{&file};
    static const heif_reader api{1, FileReader::position, FileReader::read, FileReader::seek, FileReader::waitForSize};
    Context context;
    const Made<Handle> handle = primaryHandle(
        context, [&](heif_context *c) { return heif_context_read_from_reader(c, &api, &reader, nullptr); }, Work::alone());
    if (!handle)
        return failure(handle.reason());
    return QSize(heif_image_handle_get_width(handle->get()), heif_image_handle_get_height(handle->get()));
}

Made<QImage> decodeHeif(const QByteArray &bytes, const Work &work)
{
    if (primaryItemType(bytes) == fourcc("iovl"))
        return refuse(QStringLiteral("overlay images are not supported"));
    Context context;
    const Made<Handle> opened = primaryHandle(
        context,
        [&](heif_context *c) {
            return heif_context_read_from_memory_without_copy(c, bytes.constData(), size_t(bytes.size()), nullptr);
        },
        work);
    if (!opened)
        return failure(opened.reason());
    heif_image_handle *handle = opened->get();
    const int w = heif_image_handle_get_width(handle), h = heif_image_handle_get_height(handle);
    if (!sizeAllowed(w, h) || !plausibleSize(w, h, bytes.size()))
        return refuse(QStringLiteral("picture too large"));
    const bool alpha = heif_image_handle_has_alpha_channel(handle);
    const bool deep = heif_image_handle_get_luma_bits_per_pixel(handle) > 8;

    std::unique_ptr<heif_decoding_options, OptionsFree> options(heif_decoding_options_alloc());
    options->strict_decoding = 1;
    const heif_chroma chroma = deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
                                    : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image *raw = nullptr;
    if (const heif_error e = heif_decode_image(handle, &raw, heif_colorspace_RGB, chroma, options.get());
        e.code != heif_error_Ok) {
        heif_image_release(raw);
        return e.code == heif_error_Memory_allocation_error ? Made<QImage>(failure(Fault::memory())) : refuse(e);
    }
    const std::unique_ptr<heif_image, ImageFree> decoded(raw);
    if (heif_image_get_decoding_warnings(raw, 0, nullptr, 0) > 0) {
        heif_error warning{};
        heif_image_get_decoding_warnings(raw, 0, &warning, 1);
        return refuse(warning);
    }

    // Colours: refused when HDR, else the profile that converts them.
    QByteArray icc;
    const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle);
    if (type == heif_color_profile_type_prof || type == heif_color_profile_type_rICC) {
        icc.resize(qsizetype(heif_image_handle_get_raw_color_profile_size(handle)));
        if (heif_image_handle_get_raw_color_profile(handle, icc.data()).code != heif_error_Ok)
            icc.clear();
    }
    // The file's own description; the decoded image's is what libheif
    // converted it to.
    heif_color_profile_nclx *nclxRaw = nullptr;
    if (heif_image_handle_get_nclx_color_profile(handle, &nclxRaw).code != heif_error_Ok) {
        heif_nclx_color_profile_free(nclxRaw);
        nclxRaw = nullptr;
    }
    if (nclxRaw) {
        const std::unique_ptr<heif_color_profile_nclx, NclxFree> nclx(nclxRaw);
        const int transfer = nclx->transfer_characteristics;
        if (transfer == heif_transfer_characteristic_ITU_R_BT_2100_0_PQ ||
            transfer == heif_transfer_characteristic_ITU_R_BT_2100_0_HLG)
            return refuse(QStringLiteral("HDR (PQ or HLG) pictures are not shown"));
        if (icc.isEmpty())
            icc = profileOf(*nclx);
    }

    int stride = 0;
    const uint8_t *plane = heif_image_get_plane_readonly(raw, heif_channel_interleaved, &stride);
    if (!plane || heif_image_get_width(raw, heif_channel_interleaved) != w ||
        heif_image_get_height(raw, heif_channel_interleaved) != h)
        return refuse(QStringLiteral("picture data missing"));
    const bool premultiplied = alpha && heif_image_handle_is_premultiplied_alpha(handle);
    QImage image = allocateImage(w, h, !alpha ? QImage::Format_RGB32
                                       : premultiplied ? QImage::Format_ARGB32_Premultiplied
                                                       : QImage::Format_ARGB32);
    const int channels = alpha ? 4 : 3;
    const int bits = deep ? heif_image_get_bits_per_pixel_range(raw, heif_channel_interleaved) : 8;
    const int max = (1 << bits) - 1;
    for (int y = 0; y < h; ++y) {
        auto *out = reinterpret_cast<QRgb *>(image.scanLine(y));
        const uint8_t *row = plane + qsizetype(stride) * y;
        for (int x = 0; x < w; ++x) {
            int v[4] = {0, 0, 0, 255};
            for (int c = 0; c < channels; ++c) {
                if (deep) {
                    const int s = row[(x * channels + c) * 2] | (row[(x * channels + c) * 2 + 1] << 8);
                    v[c] = (std::min(s, max) * 510 + max) / (2 * max); // rounded, not shifted
                } else {
                    v[c] = row[x * channels + c];
                }
            }
            out[x] = qRgba(v[0], v[1], v[2], v[3]);
        }
    }
    if (!icc.isEmpty() && !convertToSrgb(image, icc, PixelLayout::Rgb, work))
        convertToSrgb(image, icc, PixelLayout::Grey, work);
    return image;
}

} // namespace pv

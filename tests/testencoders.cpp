// Files of the formats written through their own libraries: JPEG XL, GIF,
// PNG (by hand, to reach every colour type) and HEIF.
#include "testimages.h"

#include <QtEndian>
#include <gif_lib.h>
#include <jxl/encode.h>
#include <jxl/encode_cxx.h>
#include <libheif/heif.h>
#include <zlib.h>
#include <cmath>
#include <functional>
#include <vector>

namespace testimages {

QByteArray jxl(const QImage &image, const QByteArray &icc, int frames)
{
    const JxlEncoderPtr enc = JxlEncoderMake(nullptr);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = uint32_t(image.width());
    info.ysize = uint32_t(image.height());
    info.bits_per_sample = 8;
    info.uses_original_profile = JXL_TRUE;
    info.have_animation = frames > 1 ? JXL_TRUE : JXL_FALSE;
    info.animation.tps_numerator = 10;
    info.animation.tps_denominator = 1;
    JxlEncoderSetBasicInfo(enc.get(), &info);
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
    if (icc.isEmpty())
        JxlEncoderSetColorEncoding(enc.get(), &srgb);
    else
        JxlEncoderSetICCProfile(enc.get(), reinterpret_cast<const uint8_t *>(icc.constData()), size_t(icc.size()));
    JxlEncoderFrameSettings *settings = JxlEncoderFrameSettingsCreate(enc.get(), nullptr);
    JxlEncoderSetFrameLossless(settings, JXL_TRUE);
    const JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    for (int f = 0; f < frames; ++f) {
        QImage frame = image.convertToFormat(QImage::Format_RGB888);
        if (f > 0)
            frame.invertPixels();
        std::vector<uint8_t> rgb;
        for (int y = 0; y < frame.height(); ++y)
            rgb.insert(rgb.end(), frame.constScanLine(y), frame.constScanLine(y) + 3 * frame.width());
        if (frames > 1) {
            JxlFrameHeader header;
            JxlEncoderInitFrameHeader(&header);
            header.duration = 1;
            JxlEncoderSetFrameHeader(settings, &header);
        }
        JxlEncoderAddImageFrame(settings, &format, rgb.data(), rgb.size());
    }
    JxlEncoderCloseInput(enc.get());
    QByteArray out(1 << 16, '\0');
    uint8_t *next = reinterpret_cast<uint8_t *>(out.data());
    size_t avail = size_t(out.size());
    while (JxlEncoderProcessOutput(enc.get(), &next, &avail) == JXL_ENC_NEED_MORE_OUTPUT) {
        const qsizetype used = next - reinterpret_cast<uint8_t *>(out.data());
        out.resize(out.size() * 2);
        next = reinterpret_cast<uint8_t *>(out.data()) + used;
        avail = size_t(out.size() - used);
    }
    out.truncate(next - reinterpret_cast<uint8_t *>(out.data()));
    return out;
}

namespace {

int gifWrite(GifFileType *gif, const GifByteType *data, int len)
{
    static_cast<QByteArray *>(gif->UserData)->append(reinterpret_cast<const char *>(data), len);
    return len;
}

} // namespace

QByteArray gif(const QImage &image, int transparentIndex, int frames, bool interlaced)
{
    QList<QRgb> palette;
    QHash<QRgb, int> index;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = image.pixel(x, y) | 0xff000000;
            if (!index.contains(c)) {
                index.insert(c, int(palette.size()));
                palette.append(c);
            }
        }
    while (palette.size() < 256)
        palette.append(qRgb(1, 2, 3));
    QByteArray out;
    int error = 0;
    GifFileType *g = EGifOpen(&out, gifWrite, &error);
    ColorMapObject *map = GifMakeMapObject(256, nullptr);
    for (int i = 0; i < 256; ++i)
        map->Colors[i] = {GifByteType(qRed(palette[i])), GifByteType(qGreen(palette[i])), GifByteType(qBlue(palette[i]))};
    EGifSetGifVersion(g, true);
    EGifPutScreenDesc(g, image.width(), image.height(), 8, 0, map);
    for (int f = 0; f < frames; ++f) {
        if (transparentIndex >= 0) {
            GraphicsControlBlock gcb{0, false, 10, transparentIndex};
            GifByteType ext[4];
            const size_t n = EGifGCBToExtension(&gcb, ext);
            EGifPutExtension(g, GRAPHICS_EXT_FUNC_CODE, int(n), ext);
        }
        EGifPutImageDesc(g, 0, 0, image.width(), image.height(), interlaced, nullptr);
        std::vector<GifPixelType> line(size_t(image.width()));
        auto writeRow = [&](int y) {
            for (int x = 0; x < image.width(); ++x)
                line[size_t(x)] = GifPixelType(f == 0 ? index.value(image.pixel(x, y) | 0xff000000) : 255);
            EGifPutLine(g, line.data(), image.width());
        };
        if (interlaced) {
            const int start[] = {0, 4, 2, 1}, step[] = {8, 8, 4, 2};
            for (int pass = 0; pass < 4; ++pass)
                for (int y = start[pass]; y < image.height(); y += step[pass])
                    writeRow(y);
        } else {
            for (int y = 0; y < image.height(); ++y)
                writeRow(y);
        }
    }
    EGifCloseFile(g, &error);
    GifFreeMapObject(map);
    return out;
}

QByteArray png(const QImage &image, int colourType, int bits, std::optional<QRgb> transparent, int low)
{
    auto chunk = [](const char *type, const QByteArray &data) {
        QByteArray c(4, '\0');
        qToBigEndian(quint32(data.size()), c.data());
        const QByteArray body = QByteArray(type, 4) + data;
        QByteArray crc(4, '\0');
        qToBigEndian(quint32(crc32(0, reinterpret_cast<const Bytef *>(body.constData()), uInt(body.size()))), crc.data());
        return c + body + crc;
    };
    auto sample = [bits, low](QByteArray &out, int v) {
        out += char(v);
        if (bits == 16)
            out += char(v == 0 ? 0 : std::min(255, v + low));
    };
    QByteArray header(13, '\0');
    qToBigEndian(quint32(image.width()), header.data());
    qToBigEndian(quint32(image.height()), header.data() + 4);
    header[8] = char(bits);
    header[9] = char(colourType);
    QByteArray raw;
    for (int y = 0; y < image.height(); ++y) {
        raw += '\0'; // no filter
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (colourType == 0 || colourType == 4) {
                sample(raw, qRed(p));
            } else {
                sample(raw, qRed(p));
                sample(raw, qGreen(p));
                sample(raw, qBlue(p));
            }
            if (colourType == 4 || colourType == 6)
                sample(raw, qAlpha(p));
        }
    }
    uLongf packedSize = compressBound(uLong(raw.size()));
    QByteArray packed(qsizetype(packedSize), '\0');
    compress(reinterpret_cast<Bytef *>(packed.data()), &packedSize, reinterpret_cast<const Bytef *>(raw.constData()),
             uLong(raw.size()));
    packed.truncate(qsizetype(packedSize));
    QByteArray out("\x89PNG\r\n\x1a\n", 8);
    out += chunk("IHDR", header);
    if (transparent) {
        QByteArray trns;
        auto two = [&trns, bits, low](int v) {
            trns += bits == 16 ? char(v) : '\0';
            trns += bits == 16 ? char(v == 0 ? 0 : std::min(255, v + low)) : char(v);
        };
        if (colourType == 0) {
            two(qRed(*transparent));
        } else {
            two(qRed(*transparent));
            two(qGreen(*transparent));
            two(qBlue(*transparent));
        }
        out += chunk("tRNS", trns);
    }
    out += chunk("IDAT", packed);
    out += chunk("IEND", QByteArray());
    return out;
}

namespace {

// The picture as libheif's encoder takes it, with the options' samples and
// colours.
heif_image *heifImage(const QImage &image, const HeifOptions &o)
{
    const bool deep = o.bits > 8;
    const heif_chroma chroma = deep ? (o.alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
                                    : (o.alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image *img = nullptr;
    heif_image_create(image.width(), image.height(), heif_colorspace_RGB, chroma, &img);
    heif_image_add_plane(img, heif_channel_interleaved, image.width(), image.height(), o.bits);
    int stride = 0;
    uint8_t *plane = heif_image_get_plane(img, heif_channel_interleaved, &stride);
    const int channels = o.alpha ? 4 : 3;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            const int v[4] = {qRed(p), qGreen(p), qBlue(p), qAlpha(p)};
            for (int c = 0; c < channels; ++c) {
                uint8_t *at = plane + qsizetype(stride) * y;
                if (deep) {
                    const int s = (v[c] << (o.bits - 8)) | o.low;
                    at[(x * channels + c) * 2] = uint8_t(s & 0xff);
                    at[(x * channels + c) * 2 + 1] = uint8_t(s >> 8);
                } else {
                    at[x * channels + c] = uint8_t(v[c]);
                }
            }
        }
    if (!o.icc.isEmpty())
        heif_image_set_raw_color_profile(img, "prof", o.icc.constData(), size_t(o.icc.size()));
    return img;
}

} // namespace

QByteArray heif(const QImage &image, const HeifOptions &o)
{
    heif_context *context = heif_context_alloc();
    heif_encoder *encoder = nullptr;
    heif_context_get_encoder_for_format(context, o.avif ? heif_compression_AV1 : heif_compression_HEVC, &encoder);
    if (!encoder) {
        heif_context_free(context);
        return QByteArray();
    }
    heif_encoder_set_lossy_quality(encoder, 95);
    heif_encoder_set_lossless(encoder, o.lossless);
    if (o.chroma444)
        heif_encoder_set_parameter(encoder, "chroma", "444");
    heif_image *img = heifImage(image, o);
    heif_color_profile_nclx *nclx = nullptr;
    if (o.primaries > 0 || o.transfer > 0) {
        nclx = heif_nclx_color_profile_alloc();
        heif_nclx_color_profile_set_color_primaries(nclx, uint16_t(o.primaries > 0 ? o.primaries : 1));
        heif_nclx_color_profile_set_transfer_characteristics(nclx, uint16_t(o.transfer > 0 ? o.transfer : 13));
        heif_nclx_color_profile_set_matrix_coefficients(nclx, 6);
        nclx->full_range_flag = 1;
        heif_image_set_nclx_color_profile(img, nclx);
    }
    heif_encoding_options *options = heif_encoding_options_alloc();
    options->macOS_compatibility_workaround = 0; // odd sizes are cropped by clap
    options->macOS_compatibility_workaround_no_nclx_profile = 0;
    options->image_orientation = heif_orientation(o.orientation);
    options->output_nclx_profile = nclx;
    heif_image_handle *primary = nullptr;
    heif_error e = heif_context_encode_image(context, img, encoder, options, &primary);
    if (e.code == heif_error_Ok && o.thumbnail.isValid()) {
        // Scaled smoothly, as a phone's is; coded and turned alike, without
        // a profile of its own.
        HeifOptions own = o;
        own.icc.clear();
        heif_image *small = heifImage(image.scaled(o.thumbnail, Qt::IgnoreAspectRatio, Qt::SmoothTransformation), own);
        heif_image_handle *thumbnail = nullptr;
        e = heif_context_encode_image(context, small, encoder, options, &thumbnail);
        // libheif 1.15 writes the reference from its first handle to its
        // second, the other way round from what it documents.
        if (e.code == heif_error_Ok)
            e = heif_context_assign_thumbnail(context, thumbnail, primary);
        heif_image_handle_release(thumbnail);
        heif_image_release(small);
    }
    heif_image_handle_release(primary);
    QByteArray out;
    if (e.code == heif_error_Ok) {
        heif_writer writer{1, [](heif_context *, const void *data, size_t size, void *self) {
                               static_cast<QByteArray *>(self)->append(static_cast<const char *>(data), qsizetype(size));
                               return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
                           }};
        heif_context_write(context, &writer, &out);
    }
    heif_encoding_options_free(options);
    if (nclx)
        heif_nclx_color_profile_free(nclx);
    heif_image_release(img);
    heif_encoder_release(encoder);
    heif_context_free(context);
    return out;
}

} // namespace testimages

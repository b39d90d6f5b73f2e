#include "files/jxlwrite.h"

#include <jxl/encode.h>
#include <jxl/encode_cxx.h>

#include <algorithm>
#include <vector>

namespace pv {

float jxlDistance(int quality)
{
    const float q = float(std::clamp(quality, 1, 100));
    const float d = q >= 30 ? 0.1f + (100 - q) * 0.09f : 53.0f / 3000.0f * q * q - 23.0f / 20.0f * q + 25.0f;
    return std::min(d, 15.0f);
}

namespace {

// The picture's basic facts and colours: 8-bit RGB, sRGB unless a profile
// is given; lossless needs the samples stored as they are.
bool describe(JxlEncoder *enc, const QImage &pixels, const JxlSettings &s)
{
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = uint32_t(pixels.width());
    info.ysize = uint32_t(pixels.height());
    info.bits_per_sample = 8;
    info.num_color_channels = 3;
    info.uses_original_profile = s.lossless || !s.icc.isEmpty() ? JXL_TRUE : JXL_FALSE;
    if (JxlEncoderSetBasicInfo(enc, &info) != JXL_ENC_SUCCESS)
        return false;
    if (!s.icc.isEmpty())
        return JxlEncoderSetICCProfile(enc, reinterpret_cast<const uint8_t *>(s.icc.constData()), size_t(s.icc.size())) ==
               JXL_ENC_SUCCESS;
    JxlColorEncoding srgb;
    JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
    return JxlEncoderSetColorEncoding(enc, &srgb) == JXL_ENC_SUCCESS;
}

std::vector<uint8_t> rgbOf(const QImage &pixels)
{
    const int w = pixels.width(), h = pixels.height();
    std::vector<uint8_t> rgb(size_t(w) * size_t(h) * 3);
    for (int y = 0; y < h; ++y) {
        const auto *in = reinterpret_cast<const QRgb *>(pixels.constScanLine(y));
        uint8_t *out = rgb.data() + size_t(y) * size_t(w) * 3;
        for (int x = 0; x < w; ++x) {
            out[3 * x] = uint8_t(qRed(in[x]));
            out[3 * x + 1] = uint8_t(qGreen(in[x]));
            out[3 * x + 2] = uint8_t(qBlue(in[x]));
        }
    }
    return rgb;
}

QByteArray drain(JxlEncoder *enc)
{
    QByteArray out(1 << 16, Qt::Uninitialized);
    qsizetype used = 0;
    for (;;) {
        auto *next = reinterpret_cast<uint8_t *>(out.data() + used);
        size_t avail = size_t(out.size() - used);
        const JxlEncoderStatus status = JxlEncoderProcessOutput(enc, &next, &avail);
        used = qsizetype(next - reinterpret_cast<uint8_t *>(out.data()));
        if (status == JXL_ENC_SUCCESS) {
            out.truncate(used);
            return out;
        }
        if (status != JXL_ENC_NEED_MORE_OUTPUT)
            return QByteArray();
        out.resize(out.size() * 2);
    }
}

} // namespace

QByteArray encodeJxl(const QImage &pixels, const JxlSettings &s)
{
    const JxlEncoderPtr enc = JxlEncoderMake(nullptr);
    if (!enc)
        return QByteArray();
    if (!s.exif.isEmpty() && JxlEncoderUseBoxes(enc.get()) != JXL_ENC_SUCCESS)
        return QByteArray();
    if (!describe(enc.get(), pixels, s))
        return QByteArray();
    JxlEncoderFrameSettings *frame = JxlEncoderFrameSettingsCreate(enc.get(), nullptr);
    JxlEncoderFrameSettingsSetOption(frame, JXL_ENC_FRAME_SETTING_EFFORT, kJxlEffort);
    if (s.lossless)
        JxlEncoderSetFrameLossless(frame, JXL_TRUE);
    else
        JxlEncoderSetFrameDistance(frame, jxlDistance(s.quality));
    if (!s.exif.isEmpty()) {
        // The Exif box holds a 4-byte offset to the TIFF header, then TIFF.
        QByteArray box(4, '\0');
        box += s.exif.startsWith(QByteArray("Exif\0\0", 6)) ? s.exif.mid(6) : s.exif;
        if (JxlEncoderAddBox(enc.get(), "Exif", reinterpret_cast<const uint8_t *>(box.constData()), size_t(box.size()),
                             JXL_FALSE) != JXL_ENC_SUCCESS)
            return QByteArray();
        JxlEncoderCloseBoxes(enc.get());
    }
    const std::vector<uint8_t> rgb = rgbOf(pixels);
    const JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    if (JxlEncoderAddImageFrame(frame, &format, rgb.data(), rgb.size()) != JXL_ENC_SUCCESS)
        return QByteArray();
    JxlEncoderCloseInput(enc.get());
    return drain(enc.get());
}

} // namespace pv

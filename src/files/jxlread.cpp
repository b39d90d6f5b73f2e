// JPEG XL through libjxl, on the calling thread: the first frame (an
// animation's first picture, composed), turned by its orientation,
// converted to sRGB from the profile the decoder gives for its pixels.

#include "files/colour.h"
#include "files/decoders.h"
#include "files/formats.h"
#include "surfaces/pixelmemory.h"

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>

#include <algorithm>
#include <climits>

namespace pv {

bool isJxl(const QByteArray &bytes)
{
    return bytes.startsWith("\xff\x0a") || isJxlContainer(bytes);
}

namespace {

struct JxlJob {
    JxlBasicInfo info{};
    QImage image; // RGBA8888 as libjxl writes it
    QByteArray icc;
};

Fault damaged() { return Fault::content(QStringLiteral("damaged or truncated JPEG XL")); }

// The size is checked before any pixel memory is taken.
Made<void> takeInfo(JxlDecoder *dec, JxlJob &job, qint64 fileBytes)
{
    if (JxlDecoderGetBasicInfo(dec, &job.info) != JXL_DEC_SUCCESS)
        return failure(damaged());
    const bool turned = job.info.orientation >= JXL_ORIENT_TRANSPOSE;
    const qint64 w = turned ? job.info.ysize : job.info.xsize, h = turned ? job.info.xsize : job.info.ysize;
    // libjxl works on planes of floats: three of four bytes a pixel besides
    // the eight-bit output.
    if (!sizeAllowed(w, h) || !plausibleSize(w, h, fileBytes) || w * h * 16 > pictureMemoryLimit())
        return failure(Fault::content(QStringLiteral("too large")));
    job.image = allocateImage(int(w), int(h), QImage::Format_RGBA8888);
    if (job.image.isNull())
        return failure(Fault::memory());
    return {};
}

void takeProfile(JxlDecoder *dec, JxlJob &job)
{
    size_t size = 0;
    if (JxlDecoderGetICCProfileSize(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) != JXL_DEC_SUCCESS ||
        size == 0 || size > (size_t(4) << 20))
        return;
    job.icc.resize(qsizetype(size));
    if (JxlDecoderGetColorAsICCProfile(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                       reinterpret_cast<uint8_t *>(job.icc.data()), size) != JXL_DEC_SUCCESS)
        job.icc.clear();
}

Made<void> run(JxlDecoder *dec, JxlJob &job, qint64 fileBytes)
{
    const JxlPixelFormat format{4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    for (;;) {
        switch (JxlDecoderProcessInput(dec)) {
        case JXL_DEC_BASIC_INFO:
            if (Made<void> ok = takeInfo(dec, job, fileBytes); !ok)
                return ok;
            break;
        case JXL_DEC_COLOR_ENCODING:
            takeProfile(dec, job);
            break;
        case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
            size_t need = 0;
            if (job.image.isNull() || JxlDecoderImageOutBufferSize(dec, &format, &need) != JXL_DEC_SUCCESS ||
                need != size_t(job.image.sizeInBytes()) ||
                JxlDecoderSetImageOutBuffer(dec, &format, job.image.bits(), need) != JXL_DEC_SUCCESS)
                return failure(damaged());
            break;
        }
        case JXL_DEC_FULL_IMAGE:
            return {}; // the first frame is enough
        default:
            return failure(damaged());
        }
    }
}

} // namespace

Made<QSize> jxlSize(const QByteArray &head)
{
    const JxlDecoderPtr dec = JxlDecoderMake(nullptr);
    JxlBasicInfo info{};
    if (!dec || JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_BASIC_INFO) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(dec.get(), reinterpret_cast<const uint8_t *>(head.constData()), size_t(head.size())) !=
            JXL_DEC_SUCCESS)
        return failure(damaged());
    JxlDecoderCloseInput(dec.get());
    if (JxlDecoderProcessInput(dec.get()) != JXL_DEC_BASIC_INFO ||
        JxlDecoderGetBasicInfo(dec.get(), &info) != JXL_DEC_SUCCESS)
        return failure(damaged());
    const bool turned = info.orientation >= JXL_ORIENT_TRANSPOSE;
    return QSize(int(std::min<uint32_t>(turned ? info.ysize : info.xsize, INT_MAX)),
                 int(std::min<uint32_t>(turned ? info.xsize : info.ysize, INT_MAX)));
}

Made<QImage> decodeJxl(const QByteArray &bytes, const Work &work)
{
    const JxlDecoderPtr dec = JxlDecoderMake(nullptr);
    if (!dec)
        return failure(Fault::memory());
    const auto *data = reinterpret_cast<const uint8_t *>(bytes.constData());
    if (JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE) !=
            JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(dec.get(), data, size_t(bytes.size())) != JXL_DEC_SUCCESS)
        return failure(damaged());
    JxlDecoderCloseInput(dec.get());
    JxlJob job;
    if (Made<void> ran = run(dec.get(), job, bytes.size()); !ran)
        return failure(ran.reason());
    // libjxl's row stride is the picture's width times four, as QImage's.
    QImage image = job.image.convertToFormat(job.info.alpha_bits > 0 ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    if (image.isNull())
        return failure(Fault::memory());
    convertToSrgb(image, job.icc, job.info.num_color_channels == 1 ? PixelLayout::Grey : PixelLayout::Rgb, work);
    return image;
}

} // namespace pv

// JPEG decoding with libjpeg-turbo, straight into 32-bit pixels. Data that
// ends early or is corrupt is refused; stray bytes between markers and data
// after the end of the image are tolerated. The EXIF orientation is applied,
// so the picture comes out upright.
#include "files/picture.h"
#include "surfaces/pixelmemory.h"

#include <QTransform>
#include <climits>
#include <optional>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <jpeglib.h>
#include <jerror.h>

namespace pv {

namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    bool damaged = false;
    char text[JMSG_LENGTH_MAX] = {};
};

[[noreturn]] void onError(j_common_ptr cinfo)
{
    auto *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    cinfo->err->format_message(cinfo, err->text);
    std::longjmp(err->jump, 1);
}

void onMessage(j_common_ptr cinfo, int level)
{
    if (level >= 0)
        return; // trace messages
    auto *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    const int code = cinfo->err->msg_code;
    // Warnings that mean pixels are missing or made up.
    if (code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER || code == JWRN_HUFF_BAD_CODE ||
        code == JWRN_MUST_RESYNC || code == JWRN_NOT_SEQUENTIAL) {
        err->damaged = true;
        cinfo->err->format_message(cinfo, err->text);
    }
}

// The EXIF orientation tag (1 to 8) of an APP1 marker, or 1.
int exifOrientation(const jpeg_saved_marker_ptr markers)
{
    for (jpeg_saved_marker_ptr m = markers; m; m = m->next) {
        if (m->marker != JPEG_APP0 + 1 || m->data_length < 14 || std::memcmp(m->data, "Exif\0\0", 6) != 0)
            continue;
        const JOCTET *tiff = m->data + 6;
        const qint64 size = m->data_length - 6;
        const bool little = tiff[0] == 'I' && tiff[1] == 'I';
        if (!little && !(tiff[0] == 'M' && tiff[1] == 'M'))
            return 1;
        auto u16 = [&](qint64 o) -> unsigned {
            return little ? tiff[o] | (tiff[o + 1] << 8) : (tiff[o] << 8) | tiff[o + 1];
        };
        auto u32 = [&](qint64 o) -> quint32 {
            return little ? u16(o) | (quint32(u16(o + 2)) << 16) : (quint32(u16(o)) << 16) | u16(o + 2);
        };
        const qint64 ifd = u32(4);
        if (ifd < 8 || ifd + 2 > size)
            return 1;
        const unsigned count = u16(ifd);
        for (unsigned i = 0; i < count; ++i) {
            const qint64 entry = ifd + 2 + qint64(i) * 12;
            if (entry + 12 > size)
                return 1;
            if (u16(entry) == 0x0112 && u16(entry + 2) == 3) {
                const unsigned v = u16(entry + 8);
                return v >= 1 && v <= 8 ? int(v) : 1;
            }
        }
    }
    return 1;
}

QImage upright(const QImage &image, int orientation)
{
    switch (orientation) {
    case 2: return image.mirrored(true, false);
    case 3: return image.transformed(QTransform().rotate(180));
    case 4: return image.mirrored(false, true);
    case 5: return image.transformed(QTransform().rotate(90)).mirrored(true, false);
    case 6: return image.transformed(QTransform().rotate(90));
    case 7: return image.transformed(QTransform().rotate(270)).mirrored(true, false);
    case 8: return image.transformed(QTransform().rotate(270));
    default: return image;
    }
}

// Everything the decoder touches lives here, in memory, so that nothing
// depends on the values of locals after a longjmp.
struct Job {
    jpeg_decompress_struct cinfo{};
    ErrorManager err;
    QImage image;
    // Declared after the image, so that it is joined before the image goes.
    std::optional<Prefault> warm;
    int orientation = 1;
    QString refusal;
};

void run(Job &job, const QByteArray &bytes)
{
    jpeg_decompress_struct &cinfo = job.cinfo;
    cinfo.err = jpeg_std_error(&job.err.pub);
    job.err.pub.error_exit = onError;
    job.err.pub.emit_message = onMessage;
    if (setjmp(job.err.jump)) {
        job.image = QImage();
        if (job.refusal.isEmpty())
            job.refusal = QString::fromLocal8Bit(job.err.text);
        return;
    }
    jpeg_create_decompress(&cinfo);
    cinfo.mem->max_memory_to_use = long(std::min<qint64>(pictureMemoryLimit(), LONG_MAX));
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char *>(bytes.constData()),
                 static_cast<unsigned long>(bytes.size()));
    jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xffff);
    jpeg_read_header(&cinfo, TRUE);
    job.orientation = exifOrientation(cinfo.marker_list);
    if (!sizeAllowed(cinfo.image_width, cinfo.image_height) ||
        !plausibleSize(cinfo.image_width, cinfo.image_height, bytes.size())) {
        job.refusal = QStringLiteral("picture too large");
        return;
    }
    const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRX;
    cinfo.dct_method = JDCT_ISLOW;
    jpeg_start_decompress(&cinfo);
    try {
        job.image = allocateImage(int(cinfo.output_width), int(cinfo.output_height));
    } catch (const std::bad_alloc &) {
        job.refusal = QStringLiteral("out of memory");
        return;
    }
    job.warm.emplace(job.image);
    while (cinfo.output_scanline < cinfo.output_height && !job.err.damaged) {
        JSAMPROW row = job.image.scanLine(int(cinfo.output_scanline));
        if (jpeg_read_scanlines(&cinfo, &row, 1) != 1)
            break;
        if (cmyk) {
            // Adobe writes inverted CMYK; others write it plain.
            const bool inverted = cinfo.saw_Adobe_marker;
            auto *px = reinterpret_cast<QRgb *>(row);
            for (int x = int(cinfo.output_width) - 1; x >= 0; --x) {
                int c = row[4 * x], m = row[4 * x + 1], y = row[4 * x + 2], k = row[4 * x + 3];
                if (!inverted)
                    c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
                px[x] = qRgb(c * k / 255, m * k / 255, y * k / 255);
            }
        }
    }
    if (cinfo.output_scanline < cinfo.output_height || job.err.damaged) {
        job.refusal = job.err.damaged ? QString::fromLocal8Bit(job.err.text) : QStringLiteral("data ends early");
        job.image = QImage();
        return;
    }
    jpeg_finish_decompress(&cinfo);
    if (job.err.damaged) {
        job.refusal = QString::fromLocal8Bit(job.err.text);
        job.image = QImage();
    }
}

} // namespace

Decoded decodeJpeg(const QByteArray &bytes)
{
    Job job;
    run(job, bytes);
    jpeg_destroy_decompress(&job.cinfo);
    if (job.image.isNull())
        return {QImage(), job.refusal.isEmpty() ? QStringLiteral("cannot decode") : job.refusal};
    return {upright(job.image, job.orientation), QString()};
}

} // namespace pv

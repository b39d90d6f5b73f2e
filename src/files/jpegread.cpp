// JPEG decoding with libjpeg-turbo, straight into 32-bit pixels. Data that
// ends early or is corrupt is refused; stray bytes between markers, data
// after the end of the image and a missing end marker after complete scan
// data are tolerated. An embedded colour profile is applied, then the EXIF
// orientation, so the picture comes out in sRGB and upright.
#include "files/colour.h"
#include "files/decoders.h"
#include "files/picture.h"
#include "surfaces/pixelmemory.h"
#include "surfaces/surface.h"

#include <QTransform>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <optional>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>
#include <jpeglib.h>
#include <jerror.h>

namespace pv {

namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    bool damaged = false;
    bool endMissing = false; // the data ran out; the decoder made up an end marker
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
    // Running out of data is damage only if pixels needed it: then the
    // entropy decoder warns too, or scans are missing (see scansComplete).
    if (code == JWRN_JPEG_EOF)
        err->endMissing = true;
    // Warnings that mean pixels are missing or made up. The first one is
    // the reason: the data is read in the same order whatever part of the
    // picture is kept.
    if ((code == JWRN_HIT_MARKER || code == JWRN_HUFF_BAD_CODE || code == JWRN_MUST_RESYNC ||
         code == JWRN_NOT_SEQUENTIAL) && !err->damaged) {
        err->damaged = true;
        cinfo->err->format_message(cinfo, err->text);
    }
}

// The component ids named by the file's scan headers.
std::vector<int> scannedComponents(const QByteArray &bytes)
{
    const auto *b = reinterpret_cast<const unsigned char *>(bytes.constData());
    const qsizetype n = bytes.size();
    std::vector<int> ids;
    qsizetype pos = 2;
    while (pos + 4 <= n) {
        if (b[pos] != 0xff || b[pos + 1] == 0xff) {
            ++pos;
            continue;
        }
        const int marker = b[pos + 1];
        if (marker == 0xd9)
            break;
        const qsizetype length = (b[pos + 2] << 8) | b[pos + 3];
        if (marker == 0xda && pos + 4 + length <= n && length >= 3) {
            const int count = b[pos + 4];
            for (int i = 0; i < count && 5 + 2 * i < length + 2; ++i)
                ids.push_back(b[pos + 5 + 2 * i]);
            // Skip the entropy-coded data up to the next marker.
            pos += 2 + length;
            while (pos + 1 < n && !(b[pos] == 0xff && b[pos + 1] != 0 && (b[pos + 1] < 0xd0 || b[pos + 1] > 0xd7)))
                ++pos;
            continue;
        }
        pos += 2 + length;
    }
    return ids;
}

// Whether every scan the picture needs was read, for a file whose data ran
// out after its last complete scan: a progressive file must have refined
// every coefficient to its last bit, a sequential one must have scanned
// every component.
bool scansComplete(const jpeg_decompress_struct &cinfo, const QByteArray &bytes)
{
    if (cinfo.progressive_mode) {
        if (!cinfo.coef_bits)
            return false;
        for (int c = 0; c < cinfo.num_components; ++c)
            for (int k = 0; k < DCTSIZE2; ++k)
                if (cinfo.coef_bits[c][k] != 0)
                    return false;
        return true;
    }
    if (!jpeg_has_multiple_scans(const_cast<jpeg_decompress_struct *>(&cinfo)))
        return true; // one scan, every pixel of it decoded
    const std::vector<int> scanned = scannedComponents(bytes);
    for (int c = 0; c < cinfo.num_components; ++c)
        if (std::find(scanned.begin(), scanned.end(), cinfo.comp_info[c].component_id) == scanned.end())
            return false;
    return true;
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

struct Decoder;

// Called by libjpeg as scans are read and rows decoded.
struct Monitor {
    jpeg_progress_mgr pub;
    Decoder *decoder;
};

// A rectangle of the upright picture in the stored pixels of a picture of
// `stored` size with the EXIF orientation, and back.
QRect storedRect(const QRect &u, QSize stored, int orientation)
{
    const int W = stored.width(), H = stored.height();
    const int a0 = u.left(), a1 = u.right() + 1, b0 = u.top(), b1 = u.bottom() + 1;
    auto rect = [](int x0, int x1, int y0, int y1) { return QRect(x0, y0, x1 - x0, y1 - y0); };
    switch (orientation) {
    case 2: return rect(W - a1, W - a0, b0, b1);
    case 3: return rect(W - a1, W - a0, H - b1, H - b0);
    case 4: return rect(a0, a1, H - b1, H - b0);
    case 5: return rect(b0, b1, a0, a1);
    case 6: return rect(b0, b1, H - a1, H - a0);
    case 7: return rect(W - b1, W - b0, H - a1, H - a0);
    case 8: return rect(W - b1, W - b0, a0, a1);
    default: return u;
    }
}

QRect uprightRect(const QRect &s, QSize stored, int orientation)
{
    const int W = stored.width(), H = stored.height();
    const int x0 = s.left(), x1 = s.right() + 1, y0 = s.top(), y1 = s.bottom() + 1;
    auto rect = [](int a0, int a1, int b0, int b1) { return QRect(a0, b0, a1 - a0, b1 - b0); };
    switch (orientation) {
    case 2: return rect(W - x1, W - x0, y0, y1);
    case 3: return rect(W - x1, W - x0, H - y1, H - y0);
    case 4: return rect(x0, x1, H - y1, H - y0);
    case 5: return rect(y0, y1, x0, x1);
    case 6: return rect(H - y1, H - y0, x0, x1);
    case 7: return rect(H - y1, H - y0, W - x1, W - x0);
    case 8: return rect(y0, y1, W - x1, W - x0);
    default: return s;
    }
}

} // namespace

JpegWindow jpegWindow(QSize stored, int orientation, QRect region, int d, QSize output, QSize margin)
{
    const int W = stored.width(), H = stored.height();
    const QRect full(QPoint(0, 0), orientation >= 5 ? stored.transposed() : stored);
    const QRect wanted = region.isNull() ? full : region.intersected(full);
    const QRect s = storedRect(wanted, stored, orientation);
    const QRect all(QPoint(0, 0), output);
    JpegWindow w;
    w.out = QRect(QPoint(s.left() / d, s.top() / d), QPoint((s.right() + d) / d - 1, (s.bottom() + d) / d - 1))
                .intersected(all);
    w.whole = w.out == all;
    w.x0 = std::max(0, w.out.left() - margin.width());
    w.width = std::min(output.width(), w.out.right() + 1 + margin.width()) - w.x0;
    w.y0 = std::max(0, w.out.top() - margin.height());
    w.lastRow = std::min(output.height(), w.out.bottom() + 1 + margin.height());
    w.region = uprightRect(QRect(QPoint(w.out.left() * d, w.out.top() * d),
                                 QPoint(std::min(W, (w.out.right() + 1) * d) - 1, std::min(H, (w.out.bottom() + 1) * d) - 1)),
                           stored, orientation);
    return w;
}

namespace {

// Everything the decoder touches lives here, in memory, so that nothing
// depends on the values of locals after a longjmp.
struct Decoder {
    jpeg_decompress_struct cinfo{};
    ErrorManager err;
    Monitor monitor{};
    const std::atomic<bool> *stop = nullptr;
    QImage image;
    // Declared after the image, so that they go before it: the converter's
    // thread is the prefault's, joined when the prefault goes.
    std::unique_ptr<ToSrgb> converter;
    std::optional<ConvertBehind> toSrgb;
    std::optional<Prefault> warm;
    int orientation = 1;
    std::function<DecodePlan(QSize)> plan; // what of the picture to decode, and how small
    QRect cut;    // of job.image: the stored pixels asked for
    QRect region; // the same in the upright full picture's pixels
    Work work;
    bool headerOnly = false;  // read only the size
    QSize uprightSize;        // the full size, turned by the orientation
    QByteArray profile;
    PixelLayout layout = PixelLayout::Rgb;
    QString refusal;
    bool outOfMemory = false;
    // How the rows are decoded, set before the first.
    bool cmyk = false;
    bool inverted = false;      // Adobe's CMYK
    bool cmykByProfile = false; // converted through the profile afterwards
    int firstRow = 0;           // the output row the image's first row holds
    int lastRow = 0;            // the output row after the image's last
    std::vector<JSAMPLE> spare; // one output row, for rows decoded only to be checked
};

// Ends the decode at once. Nothing here may own memory: the jump passes
// over destructors.
[[noreturn]] void refuseNow(Decoder &job, const char *why)
{
    std::snprintf(job.err.text, sizeof job.err.text, "%s", why);
    std::longjmp(job.err.jump, 1);
}

void onProgress(j_common_ptr cinfo)
{
    Decoder &job = *reinterpret_cast<Monitor *>(cinfo->progress)->decoder;
    static_assert(kMaxJpegScans == 500, "the message below names the limit");
    if (job.cinfo.input_scan_number > kMaxJpegScans)
        refuseNow(job, "more than 500 scans");
    if (job.stop && job.stop->load(std::memory_order_relaxed))
        refuseNow(job, "stopped");
}

// The colours of every decoded row converted, the helper done.
void finishConversion(Decoder &job)
{
    if (job.toSrgb) {
        job.toSrgb->filled(job.image.height());
        job.toSrgb->work();
    }
    job.warm.reset();
    if (job.converter && !job.toSrgb)
        job.converter->convert(job.image, job.work);
}

// Reads the header: the orientation and the full upright size.
void readHeader(Decoder &job, const QByteArray &bytes)
{
    jpeg_decompress_struct &cinfo = job.cinfo;
    jpeg_create_decompress(&cinfo);
    job.monitor.pub.progress_monitor = onProgress;
    job.monitor.decoder = &job;
    cinfo.progress = &job.monitor.pub;
    cinfo.mem->max_memory_to_use = long(std::min<qint64>(pictureMemoryLimit(), LONG_MAX));
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char *>(bytes.constData()),
                 static_cast<unsigned long>(bytes.size()));
    jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xffff);
    jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xffff);
    jpeg_read_header(&cinfo, TRUE);
    job.orientation = exifOrientation(cinfo.marker_list);
    job.uprightSize = job.orientation >= 5 ? QSize(int(cinfo.image_height), int(cinfo.image_width))
                                           : QSize(int(cinfo.image_width), int(cinfo.image_height));
}

// Reads the profile, checks the size and sets up the colours; false when
// the picture is refused.
bool prepareColours(Decoder &job, const QByteArray &bytes)
{
    jpeg_decompress_struct &cinfo = job.cinfo;
    JOCTET *icc = nullptr;
    unsigned int iccLength = 0;
    if (jpeg_read_icc_profile(&cinfo, &icc, &iccLength)) {
        job.profile = QByteArray(reinterpret_cast<const char *>(icc), qsizetype(iccLength));
        std::free(icc);
    }
    if (!sizeAllowed(cinfo.image_width, cinfo.image_height) ||
        !plausibleSize(cinfo.image_width, cinfo.image_height, bytes.size())) {
        job.refusal = QStringLiteral("picture too large");
        return false;
    }
    job.cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    // Adobe writes inverted CMYK; others write it plain.
    job.inverted = cinfo.saw_Adobe_marker;
    job.layout = job.cmyk ? (job.inverted ? PixelLayout::CmykInverted : PixelLayout::Cmyk)
                          : cinfo.num_components == 1 ? PixelLayout::Grey : PixelLayout::Rgb;
    job.converter = ToSrgb::from(job.profile, job.layout);
    // CMYK with a profile is converted through it afterwards; without one,
    // row by row as libjpeg's own tools do.
    job.cmykByProfile = job.cmyk && job.converter;
    cinfo.out_color_space = job.cmyk ? JCS_CMYK : JCS_EXT_BGRX;
    cinfo.dct_method = JDCT_ISLOW;
    // Block smoothing guesses the coefficients a progressive file left
    // coarse from the neighbouring blocks, and a part's first column has
    // none to its left: left out, a part's pixels are the whole's. Files
    // with every scan complete are decoded the same either way.
    cinfo.do_block_smoothing = FALSE;
    return true;
}

// Starts the decode at the plan's scale and moves to the part asked for:
// the columns cropped, the rows above skipped (their data still decoded,
// so that damage there is seen). Sets what the picture's rows are.
void startPart(Decoder &job)
{
    jpeg_decompress_struct &cinfo = job.cinfo;
    const DecodePlan plan = job.plan ? job.plan(job.uprightSize) : DecodePlan{};
    const int d = plan.reduction >= 8 ? 8 : plan.reduction >= 4 ? 4 : plan.reduction >= 2 ? 2 : 1;
    cinfo.scale_num = 1;
    cinfo.scale_denom = unsigned(d);
    jpeg_start_decompress(&cinfo);
    const JpegWindow window =
        jpegWindow(QSize(int(cinfo.image_width), int(cinfo.image_height)), job.orientation, plan.region, d,
                   QSize(int(cinfo.output_width), int(cinfo.output_height)),
                   QSize(cinfo.max_h_samp_factor * cinfo.min_DCT_scaled_size,
                         cinfo.max_v_samp_factor * cinfo.min_DCT_scaled_size));
    JDIMENSION x0 = JDIMENSION(window.x0);
    JDIMENSION cropWidth = JDIMENSION(window.width);
    job.lastRow = window.lastRow;
    if (!window.whole) {
        jpeg_crop_scanline(&cinfo, &x0, &cropWidth);
        if (window.y0 > 0)
            jpeg_skip_scanlines(&cinfo, JDIMENSION(window.y0));
    }
    job.firstRow = int(cinfo.output_scanline);
    job.cut = window.out.translated(-int(x0), -window.y0);
    job.region = window.region;
}

// The picture's memory and the helpers that fill it; false when memory ran out.
bool allocatePart(Decoder &job)
{
    try {
        job.image = allocateImage(int(job.cinfo.output_width), job.lastRow - job.firstRow);
        job.spare.resize(std::size_t(job.cinfo.output_width) * 4);
    } catch (const std::bad_alloc &) {
        job.outOfMemory = true;
        job.refusal = QStringLiteral("out of memory");
        return false;
    }
    if (job.converter && !job.cmykByProfile && job.work.mayHelp()) {
        // Converted on a helper thread behind the decoder.
        job.toSrgb.emplace(job.image, *job.converter);
        job.warm.emplace(job.image, job.work, [&job] { job.toSrgb->work(); });
    } else {
        job.warm.emplace(job.image, job.work);
    }
    return true;
}

// CMYK samples, plain or inverted, to RGB in place, rounded as libjpeg's
// tools convert.
void cmykToRgb(JSAMPROW row, int width, bool inverted)
{
    auto *px = reinterpret_cast<QRgb *>(row);
    for (int x = width - 1; x >= 0; --x) {
        int c = row[4 * x], m = row[4 * x + 1], y = row[4 * x + 2], k = row[4 * x + 3];
        if (!inverted)
            c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
        px[x] = qRgb((c * k + 127) / 255, (m * k + 127) / 255, (y * k + 127) / 255);
    }
}

// Decodes the picture's rows; stops at the first damage.
void readPart(Decoder &job)
{
    jpeg_decompress_struct &cinfo = job.cinfo;
    while (int(cinfo.output_scanline) < job.lastRow && !job.err.damaged) {
        JSAMPROW row = job.image.scanLine(int(cinfo.output_scanline) - job.firstRow);
        if (jpeg_read_scanlines(&cinfo, &row, 1) != 1)
            break;
        if (job.cmyk && !job.cmykByProfile)
            cmykToRgb(row, int(cinfo.output_width), job.inverted);
        if (job.toSrgb && (int(cinfo.output_scanline) - job.firstRow) % 16 == 0)
            job.toSrgb->filled(int(cinfo.output_scanline) - job.firstRow);
    }
}

// Reads the data of the rows below the part, as the whole decode does, so
// that damage or missing data there refuses the part as it refuses the
// whole: their entropy-coded data is decoded, and only the last row's
// pixels (skipping to the very end would not read the data).
void checkRowsBelow(Decoder &job)
{
    jpeg_decompress_struct &cinfo = job.cinfo;
    const JDIMENSION last = cinfo.output_height - 1;
    if (cinfo.output_scanline >= cinfo.output_height || job.err.damaged)
        return;
    if (cinfo.output_scanline < last)
        jpeg_skip_scanlines(&cinfo, last - cinfo.output_scanline);
    JSAMPROW row = job.spare.data();
    jpeg_read_scanlines(&cinfo, &row, 1);
}

void discardImage(Decoder &job, const QString &why)
{
    job.refusal = why;
    if (job.toSrgb)
        job.toSrgb->stop();
    job.warm.reset();
    job.image = QImage();
}

void run(Decoder &job, const QByteArray &bytes)
{
    jpeg_decompress_struct &cinfo = job.cinfo;
    cinfo.err = jpeg_std_error(&job.err.pub);
    job.err.pub.error_exit = onError;
    job.err.pub.emit_message = onMessage;
    if (setjmp(job.err.jump)) {
        discardImage(job, job.refusal.isEmpty() ? QString::fromLocal8Bit(job.err.text) : job.refusal);
        return;
    }
    readHeader(job, bytes);
    if (job.headerOnly || !prepareColours(job, bytes))
        return;
    startPart(job);
    if (!allocatePart(job))
        return;
    readPart(job);
    if (int(cinfo.output_scanline) < job.lastRow && !job.err.damaged)
        return discardImage(job, QStringLiteral("data ends early"));
    checkRowsBelow(job);
    // Asked before finishing, which releases what the answer is read from;
    // the missing end may only be found while finishing.
    const bool complete = scansComplete(cinfo, bytes);
    if (!job.err.damaged)
        jpeg_finish_decompress(&cinfo);
    if (job.err.damaged || (job.err.endMissing && !complete))
        return discardImage(job, job.err.damaged ? QString::fromLocal8Bit(job.err.text) : QStringLiteral("scans missing"));
    finishConversion(job);
}

} // namespace

Made<Decoded> decodeJpeg(const QByteArray &bytes, const std::function<DecodePlan(QSize)> &plan, const Work &work,
                          const std::atomic<bool> *stop)
{
    Decoder job;
    job.stop = stop;
    job.plan = plan;
    job.work = work;
    run(job, bytes);
    jpeg_destroy_decompress(&job.cinfo);
    if (job.outOfMemory)
        return failure(Fault::memory());
    if (job.image.isNull())
        return failure(Fault::content(job.refusal.isEmpty() ? QStringLiteral("cannot decode") : job.refusal));
    // The part asked for shares the decoded pixels, margin and all.
    Surface decoded;
    decoded.setPicture(job.image);
    const QImage kept = decoded.block(job.cut.x(), job.cut.y(), job.cut.width(), job.cut.height());
    return Decoded{upright(kept, job.orientation), job.region, job.uprightSize};
}

Made<QSize> jpegSize(const QByteArray &bytes)
{
    Decoder job;
    job.headerOnly = true;
    run(job, bytes);
    jpeg_destroy_decompress(&job.cinfo);
    if (!job.refusal.isEmpty() || !job.uprightSize.isValid())
        return failure(Fault::content(job.refusal.isEmpty() ? QStringLiteral("cannot read the header") : job.refusal));
    return job.uprightSize;
}

} // namespace pv

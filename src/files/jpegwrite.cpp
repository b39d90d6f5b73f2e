#include "files/jpegwrite.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <jpeglib.h>

namespace pv {

namespace {

struct EncoderError {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

[[noreturn]] void onJpegError(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<EncoderError *>(cinfo->err)->jump, 1);
}

// Everything the encoder touches lives here, so that nothing depends on
// locals after a longjmp.
struct Encoder {
    jpeg_compress_struct cinfo{};
    EncoderError err{};
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
};

void setUp(jpeg_compress_struct &c, const QImage &pixels, const JpegSettings &s)
{
    c.image_width = JDIMENSION(pixels.width());
    c.image_height = JDIMENSION(pixels.height());
    c.input_components = 4;
    c.in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, s.quality, TRUE);
    c.optimize_coding = TRUE;
    // Luma at full resolution; chroma halved both ways unless kept whole.
    c.comp_info[0].h_samp_factor = c.comp_info[0].v_samp_factor = s.fullChroma ? 1 : 2;
    if (s.progressive)
        jpeg_simple_progression(&c);
}

bool encode(Encoder &encoder, const QImage &pixels, const JpegSettings &s)
{
    jpeg_compress_struct &c = encoder.cinfo;
    c.err = jpeg_std_error(&encoder.err.pub);
    encoder.err.pub.error_exit = onJpegError;
    if (setjmp(encoder.err.jump))
        return false;
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, &encoder.buffer, &encoder.size);
    setUp(c, pixels, s);
    jpeg_start_compress(&c, TRUE);
    if (!s.exif.isEmpty() && s.exif.size() <= 65533)
        jpeg_write_marker(&c, JPEG_APP0 + 1, reinterpret_cast<const JOCTET *>(s.exif.constData()),
                          unsigned(s.exif.size()));
    if (!s.icc.isEmpty())
        jpeg_write_icc_profile(&c, reinterpret_cast<const JOCTET *>(s.icc.constData()), unsigned(s.icc.size()));
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels.constScanLine(int(c.next_scanline)));
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    return true;
}

} // namespace

QByteArray encodeJpeg(const QImage &pixels, const JpegSettings &settings)
{
    Encoder encoder;
    const bool ok = encode(encoder, pixels, settings);
    jpeg_destroy_compress(&encoder.cinfo);
    QByteArray bytes;
    if (ok)
        bytes = QByteArray(reinterpret_cast<const char *>(encoder.buffer), qsizetype(encoder.size));
    std::free(encoder.buffer);
    return bytes;
}

} // namespace pv

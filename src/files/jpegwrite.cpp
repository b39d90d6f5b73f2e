#include "files/jpegwrite.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <jpeglib.h>
#include <optional>

// Exported by libjpeg (jpegtran's optimiser uses it) but declared only in its
// private jchuff.h: the Huffman table of the given symbol frequencies.
extern "C" void jpeg_gen_optimal_table(j_compress_ptr cinfo, JHUFF_TBL *htbl, long freq[]);

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
    bool destination = false; // jpeg_mem_dest has set up `buffer`
};

// Huffman tables fitted to a picture (luma's and chroma's, DC and AC).
struct Tables {
    JHUFF_TBL dc[2];
    JHUFF_TBL ac[2];
};

void setUp(jpeg_compress_struct &c, QSize size, const JpegSettings &s)
{
    c.image_width = JDIMENSION(size.width());
    c.image_height = JDIMENSION(size.height());
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

// Has libjpeg's errors return to the setjmp of the caller's frame.
void catchErrors(Encoder &encoder)
{
    encoder.cinfo.err = jpeg_std_error(&encoder.err.pub);
    encoder.err.pub.error_exit = onJpegError;
}

// Starts a compression of a picture of `size` into the encoder's buffer.
void begin(Encoder &encoder, QSize size, const JpegSettings &s)
{
    jpeg_create_compress(&encoder.cinfo);
    jpeg_mem_dest(&encoder.cinfo, &encoder.buffer, &encoder.size);
    encoder.destination = true;
    setUp(encoder.cinfo, size, s);
}

// libjpeg's memory destination tells the block it writes to only when the
// encode ends well, and frees each block it outgrows: after a failure this
// has it tell the current one, so that the caller frees that and no other.
void takeBuffer(Encoder &encoder)
{
    if (encoder.destination)
        encoder.cinfo.dest->term_destination(&encoder.cinfo);
}

// Gives every symbol a baseline file can hold a code, keeping the lengths
// `t` gives the others: a symbol the sample lacked may still occur in the
// picture, and libjpeg-turbo writes one without a code as nothing at all,
// leaving a damaged file.
void coverEverySymbol(j_compress_ptr c, JHUFF_TBL &t, bool dc)
{
    long freq[257] = {};
    for (int length = 1, k = 0; length <= 16; ++length)
        for (int i = 0; i < t.bits[length]; ++i)
            freq[t.huffval[k++]] = 1L << (16 - length);
    const auto atLeastOnce = [&](int symbol) { freq[symbol] = std::max(freq[symbol], 1L); };
    if (dc) {
        for (int size = 0; size <= 11; ++size)
            atLeastOnce(size);
    } else {
        atLeastOnce(0x00); // end of block
        atLeastOnce(0xf0); // sixteen zeros
        for (int run = 0; run < 16; ++run)
            for (int size = 1; size <= 10; ++size)
                atLeastOnce(run << 4 | size);
    }
    jpeg_gen_optimal_table(c, &t, freq);
}

// The blocks the tables are fitted to: from each row of blocks (a band of
// `band` rows) one of `every` stretches of `width` columns, the next one in the
// next band, so that every part of the picture's height and width is
// sampled alike. Never when the picture is too small for a sample to pay.
struct Sample {
    int band = 16;
    int every = 1;
    int width = 0;
    [[nodiscard]] const uchar *row(const QImage &pixels, int y) const
    {
        return pixels.constScanLine(y) + std::size_t(y / band % every) * std::size_t(width) * 4;
    }
};

Sample sampleOf(QSize size, const JpegSettings &s)
{
    Sample sample;
    sample.band = s.fullChroma ? 8 : 16;
    // An eighth of the blocks, in stretches at least four blocks wide, from
    // pictures of half a million pixels up.
    if (s.progressive || qint64(size.width()) * size.height() < (1 << 19))
        return sample;
    sample.every = std::clamp(size.width() / (4 * sample.band), 1, 8);
    sample.width = size.width() / sample.every / sample.band * sample.band;
    return sample;
}

// Encodes the sample with tables fitted to it, and copies them to `tables`;
// false when libjpeg fails.
bool fitTables(Encoder &encoder, const QImage &pixels, const JpegSettings &s, const Sample &sample, Tables &tables)
{
    jpeg_compress_struct &c = encoder.cinfo;
    catchErrors(encoder);
    if (setjmp(encoder.err.jump))
        return false;
    begin(encoder, QSize(sample.width, pixels.height()), s);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(sample.row(pixels, int(c.next_scanline)));
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    for (int i = 0; i < 2; ++i) {
        tables.dc[i] = *c.dc_huff_tbl_ptrs[i];
        tables.ac[i] = *c.ac_huff_tbl_ptrs[i];
    }
    return true;
}

// libjpeg fits the tables in a pass over every block that costs as much
// again as the encode and holds all the picture's coefficients meanwhile.
// Fitted to a sample of whole blocks instead, each exactly as the picture's
// own, they come within a fraction of a per cent of that. The pixels are
// the same either way. Progressive files keep libjpeg's own fitting, per
// scan.
std::optional<Tables> sampledTables(const QImage &pixels, const JpegSettings &s)
{
    const Sample sample = sampleOf(pixels.size(), s);
    if (sample.every < 2)
        return std::nullopt;
    Encoder encoder;
    Tables tables;
    const bool ok = fitTables(encoder, pixels, s, sample, tables);
    if (!ok)
        takeBuffer(encoder);
    jpeg_destroy_compress(&encoder.cinfo);
    std::free(encoder.buffer);
    return ok ? std::optional<Tables>(tables) : std::nullopt;
}

// Encodes with `tables`, each given a code for every symbol first.
void useTables(jpeg_compress_struct &c, Tables &tables)
{
    c.optimize_coding = FALSE;
    for (int i = 0; i < 2; ++i) {
        coverEverySymbol(&c, tables.dc[i], true);
        coverEverySymbol(&c, tables.ac[i], false);
        *c.dc_huff_tbl_ptrs[i] = tables.dc[i];
        *c.ac_huff_tbl_ptrs[i] = tables.ac[i];
        c.dc_huff_tbl_ptrs[i]->sent_table = FALSE;
        c.ac_huff_tbl_ptrs[i]->sent_table = FALSE;
    }
}

bool encode(Encoder &encoder, const QImage &pixels, const JpegSettings &s, std::optional<Tables> &tables)
{
    jpeg_compress_struct &c = encoder.cinfo;
    catchErrors(encoder);
    if (setjmp(encoder.err.jump))
        return false;
    begin(encoder, pixels.size(), s);
    if (tables)
        useTables(c, *tables);
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
    std::optional<Tables> tables = sampledTables(pixels, settings);
    // The file is written straight into the array handed back, sized for a
    // byte a pixel (a photo at the highest quality takes about half that)
    // and touched only as far as it is filled; libjpeg moves it to a
    // larger block of its own only when it needs more.
    QByteArray bytes(qsizetype(pixels.width()) * pixels.height() + settings.exif.size() + settings.icc.size() + 65536,
                     Qt::Uninitialized);
    auto *const ours = reinterpret_cast<unsigned char *>(bytes.data());
    Encoder encoder;
    encoder.buffer = ours;
    encoder.size = static_cast<unsigned long>(bytes.size());
    const bool ok = encode(encoder, pixels, settings, tables);
    if (!ok)
        takeBuffer(encoder);
    jpeg_destroy_compress(&encoder.cinfo);
    if (encoder.buffer == ours) {
        bytes.truncate(qsizetype(encoder.size));
        bytes.squeeze(); // gives back the unused end in place
        return ok ? bytes : QByteArray();
    }
    QByteArray moved;
    if (ok)
        moved = QByteArray(reinterpret_cast<const char *>(encoder.buffer), qsizetype(encoder.size));
    std::free(encoder.buffer);
    return moved;
}

} // namespace pv

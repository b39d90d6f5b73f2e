#pragma once
// Pictures and files the tests make themselves, by routes independent of
// the program's decoders, and pixel comparisons that name the first
// difference.

#include "surfaces/surface.h"

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QTest>

#include <optional>

namespace testimages {

// Every pixel differs from its neighbours; blue stays below 128, so no pixel
// matches the preview's grey background.
QImage pattern(int w, int h);
// A smooth colour photo-like picture.
QImage photo(int w, int h);
// The hardest content for a reduction: hard-edged blocks of strong colour,
// one-pixel lines and a fine checkerboard, over the smooth picture.
QImage hardEdges(int w, int h);
// Empty when equal, else where the first pixel differs.
QString firstDifference(const QImage &actual, const QImage &expected);

// How far two pictures of one size are apart, over every channel of every
// pixel: the mean and the largest absolute difference.
struct Distance {
    double mean = 0;
    int worst = 0;
};
Distance distance(const QImage &a, const QImage &b);
// The mean grey level of a picture.
double meanLuma(const QImage &image);

// A surface of the picture's size holding it, over `background`.
pv::Surface surfaceOf(const QImage &image, QRgb background = 0xff0a0b0c);

// BMP files. bits 1, 4, 8 use a palette of the picture's colours (at most
// 2^bits of them, in order of appearance); 16 is 5-5-5.
QByteArray bmp(const QImage &image, int bits, bool topDown = false);
// An 8-bit RLE BMP of w x h from raw RLE data and a palette.
QByteArray bmpRle(int w, int h, int bits, const QList<QRgb> &palette, const QByteArray &rle);

// A 32-bit BMP with a V5 header and bit fields; alphaMask declares the
// fourth byte as alpha; icc embeds a colour profile after the pixels.
QByteArray bmpV5(const QImage &image, bool alphaMask, const QByteArray &icc = QByteArray());

// JPEG through libjpeg. colours: 3 (YCbCr), 1 (grey) or 4 (inverted CMYK, as
// Adobe writes it: C' = red, M' = green, Y' = blue, K' = the pixel's alpha,
// so an opaque picture has no black). icc embeds a colour profile.
// bitsPerScan > 0, for grey: 1 + 63 * (bitsPerScan + 1) scans, each AC
// coefficient alone, one bit a scan.
QByteArray jpeg(const QImage &image, int quality = 95, bool progressive = false, int colours = 3,
                const QByteArray &icc = QByteArray(), int bitsPerScan = 0);
// A YCbCr JPEG (or grey, with h = v = 0) with luma sampled h x v times the
// chroma (2 x 2 is 4:2:0, 2 x 1 4:2:2, 1 x 2 4:4:0, 4 x 1 4:1:1, 1 x 1
// 4:4:4), progressive or not, with a restart marker every `restartRows`
// MCU rows.
QByteArray jpegLayout(const QImage &image, int h, int v, bool progressive = false, int restartRows = 0);
// A CMYK JPEG decoded by libjpeg and turned into RGB the way libjpeg's own
// tools do it: round(c * k / 255) of the inverted values.
QImage cmykAsLibjpegConverts(const QByteArray &jpeg);

// ICC profiles made with Little CMS, and pictures in their colours.
// SrgbTabulated is sRGB as HP's v2 profile writes it (its colorants, the
// curve as a table of 1024 entries); SrgbRounded has colorants rounded to
// four places and the parametric curve, as v4 profiles write it;
// SrgbGamma22 has sRGB's colorants and a plain 2.2 curve, which is not sRGB.
// DisplayP3 is P3's primaries with D65 white and sRGB's curve, as phones
// use it.
enum class Profile { Srgb, AdobeRgb, SwappedRedGreen, SrgbTabulated, SrgbRounded, SrgbGamma22, DisplayP3 };
QByteArray iccProfile(Profile which);
// An sRGB picture converted to the colours of `icc`.
QImage inProfile(const QImage &srgb, const QByteArray &icc);
// Inserts an EXIF APP1 carrying an orientation right after the SOI marker.
QByteArray withExifOrientation(const QByteArray &jpeg, int orientation);

// Inserts the metadata a phone's photo carries, right after the SOI marker:
// with `exif`, an EXIF APP1 with Artist "Jane Doe", Copyright "(c) Jane
// Doe", DateTimeOriginal "2024:05:06 07:08:09", Make "PhoneMaker", Model
// "ModelX9", a MakerNote "SECRETNOTE" and a GPS position (latitude ref
// "N"); with `xmp`, an XMP APP1 whose dc:creator is "Xmp Creator" and
// dc:rights "Xmp Rights".
QByteArray withPhotoMetadata(const QByteArray &jpeg, bool exif, bool xmp);

// A lossless JPEG XL made with libjxl's encoder: 8-bit RGB, sRGB unless
// icc is given; frames > 1 makes an animation whose later frames are the
// picture's negative.
QByteArray jxl(const QImage &image, const QByteArray &icc = QByteArray(), int frames = 1);

// A GIF of the picture's colours (at most 256). transparentIndex marks one
// palette entry transparent; frames > 1 adds further, different frames.
QByteArray gif(const QImage &image, int transparentIndex = -1, int frames = 1, bool interlaced = false);

// A PNG written here, byte by byte: colourType 0 grey, 2 RGB, 4 grey and
// alpha, 6 RGBA, at 8 or 16 bits a channel (16-bit samples repeat the
// 8-bit value in both bytes, plus `low` in the low byte). transparent, for
// grey and RGB, is the tRNS colour (8-bit values, repeated likewise).
QByteArray png(const QImage &image, int colourType, int bits, std::optional<QRgb> transparent = std::nullopt,
               int low = 0);

// A HEIF file made with libheif's own encoders: HEVC (HEIC) or, with avif,
// AV1. bits 8, 10 or 12 (the 8-bit values scaled up, plus `low` in the
// extra bits); orientation 1 to 8 is written as irot and imir; a size
// that is not a multiple of the codec's blocks gets a clap crop; icc is
// stored as a colr profile, primaries > 0 as an nclx description with
// them (and the sRGB transfer) or transfer > 0 with that transfer.
// chroma444 asks the HEVC encoder for 4:4:4. A valid thumbnail adds one
// of that size (before the orientation), the picture scaled smoothly.
struct HeifOptions {
    bool avif = false;
    int bits = 8;
    int low = 0;
    int orientation = 1;
    bool alpha = false;
    QByteArray icc;
    int primaries = 0;
    int transfer = 0;
    bool lossless = true;
    bool chroma444 = false; // else 4:2:0
    QSize thumbnail;
};
QByteArray heif(const QImage &image, const HeifOptions &options = {});
// A 64 x 48 HEIC on which the stand-in decoder (tests/decoderstandin.cpp,
// at PIXELVANE_STAND_IN) misbehaves as a broken decoder would: behaviour
// is "abort", "leak" (without bound), "spin" or "sleep" (for ever). The real
// decoder opens it.
QByteArray misbehaving(const QByteArray &behaviour);

// ISO base media boxes, as HEIF files are made of.
QByteArray isoBox(const char *type, const QByteArray &content);
QByteArray isoFullBox(const char *type, int version, quint32 flags, const QByteArray &content);
// A HEIF file taken apart into its items, to be put together otherwise.
struct HeifItem {
    quint32 id = 0;
    QByteArray type;
    QByteArray data;              // in mdat
    QList<QByteArray> properties; // whole boxes, in the order ipma lists them
    QList<quint32> derivedFrom;   // dimg
    QList<quint32> auxiliaryOf;   // auxl
};
struct HeifParts {
    QByteArray brand; // heic or avif
    quint32 primary = 0;
    QByteArray pitm;  // written in place of the right one, unless null
    QList<HeifItem> items;
    HeifItem *item(quint32 id);
};
// The parts of a file libheif wrote, and a file of parts.
HeifParts heifParts(const QByteArray &file);
QByteArray heifFile(const HeifParts &parts);
// A grid's description: columns x rows tiles making w x h.
QByteArray heifGridData(int columns, int rows, int w, int h);
// The picture made by heif(), then rebuilt by the recipe's steps, in order:
// rN, mN, cWxH put irot N, imir N, and a centred clap of W x H before the
// primary's ispe; idenN puts N identities over it; gridCxR=WxH makes it a
// grid of C x R of it declaring W x H; overlay makes it an overlay;
// tile-deep, tile-alpha, tile-444 make it the first of two tiles side by
// side, the second encoded with 10 bits, alpha, or the other chroma;
// ispeWxH declares the primary W x H; short-pitm cuts the pitm box short.
QByteArray craftedHeif(const QImage &picture, const HeifOptions &options, const QString &recipe);

bool writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);

} // namespace testimages

// Fails the test with the first differing pixel.
#define VERIFY_SAME_PIXELS(actual, expected)                                                     \
    do {                                                                                         \
        const QString diff_ = testimages::firstDifference((actual), (expected));                 \
        QVERIFY2(diff_.isEmpty(), qPrintable(diff_));                                            \
    } while (false)

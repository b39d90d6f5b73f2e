#pragma once
// Pictures and files the tests make themselves, by routes independent of
// the program's decoders, and pixel comparisons that name the first
// difference.

#include <QByteArray>
#include <QImage>
#include <QString>

namespace testimages {

// Every pixel differs from its neighbours; blue stays below 128, so no pixel
// matches the preview's grey background.
QImage pattern(int w, int h);
// A smooth colour photo-like picture.
QImage photo(int w, int h);
// Empty when equal, else where the first pixel differs.
QString firstDifference(const QImage &actual, const QImage &expected);

// BMP files. bits 1, 4, 8 use a palette of the picture's colours (at most
// 2^bits of them, in order of appearance); 16 is 5-5-5.
QByteArray bmp(const QImage &image, int bits, bool topDown = false);
// An 8-bit RLE BMP of w x h from raw RLE data and a palette.
QByteArray bmpRle(int w, int h, int bits, const QList<QRgb> &palette, const QByteArray &rle);

// JPEG through libjpeg. colours: 3 (YCbCr), 1 (grey) or 4 (inverted CMYK, as
// Adobe writes it, with the CMYK values given by cmyk()).
QByteArray jpeg(const QImage &image, int quality = 95, bool progressive = false, int colours = 3);
// Inserts an EXIF APP1 carrying an orientation right after the SOI marker.
QByteArray withExifOrientation(const QByteArray &jpeg, int orientation);

// A GIF of the picture's colours (at most 256). transparentIndex marks one
// palette entry transparent; frames > 1 adds further, different frames.
QByteArray gif(const QImage &image, int transparentIndex = -1, int frames = 1, bool interlaced = false);

bool writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);

} // namespace testimages

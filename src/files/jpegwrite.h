#pragma once
// The JPEG encoder: libjpeg-turbo, always with Huffman tables optimised for
// the picture (the same pixels as the standard tables, a smaller file);
// a large picture's are fitted to a sample of its blocks.

#include <QByteArray>
#include <QImage>

namespace pv {

struct JpegSettings {
    int quality = 90;         // 1 to 100
    bool progressive = false; // libjpeg's standard progressive script
    bool fullChroma = false;  // 4:4:4; else 4:2:0
    QByteArray exif;          // an APP1 payload ("Exif\0\0" and TIFF), or nothing
    QByteArray icc;           // an ICC profile for APP2, or nothing
};

// An RGB32 picture as a JPEG file in memory; empty when it cannot be made.
[[nodiscard]] QByteArray encodeJpeg(const QImage &pixels, const JpegSettings &settings);

} // namespace pv

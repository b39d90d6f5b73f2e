#pragma once
// The JPEG XL encoder: libjxl, on the calling thread.

#include <QByteArray>
#include <QImage>

namespace pv {

struct JxlSettings {
    int quality = 90;      // 1 to 100, mapped to a distance by jxlDistance
    bool lossless = false; // every pixel kept exactly
    QByteArray exif;       // "Exif\0\0" and TIFF, stored as an Exif box, or nothing
    QByteArray icc;        // the pixels' colours; sRGB when empty
};

// libjxl's butteraugli distance for a quality, as its own tools map it:
// 0.1 + (100 - q) * 0.09 from 30 up (100 gives 0.1), and
// 53/3000 q^2 - 23/20 q + 25 below, held to libjxl's largest distance, 15.
[[nodiscard]] float jxlDistance(int quality);

// The effort the encoder spends: 3 of libjxl's 1 to 9, which keeps a
// 1200 x 1200 picture well under a second on one core.
inline constexpr int kJxlEffort = 3;

// An RGB32 picture as a JPEG XL file in memory; empty when it cannot be made.
[[nodiscard]] QByteArray encodeJxl(const QImage &pixels, const JxlSettings &settings);

} // namespace pv

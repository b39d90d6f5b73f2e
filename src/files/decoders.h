#pragma once
// The format decoders behind openPicture. Each gives RGB32, or ARGB32 where
// the file has transparency, converted to sRGB and upright; openPicture
// lays transparency over the background.

#include "files/picture.h"
#include "surfaces/fault.h"
#include "surfaces/work.h"

#include <QByteArray>
#include <QImage>

#include <atomic>
#include <functional>
#include <optional>

class QIODevice;

namespace pv {

struct Decoded {
    QImage image;
    QRect region;  // of the full upright picture; the whole when null
    QSize fullSize; // the full upright picture's, where region is not null
};

[[nodiscard]] Made<QImage> decodeBmp(const QByteArray &bytes, const Work &work);
// An uncompressed BMP decoded while it is read, without holding the file,
// and only the rows of the plan's region (all of them where the header
// declares an alpha mask: whether any pixel uses it decides how every
// pixel opens); nothing when the file must be decoded whole instead (RLE).
[[nodiscard]] std::optional<Made<Decoded>> decodeBmpStream(QIODevice &file, qint64 fileSize, const Work &work,
                                                           const std::function<DecodePlan(QSize)> &plan);

// `plan(size)` for the upright size tells what to decode: libjpeg-turbo's
// scaled decoding makes the picture the reduction's times smaller (its
// pixels differ from a full decode's reduced afterwards), and only the rows
// and columns of the region are decoded, with a margin, so that its pixels
// are exactly those of a whole decode cut to it. The region decoded (in
// the full upright picture's pixels) covers the one asked for.
// A file of more than kMaxJpegScans scans is refused (real files have a
// few dozen at most; thousands of empty ones take minutes to decode), and
// so is one whose decode `stop` ends.
inline constexpr int kMaxJpegScans = 500;
[[nodiscard]] Made<Decoded> decodeJpeg(const QByteArray &bytes, const std::function<DecodePlan(QSize)> &plan,
                                       const Work &work, const std::atomic<bool> *stop = nullptr);
// What a JPEG decode at 1/d reads of a picture stored `stored` and turned
// by its EXIF `orientation` for the part `region` of the upright picture
// (null: all of it; cut to the picture). `output` is the stored picture's
// size at 1/d, `margin` an iMCU at 1/d: upsampling reads the chroma samples
// around a pixel, so an iMCU more on each side is decoded wherever the
// picture goes on, and the part's pixels are then those of a whole decode.
struct JpegWindow {
    QRect out;         // the part, in output pixels of the stored picture
    bool whole = true; // the part is all of the output
    int x0 = 0;        // the first column decoded (libjpeg moves it back to an iMCU's)
    int width = 0;     // the columns decoded from x0
    int y0 = 0;        // the first row decoded
    int lastRow = 0;   // the row after the last decoded
    QRect region;      // what `out` stands for, in the full upright picture's pixels
};
[[nodiscard]] JpegWindow jpegWindow(QSize stored, int orientation, QRect region, int d, QSize output, QSize margin);
// The size of a JPEG as it would open (turned by its EXIF orientation),
// from its header alone.
[[nodiscard]] Made<QSize> jpegSize(const QByteArray &bytes);

[[nodiscard]] Made<QImage> decodeGif(const QByteArray &bytes);

[[nodiscard]] Made<QImage> decodePng(const QByteArray &bytes, const Work &work);

// HEIF (HEIC) and AVIF: told by the ftyp box's brands.
[[nodiscard]] bool isHeif(const QByteArray &bytes);
// With a valid `least`, a thumbnail of the primary image (heifboxes.h)
// at least that size stands in for it: decoded with its own
// transformations and the primary image's colours, it is the whole
// picture made smaller. The primary image is decoded where none is.
[[nodiscard]] Made<QImage> decodeHeif(const QByteArray &bytes, const Work &work, QSize least = QSize());
// The size the primary image opens at, from the file's boxes alone.
[[nodiscard]] Made<QSize> heifSize(QIODevice &file);
// The memory its decode takes at its peak, from the boxes alone.
[[nodiscard]] Made<qint64> heifDecodeBytes(QIODevice &file);

// Lays `image`'s transparent pixels over the background into `out`, an
// RGB32 image of its size; opaque pixels are copied. A transparent
// background (alpha 0) keeps them: `out` is then premultiplied ARGB32.
void flattenInto(const QImage &image, QRgb background, QImage &out);

// Any other format the installed Qt image plugins read; BMP, JPEG, GIF and
// PNG are refused, their own decoders being stricter.
[[nodiscard]] Made<QImage> decodeWithQt(const QByteArray &bytes, const Work &work);

// JPEG XL, bare codestream or container: told by its signature.
[[nodiscard]] bool isJxl(const QByteArray &bytes);
[[nodiscard]] Made<QImage> decodeJxl(const QByteArray &bytes, const Work &work);
// The size a JPEG XL opens at, from the start of the file.
[[nodiscard]] Made<QSize> jxlSize(const QByteArray &head);

} // namespace pv

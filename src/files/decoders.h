#pragma once
// The format decoders behind openPicture. Each gives RGB32, or ARGB32 where
// the file has transparency, converted to sRGB and upright; openPicture
// lays transparency over the background.

#include "surfaces/fault.h"
#include "surfaces/work.h"

#include <QByteArray>
#include <QImage>

#include <atomic>
#include <functional>
#include <optional>

class QIODevice;

namespace pv {

[[nodiscard]] Made<QImage> decodeBmp(const QByteArray &bytes, const Work &work);
// An uncompressed BMP decoded while it is read, without holding the file;
// nothing when the file must be decoded whole instead (RLE).
[[nodiscard]] std::optional<Made<QImage>> decodeBmpStream(QIODevice &file, qint64 fileSize, const Work &work);

// `reduction(size)` for the upright size gives the largest reduction (1, 2,
// 4 or 8) wanted; libjpeg-turbo's scaled decoding then makes the picture
// that many times smaller (its pixels differ from a full decode's reduced
// afterwards).
// A file of more than kMaxJpegScans scans is refused (real files have a
// few dozen at most; thousands of empty ones take minutes to decode), and
// so is one whose decode `stop` ends.
inline constexpr int kMaxJpegScans = 500;
[[nodiscard]] Made<QImage> decodeJpeg(const QByteArray &bytes, const std::function<int(QSize)> &reduction,
                                      const Work &work, const std::atomic<bool> *stop = nullptr);
// The size of a JPEG as it would open (turned by its EXIF orientation),
// from its header alone.
[[nodiscard]] Made<QSize> jpegSize(const QByteArray &bytes);

[[nodiscard]] Made<QImage> decodeGif(const QByteArray &bytes);

[[nodiscard]] Made<QImage> decodePng(const QByteArray &bytes, const Work &work);

// HEIF (HEIC) and AVIF: told by the ftyp box's brands.
[[nodiscard]] bool isHeif(const QByteArray &bytes);
[[nodiscard]] Made<QImage> decodeHeif(const QByteArray &bytes, const Work &work);
// The size the primary image opens at, from the file's boxes alone.
[[nodiscard]] Made<QSize> heifSize(QIODevice &file);

} // namespace pv

#pragma once
// Writing a picture: the one way both programs write files, always through
// AtomicFile.

#include "files/atomicfile.h"
#include "surfaces/fault.h"
#include "surfaces/work.h"

#include <QImage>
#include <QString>

namespace pv {

enum class ImageFormat { Bmp, Png, Jpeg, Webp, Avif };

// The extension a file of the format gets.
[[nodiscard]] QString extensionOf(ImageFormat format);
// The quality a lossy format is written at unless told: JPEG 90, WebP 80,
// AVIF 60.
[[nodiscard]] int defaultQuality(ImageFormat format);
// Whether the format can be written losslessly, every pixel exactly kept:
// WebP (libheif's AVIF moves some pixels by a level even so).
[[nodiscard]] bool canBeLossless(ImageFormat format);

struct WriteRequest {
    ImageFormat format = ImageFormat::Bmp;
    int quality = 90;    // JPEG, WebP, AVIF: 1 to 100
    bool lossless = false; // WebP: every pixel exactly kept
    bool replace = true; // false: a file that has the name by the time this
                         // one would be put in place is kept (Cause::Exists)
    Work work;
    // A link at the path: followed, as the window's user who chose it
    // means, or replaced itself, as a shared output folder needs.
    AtomicFile::Links links = AtomicFile::Links::Follow;
};

// Writes an RGB32 picture: BMP as the window saves it (24 bits, bottom-up),
// PNG (opaque), JPEG with libjpeg-turbo (4:2:0), WebP with libwebp, or
// AVIF with libheif's AV1 encoder (aom, at speed 8; tagged as sRGB by nclx
// 1/13/1). A picture with alpha (premultiplied ARGB32) keeps it in PNG,
// WebP and AVIF; BMP and JPEG are not given one. Only the pixels are written: no EXIF, no
// position, no thumbnail. An existing file is either replaced whole or left
// untouched.
[[nodiscard]] Made<void> writePicture(const QImage &pixels, const QString &path, const WriteRequest &request = {});

// Whether the regular file at `path` is what a power failure during an
// earlier write of the format can leave: empty, or beginning as the format
// does but not whole, as far as its length and ending tell (a BMP shorter
// than its header says, a PNG not ending in IEND, a JPEG not in its end
// marker). Any other file, a stranger's included, is not.
[[nodiscard]] bool looksCutShort(const QString &path, ImageFormat format);

} // namespace pv

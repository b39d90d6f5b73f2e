#pragma once
// Writing a picture: the one way both programs write files, always through
// AtomicFile.

#include "files/atomicfile.h"
#include "files/formats.h"
#include "surfaces/fault.h"
#include "surfaces/work.h"

#include <QImage>
#include <QString>

#include <optional>

namespace pv {


// The extension a file of the format gets.
[[nodiscard]] QString extensionOf(ImageFormat format);
// The quality a lossy format is written at unless told: JPEG 90, WebP 80,
// AVIF 60, JPEG XL 90.
[[nodiscard]] int defaultQuality(ImageFormat format);
// Whether the format can be written losslessly, every pixel exactly kept:
// WebP and JPEG XL (libheif's AVIF moves some pixels by a level even so).
[[nodiscard]] bool canBeLossless(ImageFormat format);

// The largest width and height a file of the format can hold: WebP 16383,
// JPEG 65500, AVIF 65536 (AV1's), BMP and PNG far beyond any picture's.
[[nodiscard]] int largestSide(ImageFormat format);
// Whether a picture of `size` can be written in the format; refused with
// the format's limit named when a side is beyond it.
[[nodiscard]] Made<void> formatHolds(ImageFormat format, QSize size);

struct WriteRequest {
    ImageFormat format = ImageFormat::Bmp;
    int quality = 90;    // JPEG, WebP, AVIF, JPEG XL: 1 to 100
    bool lossless = false; // WebP, JPEG XL: every pixel exactly kept
    bool replace = true; // false: a file that has the name by the time this
                         // one would be put in place is kept (Cause::Exists)
    Work work;
    // A link at the path: followed, as the window's user who chose it
    // means, or replaced itself, as a shared output folder needs.
    AtomicFile::Links links = AtomicFile::Links::Follow;
    // Set: the path is a name in this folder, a link there replaced itself.
    const OpenFolder *folder = nullptr;
    QByteArray record; // the file's record, without its "output" line (filerecord.h)
    std::optional<FileIdentity> replaceOnly; // see AtomicFile::replaceOnly
    bool progressive = false; // JPEG
    bool fullChroma = false;  // JPEG: 4:4:4 instead of 4:2:0
    // JPEG, WebP, AVIF, JPEG XL: when above 0, the file is the one of the
    // highest quality up to `quality` that takes at most this many bytes.
    qint64 maxBytes = 0;
    QByteArray exif = QByteArray(); // "Exif\0\0" and TIFF, written as the format keeps EXIF
    QByteArray icc = QByteArray(); // the profile of the pixels' colours; sRGB when empty
};

// The file a picture makes, in memory: the request's format, quality (or
// the highest that fits maxBytes) and metadata. Empty, with the reason
// given, when it cannot be made (`why`: "cannot encode the picture", or
// why no quality fits).
[[nodiscard]] QByteArray encodePicture(const QImage &pixels, const WriteRequest &request, QString *why = nullptr);

// Writes an RGB32 picture: BMP as the window saves it (24 bits, bottom-up),
// PNG (opaque), JPEG with libjpeg-turbo (optimised Huffman tables; 4:2:0
// or 4:4:4, progressive if asked), WebP with libwebp, AVIF with libheif's
// AV1 encoder (aom, at speed 8; tagged as sRGB by nclx 1/13/1), or JPEG XL
// with libjxl. A picture with alpha (premultiplied ARGB32) keeps it in PNG,
// WebP and AVIF; BMP and JPEG are not given one. Only the pixels and the
// request's EXIF and profile are written: never a position or a thumbnail.
// An existing file is either replaced whole or left untouched. A picture
// the format cannot hold is refused (formatHolds); an encoder that cannot
// have the memory it needs fails with Cause::Memory.
[[nodiscard]] Made<void> writePicture(const QImage &pixels, const QString &path, const WriteRequest &request = {});

} // namespace pv

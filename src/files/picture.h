#pragma once
// Opening picture files into one pixel format (opaque 32-bit RGB, sRGB,
// upright): the one way both programs open a file.

#include "files/filerecord.h"
#include "surfaces/fault.h"
#include "surfaces/work.h"

#include <QByteArray>
#include <QImage>
#include <QLoggingCategory>
#include <QRect>
#include <QSize>
#include <QString>

#include <atomic>
#include <functional>

namespace pv {

// Why a file was refused, at debug level; off unless asked for with
// QT_LOGGING_RULES="pixelvane.files.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcFiles)

// The largest side a picture may have: sizes are held in 16 bits.
inline constexpr int kMaxSide = 32767;

// Bytes a picture's pixels may take: a quarter of the machine's memory.
[[nodiscard]] qint64 pictureMemoryLimit();
// A picture of w x h fits the side limit and the memory limit.
[[nodiscard]] bool sizeAllowed(qint64 w, qint64 h);
// A compressed picture of w x h could really be held in dataBytes: no
// format the program decodes packs more than 4096 pixels into a byte, and
// up to 16 megapixels are always believed. This refuses a few bytes that
// claim an enormous picture before memory is spent on it.
[[nodiscard]] bool plausibleSize(qint64 w, qint64 h, qint64 dataBytes);

// What of a picture to decode: at most `reduction` (1, 2, 4 or 8) times
// smaller, and only `region` (of the full upright picture; null: all).
// Formats that cannot decode smaller or in part (all but JPEG, and BMP's
// rows) decode whole.
// With `least` set, a smaller picture the file stores (a HEIF's thumbnail)
// may stand in for the decode where it holds the region at least that
// large; it is then the whole picture made smaller.
struct DecodePlan {
    int reduction = 1;
    QRect region;
    QSize least;
};

// The bytes opening and working on a picture of `size` takes: the decoded
// picture, an edit's result as large, the writers' buffers, the file's
// bytes held while it is decoded and, where a child process decodes it
// (files/isolated.h), the decoder's own planes: up to 24 bytes a pixel,
// as libheif's for 16-bit samples with alpha.
[[nodiscard]] qint64 openingBytes(QSize size, qint64 fileBytes, bool decodedInChild);
// The same for a picture file, from its header; for a picture whose header
// does not tell, as for 12 megapixels.
[[nodiscard]] qint64 pictureBudget(const QString &path);

struct OpenRequest {
    QRgb background = 0xfff0f0f0; // what transparent pixels are laid over;
                                  // alpha 0: they are kept
    Work work;
    // Given the picture's full size (upright), what of it to decode.
    std::function<DecodePlan(QSize)> plan;
    // Set from elsewhere, it ends a long decode early (refused).
    const std::atomic<bool> *stop = nullptr;
    // The memory the decode may take, for the formats decoded in a child
    // process (see files/isolated.h); 0: counted from the header.
    qint64 memoryBudget = 0;
    // KeepMetadata flags (files/metadata.h): the EXIF to keep is handed
    // back; with KeepProfile, an RGB picture's pixels stay in the colours
    // of its profile, handed back, instead of being converted to sRGB.
    unsigned keep = 0;
};

struct Opened {
    QImage image;      // RGB32; premultiplied ARGB32 when transparency is kept
    QSize fullSize;    // the picture's size, upright, before any reduction
    QRect region;      // the part of the full picture `image` holds
    int reduction = 1; // image is region reduced this many times (rounded up)
    QByteArray exif;    // as OpenRequest::keep asks: "Exif\0\0" and TIFF
    QByteArray profile; // with KeepProfile: the profile of image's colours; empty: sRGB
    // The file as it was before it was read, with the hash of the bytes
    // decoded; no hash when it was decoded as it was read (a stream).
    FileFacts source;
};

// Opens a regular file (a link to one is fine; a device, a FIFO or a socket
// is refused without reading from it) of at most a picture's memory limit.
// The format is told by the content, not the name: BMP, JPEG, GIF and PNG by
// the program's own decoders, HEIF and AVIF by libheif and anything else by
// the installed Qt image plugins, these two in a child process under
// limits of memory and time (files/isolated.h).
// Damaged, truncated, oversized or unknown data is refused, and so is a
// file beyond 64 MiB that holds more than 16 bytes a pixel of its picture
// and 64 MiB besides, before it is read; a refused picture allocates
// nothing lasting.
[[nodiscard]] Made<Opened> openPicture(const QString &path, const OpenRequest &request = {});
// The same for a whole file held in memory.
[[nodiscard]] Made<Opened> decodePicture(const QByteArray &bytes, const OpenRequest &request = {});

// The size a picture file will open at (upright), from its header alone.
[[nodiscard]] Made<QSize> pictureSize(const QString &path);
// The memory decoding the picture takes at its peak, the decoded picture
// included, where its decoder needs more than the picture's 4 bytes a pixel
// (HEIF: libheif's planes and conversions), from its header alone; 0 for
// other formats and for files whose header is refused.
[[nodiscard]] qint64 pictureDecodeBytes(const QString &path);
// The size of the file itself, by the same rules as opening it.
[[nodiscard]] Made<qint64> pictureFileBytes(const QString &path);

} // namespace pv

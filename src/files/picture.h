#pragma once
// Decoding picture files into one pixel format (opaque 32-bit RGB).

#include <QByteArray>
#include <QImage>
#include <QLoggingCategory>
#include <QSize>
#include <QString>

#include <optional>

class QIODevice;

namespace pv {

// Why a file was refused, at debug level; off unless asked for with
// QT_LOGGING_RULES="pixelvane.files.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcFiles)

// The largest side a picture may have: sizes are held in 16 bits.
inline constexpr int kMaxSide = 32767;

struct Decoded {
    QImage image;   // RGB32, or ARGB32 where the file has transparency
    QString error;  // why it was refused; empty on success
    [[nodiscard]] bool ok() const { return !image.isNull(); }
};

// Bytes a picture's pixels may take: a quarter of the machine's memory.
[[nodiscard]] qint64 pictureMemoryLimit();
// A picture of w x h fits the side limit and the memory limit.
[[nodiscard]] bool sizeAllowed(qint64 w, qint64 h);
// A compressed picture of w x h could really be held in dataBytes: no
// format the program decodes packs more than 4096 pixels into a byte, and
// up to 16 megapixels are always believed. This refuses a few bytes that
// claim an enormous picture before memory is spent on it.
[[nodiscard]] bool plausibleSize(qint64 w, qint64 h, qint64 dataBytes);

// Decodes a whole file held in memory. The format is told by the content,
// not the name: BMP, JPEG and GIF by the program's own decoders, anything
// else by the installed Qt image plugins. Damaged, truncated, oversized or
// unknown data is refused; a refused picture allocates nothing lasting.
// Transparent pixels are laid over `background`; the result is RGB32.
[[nodiscard]] Decoded decodePicture(const QByteArray &bytes, QRgb background);
[[nodiscard]] Decoded loadPicture(const QString &path, QRgb background);

// A whole file as loadPicture reads it: a regular file only, at most a
// picture's memory limit. On failure, the bytes are empty and the error says
// why.
struct FileBytes {
    QByteArray bytes;
    QString error;
};
[[nodiscard]] FileBytes readPictureFile(const QString &path);

// The size a picture file's header claims, read by the same rules;
// invalid when it cannot be told.
[[nodiscard]] QSize pictureFileSize(const QString &path);


// The format decoders behind decodePicture, for its tests.
[[nodiscard]] Decoded decodeBmp(const QByteArray &bytes);
// An uncompressed BMP decoded while it is read, without holding the file;
// nullopt when the file must be decoded whole instead (RLE).
[[nodiscard]] std::optional<Decoded> decodeBmpStream(QIODevice &file, qint64 fileSize);
// scaleDenominator 2, 4 or 8 decodes at that fraction of the size, with
// libjpeg-turbo's scaled decoding (its pixels differ from a full decode's
// reduced afterwards).
[[nodiscard]] Decoded decodeJpeg(const QByteArray &bytes, int scaleDenominator = 1);
// The size of a JPEG as it would open (turned by its EXIF orientation),
// from its header alone; invalid when the header cannot be read.
[[nodiscard]] QSize jpegSize(const QByteArray &bytes);
[[nodiscard]] Decoded decodeGif(const QByteArray &bytes);

} // namespace pv

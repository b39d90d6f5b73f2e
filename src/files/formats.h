#pragma once
// Every format the program reads or writes, one row each: its names, how it
// is told from its first bytes, how its header's size is read, its decoder,
// its profile and EXIF readers, its writer and its defaults. Opening,
// writing, the metadata readers, the folder scan and the batch command's
// --format all read these rows: a format is added by adding its row.

#include "surfaces/fault.h"

#include <QByteArray>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>
#include <span>
#include <string_view>

class QImage;
class QIODevice;

namespace pv {

class AtomicFile;
struct Decoded;
struct OpenRequest;
struct WriteRequest;
struct Work;
enum class IsolatedKind : quint32;

// The formats a picture can be written in.
enum class ImageFormat { Bmp, Png, Jpeg, Webp, Avif, Jxl };
// One more than the last ImageFormat: every one of them must have a row
// that writes it, which formats.cpp checks when it is compiled.
inline constexpr int kImageFormats = int(ImageFormat::Jxl) + 1;

// The bytes at the start of a file that tell its format.
inline constexpr qsizetype kSignatureBytes = 256;

struct FormatRow {
    std::string_view name;       // as messages name it: "JPEG XL"
    std::string_view extensions; // a folder's pictures of the format, lower case, separated by spaces
    // Told from the file's first kSignatureBytes (fewer for a shorter file).
    bool (*told)(const QByteArray &start);
    // The size it opens at (upright), from its header; the file is left
    // anywhere.
    Made<QSize> (*headerSize)(QIODevice &file, qint64 fileSize);
    // Decoded in this process; null: in a child process as `isolated`
    // (files/isolated.h), with the limits counted from the header.
    Made<Decoded> (*decode)(const QByteArray &bytes, const OpenRequest &request);
    IsolatedKind isolated;
    // Decoded while the file is read, where the format allows it; nothing
    // when the file must be read whole first.
    std::optional<Made<Decoded>> (*stream)(QIODevice &file, qint64 fileSize, const OpenRequest &request);
    // The memory its decode takes at its peak where that is more than the
    // picture's, from the header; null: nothing more.
    Made<qint64> (*decodeBytes)(QIODevice &file);
    QByteArray (*profile)(const QByteArray &file); // the embedded ICC profile; null: read by the decoder
    QByteArray (*exif)(const QByteArray &file);    // "Exif\0\0" and TIFF; null: none kept
    // The names Qt's image plugins give it, kept away from them because
    // the program's own decoder is stricter.
    std::string_view qtNames;

    // Writing; `written` empty: the format is only read.
    std::optional<ImageFormat> written;
    std::string_view names;     // --format's names for it, separated by spaces
    std::string_view extension; // a written file's
    // The file at one quality, with the request's metadata; where null,
    // `writeFile` writes it straight into the file.
    Made<QByteArray> (*encode)(const QImage &pixels, const WriteRequest &request, int quality);
    Made<void> (*writeFile)(const QImage &pixels, AtomicFile &file, const WriteRequest &request);
    // The quality it is written at unless told; a format without one is
    // recorded as written at 90.
    int defaultQuality;
    bool lossless;      // offered lossless, every pixel exactly kept
    int largestSide;    // the largest width and height a file can hold
};

// The signatures, each written here alone: whether a file starts as one
// of the format does. HEIF's and JPEG XL's are with their readers
// (files/decoders.h).
[[nodiscard]] bool isBmp(const QByteArray &start);
[[nodiscard]] bool isJpeg(const QByteArray &start);
[[nodiscard]] bool isGif(const QByteArray &start);
[[nodiscard]] bool isPng(const QByteArray &start);
[[nodiscard]] bool isTiff(const QByteArray &start);
[[nodiscard]] bool isWebp(const QByteArray &start);
// JPEG XL's container, which holds boxes (a bare codestream has none).
[[nodiscard]] bool isJxlContainer(const QByteArray &start);

// Every row; the last tells every file, the formats of Qt's image plugins.
[[nodiscard]] std::span<const FormatRow> formatRows();
// The row of the file that starts with `start` (at least kSignatureBytes
// of it where the file has them).
[[nodiscard]] const FormatRow &formatOf(const QByteArray &start);
// The row that writes `format`.
[[nodiscard]] const FormatRow &formatRow(ImageFormat format);

// The format --format names, in any case.
[[nodiscard]] std::optional<ImageFormat> formatNamed(QStringView name);
// The first name of each written format: "bmp, png, jpeg, webp, avif or jxl".
[[nodiscard]] QString formatNames();
// The extensions of the pictures a folder gives, with their dots.
[[nodiscard]] QStringList pictureExtensions();
// Whether Qt's image plugin of `qtName` is kept away from.
[[nodiscard]] bool decodedByOwnDecoder(const QByteArray &qtName);

} // namespace pv

#include "files/formats.h"

#include "files/decoders.h"
#include "files/embeddedprofile.h"
#include "files/encoders.h"
#include "files/isolated.h"
#include "files/metadata.h"
#include "files/picture.h"

#include <QImageReader>

#include <array>
#include <jpeglib.h>
#include <limits>
#include <webp/encode.h>

namespace pv {

namespace {

bool anyFile(const QByteArray &) { return true; }

// A header of up to 1 MiB: a JPEG's, with its EXIF orientation, and a
// JPEG XL's lie near the start.
QByteArray head(QIODevice &file, qint64 fileSize) { return file.read(std::min<qint64>(fileSize, 1 << 20)); }

// The first 64 KiB hold almost every JPEG's header; a header is only read
// whole once its frame is found, so a cut one fails and is read again at 1 MiB.
Made<QSize> jpegHeader(QIODevice &file, qint64 fileSize)
{
    const QByteArray first = file.read(std::min<qint64>(fileSize, 64 << 10));
    const Made<QSize> size = jpegSize(first);
    if (size || first.size() >= std::min<qint64>(fileSize, 1 << 20))
        return size;
    return jpegSize(first + file.read(std::min<qint64>(fileSize, 1 << 20) - first.size()));
}
Made<QSize> jxlHeader(QIODevice &file, qint64 fileSize) { return jxlSize(head(file, fileSize)); }
Made<QSize> heifHeader(QIODevice &file, qint64) { return heifSize(file); }
Made<QSize> qtHeader(QIODevice &file, qint64)
{
    QImageReader reader(&file);
    if (const QSize size = reader.size(); size.isValid())
        return size;
    return failure(Fault::content(QStringLiteral("cannot read the header")));
}

Made<Decoded> whole(Made<QImage> image)
{
    if (!image)
        return failure(image.reason());
    return Decoded{std::move(image).value(), QRect(), QSize()};
}

Made<Decoded> bmp(const QByteArray &bytes, const OpenRequest &r) { return whole(decodeBmp(bytes, r.work)); }
Made<Decoded> jpeg(const QByteArray &bytes, const OpenRequest &r) { return decodeJpeg(bytes, r.plan, r.work, r.stop); }
Made<Decoded> gif(const QByteArray &bytes, const OpenRequest &) { return whole(decodeGif(bytes)); }
Made<Decoded> png(const QByteArray &bytes, const OpenRequest &r) { return whole(decodePng(bytes, r.work)); }

std::optional<Made<Decoded>> bmpStream(QIODevice &file, qint64 fileSize, const OpenRequest &r)
{
    return decodeBmpStream(file, fileSize, r.work, r.plan);
}

// Only the container holds boxes; a bare codestream has no EXIF.
QByteArray jxlContainerExif(const QByteArray &file)
{
    return isJxlContainer(file) ? jxlExif(file) : QByteArray();
}

constexpr int kUnlimited = std::numeric_limits<int>::max();
static_assert(WEBP_MAX_DIMENSION == 16383, "the README and --help name the limit");

constexpr std::array kRows{
    FormatRow{.name = "BMP", .extensions = "bmp", .told = isBmp, .headerSize = qtHeader, .decode = bmp,
              .isolated = {}, .stream = bmpStream, .decodeBytes = nullptr, .profile = nullptr, .exif = nullptr,
              .qtNames = "bmp dib", .written = ImageFormat::Bmp, .names = "bmp", .extension = "bmp",
              .encode = nullptr, .writeFile = bmpFile, .defaultQuality = 90, .lossless = false,
              .largestSide = kUnlimited},
    FormatRow{.name = "JPEG", .extensions = "jpg jpeg", .told = isJpeg, .headerSize = jpegHeader, .decode = jpeg,
              .isolated = {}, .stream = nullptr, .decodeBytes = nullptr, .profile = nullptr, .exif = jpegExif,
              .qtNames = "jpeg jpg", .written = ImageFormat::Jpeg, .names = "jpeg jpg", .extension = "jpg",
              .encode = jpegFile, .writeFile = nullptr, .defaultQuality = 90, .lossless = false,
              .largestSide = JPEG_MAX_DIMENSION},
    FormatRow{.name = "GIF", .extensions = "gif", .told = isGif, .headerSize = qtHeader, .decode = gif,
              .isolated = {}, .stream = nullptr, .decodeBytes = nullptr, .profile = nullptr, .exif = nullptr,
              .qtNames = "gif", .written = std::nullopt, .names = "", .extension = "", .encode = nullptr,
              .writeFile = nullptr, .defaultQuality = 0, .lossless = false, .largestSide = 0},
    FormatRow{.name = "PNG", .extensions = "png", .told = isPng, .headerSize = qtHeader, .decode = png,
              .isolated = {}, .stream = nullptr, .decodeBytes = nullptr, .profile = pngProfile, .exif = pngExif,
              .qtNames = "png", .written = ImageFormat::Png, .names = "png", .extension = "png",
              .encode = pngFile, .writeFile = nullptr, .defaultQuality = 90, .lossless = false,
              .largestSide = kUnlimited},
    FormatRow{.name = "TIFF", .extensions = "tif tiff", .told = isTiff, .headerSize = qtHeader, .decode = nullptr,
              .isolated = IsolatedKind::Qt, .stream = nullptr, .decodeBytes = nullptr, .profile = tiffProfile,
              .exif = nullptr, .qtNames = "", .written = std::nullopt, .names = "", .extension = "",
              .encode = nullptr, .writeFile = nullptr, .defaultQuality = 0, .lossless = false, .largestSide = 0},
    FormatRow{.name = "WebP", .extensions = "webp", .told = isWebp, .headerSize = qtHeader, .decode = nullptr,
              .isolated = IsolatedKind::Qt, .stream = nullptr, .decodeBytes = nullptr, .profile = webpProfile,
              .exif = webpExif, .qtNames = "", .written = ImageFormat::Webp, .names = "webp", .extension = "webp",
              .encode = webpFile, .writeFile = nullptr, .defaultQuality = 80, .lossless = true,
              .largestSide = WEBP_MAX_DIMENSION},
    // HEIF's still pictures, HEIC and AVIF alike, told by the ftyp box's
    // brands. libheif 1.15's AV1 coding of RGB, even 4:4:4 through the
    // identity matrix, moves some pixels by a level: AVIF is not offered
    // lossless. 65536 is AV1's limit.
    FormatRow{.name = "AVIF", .extensions = "heic heif hif avif", .told = isHeif, .headerSize = heifHeader,
              .decode = nullptr, .isolated = IsolatedKind::Heif, .stream = nullptr, .decodeBytes = heifDecodeBytes,
              .profile = nullptr, .exif = heifExif, .qtNames = "", .written = ImageFormat::Avif, .names = "avif",
              .extension = "avif", .encode = avifFile, .writeFile = nullptr, .defaultQuality = 60,
              .lossless = false, .largestSide = 65536},
    // Quality 90 is distance 1.
    FormatRow{.name = "JPEG XL", .extensions = "jxl", .told = isJxl, .headerSize = jxlHeader, .decode = nullptr,
              .isolated = IsolatedKind::Jxl, .stream = nullptr, .decodeBytes = nullptr, .profile = nullptr,
              .exif = jxlContainerExif, .qtNames = "", .written = ImageFormat::Jxl, .names = "jxl",
              .extension = "jxl", .encode = jxlFile, .writeFile = nullptr, .defaultQuality = 90, .lossless = true,
              .largestSide = kUnlimited},
    // Whatever else Qt's image plugins read.
    FormatRow{.name = "other", .extensions = "", .told = anyFile, .headerSize = qtHeader, .decode = nullptr,
              .isolated = IsolatedKind::Qt, .stream = nullptr, .decodeBytes = nullptr, .profile = nullptr,
              .exif = nullptr, .qtNames = "", .written = std::nullopt, .names = "", .extension = "",
              .encode = nullptr, .writeFile = nullptr, .defaultQuality = 0, .lossless = false, .largestSide = 0},
};

// Every format written has exactly one row, with its names and extension.
// (Whether the row's writer is there is tst_formats's to see: a function's
// address is no constant under the sanitizers.)
constexpr bool everyFormatWritten()
{
    for (int f = 0; f < kImageFormats; ++f) {
        int rows = 0;
        for (const FormatRow &row : kRows)
            if (row.written && int(*row.written) == f)
                rows += !row.names.empty() && !row.extension.empty() ? 1 : 2;
        if (rows != 1)
            return false;
    }
    return true;
}
static_assert(everyFormatWritten(), "every ImageFormat needs one row that writes it");

QString text(std::string_view s) { return QString::fromLatin1(s.data(), qsizetype(s.size())); }

} // namespace

bool isBmp(const QByteArray &start) { return start.startsWith("BM"); }
bool isJpeg(const QByteArray &start) { return start.startsWith("\xff\xd8"); }
bool isGif(const QByteArray &start) { return start.startsWith("GIF8"); }
bool isPng(const QByteArray &start) { return start.startsWith("\x89PNG\r\n\x1a\n"); }
bool isTiff(const QByteArray &start)
{
    return start.startsWith(QByteArray("II*\0", 4)) || start.startsWith(QByteArray("MM\0*", 4));
}
bool isWebp(const QByteArray &start) { return start.startsWith("RIFF") && start.mid(8, 4) == "WEBP"; }
bool isJxlContainer(const QByteArray &start) { return start.startsWith(QByteArray("\0\0\0\x0cJXL \r\n\x87\n", 12)); }

std::span<const FormatRow> formatRows() { return kRows; }

const FormatRow &formatOf(const QByteArray &start)
{
    for (const FormatRow &row : kRows)
        if (row.told(start))
            return row;
    return kRows.back();
}

const FormatRow &formatRow(ImageFormat format)
{
    for (const FormatRow &row : kRows)
        if (row.written == format)
            return row;
    Q_UNREACHABLE();
    return kRows.front();
}

std::optional<ImageFormat> formatNamed(QStringView name)
{
    for (const FormatRow &row : kRows)
        if (row.written && text(row.names).split(u' ').contains(name, Qt::CaseInsensitive))
            return row.written;
    return std::nullopt;
}

QString formatNames()
{
    QStringList names;
    for (int f = 0; f < kImageFormats; ++f)
        names << text(formatRow(ImageFormat(f)).names).section(u' ', 0, 0);
    const QString last = names.takeLast();
    return names.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

QStringList pictureExtensions()
{
    QStringList out;
    for (const FormatRow &row : kRows)
        for (const QString &e : text(row.extensions).split(u' ', Qt::SkipEmptyParts))
            out << u'.' + e;
    return out;
}

bool decodedByOwnDecoder(const QByteArray &qtName)
{
    for (const FormatRow &row : kRows)
        if (row.decode && text(row.qtNames).split(u' ').contains(QString::fromLatin1(qtName)))
            return true;
    return false;
}

} // namespace pv

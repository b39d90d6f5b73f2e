#include "files/picture.h"

#include "files/colour.h"
#include "files/decoders.h"
#include "files/isolated.h"
#include "files/embeddedprofile.h"
#include "files/formats.h"
#include "files/heifboxes.h"
#include "files/metadata.h"
#include "input/filenames.h"
#include "surfaces/pixelmemory.h"

#include <QBuffer>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <sys/stat.h>
#include <unistd.h>


namespace pv {

Q_LOGGING_CATEGORY(lcFiles, "pixelvane.files", QtInfoMsg)

void flattenInto(const QImage &image, QRgb background, QImage &out)
{
    if (!image.hasAlphaChannel()) {
        const QImage rgb = image.format() == QImage::Format_RGB32 ? image : image.convertToFormat(QImage::Format_RGB32);
        for (int y = 0; y < rgb.height(); ++y)
            std::memcpy(out.scanLine(y), rgb.constScanLine(y), size_t(rgb.width()) * 4);
        return;
    }
    if (qAlpha(background) == 0) {
        const QImage kept = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        for (int y = 0; y < kept.height(); ++y)
            std::memcpy(out.scanLine(y), kept.constScanLine(y), size_t(kept.width()) * 4);
        return;
    }
    const QImage argb = image.format() == QImage::Format_ARGB32 ? image : image.convertToFormat(QImage::Format_ARGB32);
    const int br = qRed(background), bg = qGreen(background), bb = qBlue(background);
    for (int y = 0; y < argb.height(); ++y) {
        const auto *in = reinterpret_cast<const QRgb *>(argb.constScanLine(y));
        auto *o = reinterpret_cast<QRgb *>(out.scanLine(y));
        for (int x = 0; x < argb.width(); ++x) {
            const int a = qAlpha(in[x]);
            if (a == 255) {
                o[x] = in[x];
            } else {
                auto mix = [a](int c, int b) { return (c * a + b * (255 - a) + 127) / 255; };
                o[x] = qRgb(mix(qRed(in[x]), br), mix(qGreen(in[x]), bg), mix(qBlue(in[x]), bb));
            }
        }
    }
}

qint64 pictureMemoryLimit()
{
    static const qint64 limit = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long pageSize = sysconf(_SC_PAGE_SIZE);
        if (pages <= 0 || pageSize <= 0)
            return qint64(1) << 30;
        return qint64(pages) * pageSize / 4;
    }();
    return limit;
}

bool sizeAllowed(qint64 w, qint64 h)
{
    return w >= 1 && h >= 1 && w <= kMaxSide && h <= kMaxSide && w * h * 4 <= pictureMemoryLimit();
}

qint64 openingBytes(QSize size, qint64 fileBytes, bool decodedInChild)
{
    // A side beyond the limit is refused anyway; held to it, a header's
    // claim cannot overflow the count.
    const qint64 pixels = qint64(std::clamp(size.width(), 1, kMaxSide + 1)) * std::clamp(size.height(), 1, kMaxSide + 1);
    return pixels * (decodedInChild ? 32 : 8) + (qint64(4) << 20) + fileBytes;
}

bool plausibleSize(qint64 w, qint64 h, qint64 dataBytes)
{
    return w * h <= std::max<qint64>(qint64(16) << 20, dataBytes * 4096);
}

namespace {

// Lays transparent pixels over the background; the result is opaque RGB32.
// A transparent background (alpha 0) keeps them: the result is then
// premultiplied ARGB32.
QImage flatten(const QImage &image, QRgb background)
{
    if (!image.hasAlphaChannel())
        return image.format() == QImage::Format_RGB32 ? image : image.convertToFormat(QImage::Format_RGB32);
    QImage out = allocateImage(image.width(), image.height(),
                               qAlpha(background) == 0 ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    flattenInto(image, background, out);
    return out;
}

// Every route from bytes or a file to a picture ends here: the decoders'
// pixels become the one opaque format, and the part and the reduction
// reached are told.
Made<Opened> finished(Made<Decoded> decoded, QSize fullSize, QRgb background)
{
    if (!decoded)
        return failure(decoded.reason());
    Opened opened;
    opened.image = flatten(decoded->image, background);
    if (opened.image.isNull())
        return failure(Fault::memory());
    opened.fullSize = fullSize.isValid() ? fullSize : decoded->fullSize.isValid() ? decoded->fullSize : opened.image.size();
    opened.region = decoded->region.isNull() ? QRect(QPoint(0, 0), opened.fullSize) : decoded->region;
    opened.reduction =
        std::max(1, (opened.region.width() + opened.image.width() - 1) / std::max(1, opened.image.width()));
    return opened;
}

Made<Opened> finished(Made<QImage> decoded, QSize fullSize, QRgb background)
{
    if (!decoded)
        return failure(decoded.reason());
    return finished(Made<Decoded>(Decoded{decoded.value(), QRect(), QSize()}), fullSize, background);
}

// The least size of a picture of `full` size whose `region` is at least
// `least`: what a thumbnail must have to stand in for it.
QSize standInLeast(const DecodePlan &plan, QSize full)
{
    if (!plan.least.isValid() || plan.least.isEmpty() || full.isEmpty())
        return QSize();
    const QRect region = plan.region.isNull() ? QRect(QPoint(0, 0), full) : plan.region;
    auto scaled = [](qint64 side, qint64 whole, qint64 part) {
        return int((side * whole + part - 1) / std::max<qint64>(part, 1));
    };
    return QSize(scaled(plan.least.width(), full.width(), region.width()),
                 scaled(plan.least.height(), full.height(), region.height()));
}

// A HEIF decoded in the child, where the plan lets a thumbnail stand in:
// what comes back smaller than the picture is checked again (the child is
// not trusted) and taken as the whole picture made smaller.
Made<Opened> heifInChild(const QByteArray &bytes, const OpenRequest &request, IsolatedRequest isolated)
{
    QBuffer header;
    header.setData(bytes);
    header.open(QIODevice::ReadOnly);
    const Made<QSize> full = heifSize(header);
    if (full)
        isolated.thumbnail = standInLeast(request.plan(full.value()), full.value());
    Made<QImage> image = decodeIsolated(bytes, isolated);
    if (!image || !isolated.thumbnail.isValid() || image->size() == full.value())
        return finished(std::move(image), QSize(), request.background);
    const QSize got = image->size(), least = isolated.thumbnail;
    if (!heifShowsWhole(got, full.value()) || got.width() < least.width() || got.height() < least.height())
        return failure(Fault::content(QStringLiteral("the decoder gave a picture of %1 x %2 for one of %3 x %4")
                                          .arg(got.width()).arg(got.height()).arg(full->width()).arg(full->height())));
    return finished(Made<Decoded>(Decoded{image.value(), QRect(QPoint(0, 0), full.value()), full.value()}), QSize(),
                    request.background);
}

Made<Opened> decodeFormat(const QByteArray &bytes, const OpenRequest &request)
{
    const FormatRow &format = formatOf(bytes.left(kSignatureBytes));
    if (format.decode)
        return finished(format.decode(bytes, request), QSize(), request.background);
    IsolatedRequest isolated{format.isolated, request.background, request.work, request.memoryBudget, request.stop,
                             (request.keep & KeepProfile) != 0, QSize()};
    if (format.isolated == IsolatedKind::Heif && request.plan)
        return heifInChild(bytes, request, isolated);
    return finished(decodeIsolated(bytes, isolated), QSize(), request.background);
}

// The metadata asked to be kept is read from the bytes already held.
Made<Opened> decodeBytes(const QByteArray &bytes, const OpenRequest &request)
{
    if (request.keep == 0)
        return decodeFormat(bytes, request);
    std::optional<KeepColours> colours;
    if (request.keep & KeepProfile)
        colours.emplace();
    Made<Opened> opened = decodeFormat(bytes, request);
    if (opened) {
        opened->exif = keptExif(bytes, request.keep);
        if (colours)
            opened->profile = colours->profile;
    }
    return opened;
}

} // namespace

Made<Opened> decodePicture(const QByteArray &bytes, const OpenRequest &request)
{
    try {
        return decodeBytes(bytes, request);
    } catch (const std::bad_alloc &) {
        return failure(Fault::memory());
    }
}

namespace {

// Opens a regular file for reading. A FIFO must not make the open wait for
// a writer, so it is opened without blocking, then looked at: a device or a
// pipe has no size to trust and may never end.
// Returns the file's size.
Made<qint64> openRegular(const QString &path, QFile &file, FileFacts *facts = nullptr)
{
    const int fd = ::open(bytesOfName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return failure(Fault::system(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return failure(Fault::content(QStringLiteral("not a regular file")));
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return failure(Fault{Fault::Cause::System, file.errorString()});
    }
    if (st.st_size > pictureMemoryLimit())
        return failure(Fault::content(QStringLiteral("file too large")));
    if (facts)
        *facts = factsFrom(st);
    return qint64(st.st_size);
}

// Reads size bytes (or fewer, if the file shrank) into `out`.
qint64 readInto(QFile &file, char *out, qint64 size)
{
    qint64 done = 0;
    while (done < size) {
        const qint64 n = file.read(out + done, size - done);
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

// The size the header of an open file claims; the file is left at its start.
Made<QSize> headerSize(QFile &file, qint64 fileSize)
{
    const Made<QSize> size = formatOf(file.peek(kSignatureBytes)).headerSize(file, fileSize);
    file.seek(0);
    return size;
}

// Beyond this a file must be no larger than its picture could need.
constexpr qint64 kAlwaysBelieved = qint64(64) << 20;

// Whether a file of `fileSize` bytes could really be a picture of `size`:
// at most 16 bytes a pixel (the widest samples, uncompressed, with room
// for worst-case compression) and 64 MiB of metadata.
bool plausibleFileSize(qint64 fileSize, QSize size)
{
    return fileSize <= kAlwaysBelieved || fileSize <= qint64(size.width()) * size.height() * 16 + kAlwaysBelieved;
}

Made<Opened> readAndDecode(const QString &path, const OpenRequest &request)
{
    QFile file;
    FileFacts source;
    const Made<qint64> size = openRegular(path, file, &source);
    if (!size)
        return failure(size.reason());
    try {
        // A file far larger than its picture is refused before it is read.
        if (size.value() > kAlwaysBelieved) {
            const Made<QSize> header = headerSize(file, size.value());
            if (!header || !plausibleFileSize(size.value(), header.value()))
                return failure(Fault::content(QStringLiteral("file far larger than its picture")));
        }
        if (const FormatRow &format = formatOf(file.peek(kSignatureBytes)); format.stream) {
            if (std::optional<Made<Decoded>> d = format.stream(file, size.value(), request))
                return finished(std::move(*d), QSize(), request.background);
            file.seek(0);
        }
        // Read straight into fresh memory of the file's size; decoded
        // pictures never point into it. A file that grows meanwhile is read
        // up to the size it had.
        LargeBuffer buffer(size_t(std::max<qint64>(size.value(), 1)));
        const qint64 done = readInto(file, reinterpret_cast<char *>(buffer.data()), size.value());
        if (file.error() != QFileDevice::NoError)
            return failure(Fault{Fault::Cause::System, file.errorString()});
        const char *bytes = reinterpret_cast<const char *>(buffer.data());
        Made<Opened> opened = decodeBytes(QByteArray::fromRawData(bytes, done), request);
        // What a rerun compares the input with: these very bytes, and the
        // size and time from before they were read, so that a file changed
        // meanwhile no longer matches.
        if (opened) {
            opened->source = source;
            opened->source.hash = hashOfBytes(bytes, size_t(done));
        }
        return opened;
    } catch (const std::bad_alloc &) {
        return failure(Fault::memory());
    }
}

} // namespace

Made<Opened> openPicture(const QString &path, const OpenRequest &request)
{
    Made<Opened> opened = readAndDecode(path, request);
    if (!opened)
        qCDebug(lcFiles, "refused %s: %s", qUtf8Printable(path), qUtf8Printable(opened.reason().text));
    return opened;
}

Made<QSize> pictureSize(const QString &path)
{
    QFile file;
    const Made<qint64> size = openRegular(path, file);
    if (!size)
        return failure(size.reason());
    return headerSize(file, size.value());
}

qint64 pictureDecodeBytes(const QString &path)
{
    QFile file;
    if (!openRegular(path, file))
        return 0;
    const FormatRow &format = formatOf(file.peek(kSignatureBytes));
    if (!format.decodeBytes)
        return 0;
    const Made<qint64> bytes = format.decodeBytes(file);
    return bytes ? bytes.value() : 0;
}

qint64 pictureBudget(const QString &path)
{
    QFile file;
    const Made<qint64> bytes = openRegular(path, file);
    const Made<QSize> size = bytes ? headerSize(file, bytes.value()) : Made<QSize>(failure(bytes.reason()));
    return openingBytes(size ? size.value() : QSize(4000, 3000), bytes ? bytes.value() : 0,
                        bytes && !formatOf(file.peek(kSignatureBytes)).decode);
}

Made<qint64> pictureFileBytes(const QString &path)
{
    QFile file;
    return openRegular(path, file);
}

} // namespace pv

#include "files/picture.h"

#include "files/colour.h"
#include "files/embeddedprofile.h"
#include "surfaces/pixelmemory.h"

#include <QBuffer>
#include <QColorSpace>
#include <QFile>
#include <QImageReader>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>


namespace pv {

Q_LOGGING_CATEGORY(lcFiles, "pixelvane.files", QtInfoMsg)

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

bool plausibleSize(qint64 w, qint64 h, qint64 dataBytes)
{
    return w * h <= std::max<qint64>(qint64(16) << 20, dataBytes * 4096);
}

namespace {

// Qt's plugins allocate before they know whether the data holds what the
// header claims; they are held to what the file could plausibly contain.
// The limit is the whole process's, so Qt's plugins read one picture at a
// time (the batch command's other work goes on meanwhile).
Decoded readWithQt(const QByteArray &bytes, bool &grey)
{
    static std::mutex oneAtATime;
    const std::lock_guard lock(oneAtATime);
    const qint64 plausibleBytes = std::max<qint64>(qint64(16) << 20, bytes.size() * 4096) * 4;
    const qint64 limitMb = std::max<qint64>(1, std::min(pictureMemoryLimit(), plausibleBytes) >> 20);
    QImageReader::setAllocationLimit(int(std::min<qint64>(limitMb, INT_MAX)));
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    // BMP, JPEG and GIF are decoded by our own decoders, which refuse what
    // Qt's plugins would show damaged.
    const QByteArray format = reader.format().toLower();
    if (format.isEmpty() || format == "bmp" || format == "dib" || format == "jpeg" || format == "jpg" || format == "gif")
        return {QImage(), QStringLiteral("unknown format")};
    const QSize size = reader.size();
    if (size.isValid() && !sizeAllowed(size.width(), size.height()))
        return {QImage(), QStringLiteral("too large")};
    QImage image = reader.read();
    if (image.isNull())
        return {QImage(), reader.errorString()};
    grey = image.format() == QImage::Format_Grayscale8 || image.format() == QImage::Format_Grayscale16;
    return {image, QString()};
}

Decoded decodeWithQt(const QByteArray &bytes)
{
    bool grey = false;
    Decoded d = readWithQt(bytes, grey);
    if (!d.ok())
        return d;
    QImage &image = d.image;
    if (!sizeAllowed(image.width(), image.height()))
        return {QImage(), QStringLiteral("too large")};
    image = image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    image.setColorSpace(QColorSpace());
    convertToSrgb(image, embeddedProfile(bytes), grey ? PixelLayout::Grey : PixelLayout::Rgb);
    return d;
}

// Lays transparent pixels over the background; the result is opaque RGB32.
QImage flatten(const QImage &image, QRgb background)
{
    if (!image.hasAlphaChannel())
        return image.format() == QImage::Format_RGB32 ? image : image.convertToFormat(QImage::Format_RGB32);
    const QImage argb = image.format() == QImage::Format_ARGB32 ? image : image.convertToFormat(QImage::Format_ARGB32);
    QImage out = allocateImage(argb.width(), argb.height());
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
    return out;
}


} // namespace

Decoded decodePicture(const QByteArray &bytes, QRgb background)
{
    Decoded d;
    try {
        if (bytes.startsWith("BM"))
            d = decodeBmp(bytes);
        else if (bytes.startsWith("\xff\xd8"))
            d = decodeJpeg(bytes);
        else if (bytes.startsWith("GIF8"))
            d = decodeGif(bytes);
        else
            d = decodeWithQt(bytes);
        if (d.ok()) {
            d.image = flatten(d.image, background);
            if (d.image.isNull())
                d.error = QStringLiteral("out of memory");
        }
    } catch (const std::bad_alloc &) {
        d = {QImage(), QStringLiteral("out of memory")};
    }
    return d;
}

namespace {

// Opens a regular file for reading. A FIFO must not make the open wait for
// a writer, so it is opened without blocking, then looked at: a device or a
// pipe has no size to trust and may never end.
bool openRegular(const QString &path, QFile &file, qint64 &size, QString &error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = QStringLiteral("not a regular file");
        return false;
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        error = file.errorString();
        return false;
    }
    size = st.st_size;
    if (size > pictureMemoryLimit()) {
        error = QStringLiteral("file too large");
        return false;
    }
    return true;
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

Decoded readAndDecode(const QString &path, QRgb background)
{
    QFile file;
    qint64 size = 0;
    QString error;
    if (!openRegular(path, file, size, error))
        return {QImage(), error};
    try {
        if (file.peek(2) == "BM") {
            if (std::optional<Decoded> d = decodeBmpStream(file, size))
                return *d;
            file.seek(0);
        }
        // Read straight into fresh memory of the file's size; decoded
        // pictures never point into it. A file that grows meanwhile is read
        // up to the size it had.
        LargeBuffer buffer(size_t(std::max<qint64>(size, 1)));
        const qint64 done = readInto(file, reinterpret_cast<char *>(buffer.data()), size);
        if (file.error() != QFileDevice::NoError)
            return {QImage(), file.errorString()};
        return decodePicture(QByteArray::fromRawData(reinterpret_cast<const char *>(buffer.data()), done),
                             background);
    } catch (const std::bad_alloc &) {
        return {QImage(), QStringLiteral("out of memory")};
    }
}

} // namespace

Decoded loadPicture(const QString &path, QRgb background)
{
    Decoded d = readAndDecode(path, background);
    if (!d.ok())
        qCDebug(lcFiles, "refused %s: %s", qUtf8Printable(path), qUtf8Printable(d.error));
    return d;
}

FileBytes readPictureFile(const QString &path)
{
    QFile file;
    qint64 size = 0;
    QString error;
    if (!openRegular(path, file, size, error))
        return {QByteArray(), error};
    try {
        QByteArray bytes(size, Qt::Uninitialized);
        bytes.truncate(readInto(file, bytes.data(), size));
        if (file.error() != QFileDevice::NoError)
            return {QByteArray(), file.errorString()};
        return {bytes, QString()};
    } catch (const std::bad_alloc &) {
        return {QByteArray(), QStringLiteral("out of memory")};
    }
}

QSize pictureFileSize(const QString &path)
{
    QFile file;
    qint64 size = 0;
    QString error;
    if (!openRegular(path, file, size, error))
        return QSize();
    QImageReader reader(&file);
    return reader.size();
}

} // namespace pv

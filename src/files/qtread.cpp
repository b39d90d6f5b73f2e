// Qt's image plugins, for the formats the program does not decode itself.
#include "files/colour.h"
#include "files/decoders.h"
#include "files/embeddedprofile.h"
#include "files/formats.h"

#include <QBuffer>
#include <QColorSpace>
#include <QImageReader>

#include <climits>
#include <mutex>
#include <shared_mutex>

namespace pv {

namespace {

int megabytes(qint64 bytes) { return int(std::clamp<qint64>(bytes >> 20, 1, INT_MAX)); }

// Qt's plugins allocate before they know whether the data holds what the
// header claims. A picture whose header tells its size is held to what the
// file could plausibly contain before it is read, under an allocation
// limit of the picture memory limit. The few formats whose size is known
// only once read (MNG, ICNS) are read under a limit of what the file could
// plausibly contain; since that limit is the whole process's, they are read
// alone.
class QtReading {
public:
    QtReading() { QImageReader::setAllocationLimit(megabytes(pictureMemoryLimit())); }
    std::shared_mutex lock;
};

Made<QImage> readWithQt(const QByteArray &bytes)
{
    static QtReading reading;
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    // The formats of the program's own decoders, which refuse what Qt's
    // plugins would show damaged, are never read here.
    const QByteArray format = reader.format().toLower();
    if (format.isEmpty() || decodedByOwnDecoder(format))
        return failure(Fault::content(QStringLiteral("unknown format")));
    const QSize size = reader.size();
    QImage image;
    if (size.isValid()) {
        if (!sizeAllowed(size.width(), size.height()) || !plausibleSize(size.width(), size.height(), bytes.size()))
            return failure(Fault::content(QStringLiteral("too large")));
        const std::shared_lock shared(reading.lock);
        image = reader.read();
    } else {
        const std::unique_lock alone(reading.lock);
        const qint64 plausibleBytes = std::max<qint64>(qint64(16) << 20, bytes.size() * 4096) * 4;
        QImageReader::setAllocationLimit(megabytes(std::min(pictureMemoryLimit(), plausibleBytes)));
        image = reader.read();
        QImageReader::setAllocationLimit(megabytes(pictureMemoryLimit()));
    }
    if (image.isNull())
        return failure(Fault::content(reader.errorString()));
    return image;
}

} // namespace

Made<QImage> decodeWithQt(const QByteArray &bytes, const Work &work)
{
    Made<QImage> read = readWithQt(bytes);
    if (!read)
        return read;
    QImage image = std::move(read).value();
    if (!sizeAllowed(image.width(), image.height()))
        return failure(Fault::content(QStringLiteral("too large")));
    const bool grey = image.format() == QImage::Format_Grayscale8 || image.format() == QImage::Format_Grayscale16;
    image = image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    image.setColorSpace(QColorSpace());
    convertToSrgb(image, embeddedProfile(bytes), grey ? PixelLayout::Grey : PixelLayout::Rgb, work);
    return image;
}

} // namespace pv

// Arbitrary bytes through the HEIF structure check, read whole and read
// from a device as the header is: both say the same.
#include "files/heifboxes.h"

#include <QBuffer>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const pv::Made<pv::HeifStructure> whole = pv::heifStructure(bytes);
    QBuffer device;
    device.setData(bytes);
    device.open(QIODevice::ReadOnly);
    const pv::Made<pv::HeifStructure> read = pv::heifStructure(device.size(), [&device](qint64 at, qint64 length) {
        return device.seek(at) ? device.read(length) : QByteArray();
    });
    if (whole.ok() != read.ok())
        std::abort();
    if (whole.ok()) {
        // An answer is a picture of some pixels, made of a bounded number
        // of coded pictures.
        if (whole->size.isEmpty() || whole->size != read->size || whole->codedPictures < 1 ||
            whole->codedPictures > pv::kMaxHeifTiles)
            std::abort();
        // A thumbnail kept shows the whole picture's shape, within its cost.
        if (whole->thumbnails.size() != read->thumbnails.size() ||
            whole->thumbnails.size() > size_t(pv::kMaxHeifThumbnails))
            std::abort();
        for (const pv::HeifThumbnail &t : whole->thumbnails)
            if (!pv::heifShowsWhole(t.size, whole->size) || t.decodeBytes > whole->decodeBytes)
                std::abort();
    } else if (whole.reason().text.isEmpty() || whole.reason().text != read.reason().text) {
        std::abort(); // a refusal always says why, the same way
    }
    return 0;
}

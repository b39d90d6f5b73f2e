// Arbitrary bytes through the program's own decoding of an opened file.
#include "files/metadata.h"
#include "files/picture.h"

#include <QGuiApplication>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never destroyed: the process ends with the fuzzer, not with Qt.
    new QGuiApplication(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    // The metadata a user may keep is read from the same bytes.
    (void)pv::keptExif(bytes, pv::KeepRights | pv::KeepDate);
    const pv::Made<pv::Opened> d = pv::decodePicture(bytes);
    if (d.ok()) {
        // What opens is opaque RGB32 within the limits.
        if (d->image.format() != QImage::Format_RGB32 || !pv::sizeAllowed(d->image.width(), d->image.height()))
            std::abort();
    } else if (d.reason().text.isEmpty()) {
        std::abort(); // a refusal always says why
    }
    return 0;
}

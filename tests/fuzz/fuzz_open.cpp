// Arbitrary bytes through the program's own decoding of an opened file.
#include "files/decoders.h"
#include "files/heifboxes.h"
#include "files/metadata.h"
#include "files/picture.h"

#include <QGuiApplication>
#include <algorithm>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never destroyed: the process ends with the fuzzer, not with Qt.
    new QGuiApplication(*argc, *argv);
    return 0;
}

namespace {

// A JPEG's middle part, decoded alone, is refused with the whole's reason
// or holds the whole's pixels.
void partAsWhole(const QByteArray &bytes, const pv::Made<pv::Opened> &whole)
{
    if (!bytes.startsWith("\xff\xd8"))
        return;
    pv::OpenRequest request;
    request.plan = [](QSize full) {
        const int w = full.width(), h = full.height();
        return pv::DecodePlan{1, QRect(w / 3, h / 3, std::max(1, w / 3), std::max(1, h / 3)), QSize()};
    };
    const pv::Made<pv::Opened> part = pv::decodePicture(bytes, request);
    if (part.ok() != whole.ok() || (!part.ok() && part.reason().text != whole.reason().text))
        std::abort();
    if (!part.ok())
        return;
    const QRect r = request.plan(whole->fullSize).region.intersected(whole->image.rect());
    if (part->image.copy(r.translated(-part->region.topLeft())) != whole->image.copy(r))
        std::abort();
}

// A HEIF whose thumbnail may stand in opens at the whole's size, made of
// a picture of its shape.
void thumbnailAsWhole(const QByteArray &bytes, const pv::Made<pv::Opened> &whole)
{
    if (!pv::isHeif(bytes))
        return;
    pv::OpenRequest request;
    request.plan = [](QSize) { return pv::DecodePlan{1, QRect(), QSize(1, 1)}; };
    const pv::Made<pv::Opened> small = pv::decodePicture(bytes, request);
    if (!small.ok())
        return; // a thumbnail that fails leaves the primary image, which may fail too
    if ((whole.ok() && small->fullSize != whole->fullSize) || !pv::heifShowsWhole(small->image.size(), small->fullSize))
        std::abort();
}

} // namespace

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
    partAsWhole(bytes, d);
    thumbnailAsWhole(bytes, d);
    return 0;
}

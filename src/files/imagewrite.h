#pragma once
// Writing a picture: the one way both programs write files, always through
// AtomicFile.

#include "files/atomicfile.h"
#include "surfaces/fault.h"
#include "surfaces/work.h"

#include <QImage>
#include <QString>

namespace pv {

enum class ImageFormat { Bmp, Png, Jpeg };

// The extension a file of the format gets.
[[nodiscard]] QString extensionOf(ImageFormat format);

struct WriteRequest {
    ImageFormat format = ImageFormat::Bmp;
    int quality = 90;    // JPEG, 1 to 100
    bool replace = true; // false: a file that has the name by the time this
                         // one would be put in place is kept (Cause::Exists)
    Work work;
    // A link at the path: followed, as the window's user who chose it
    // means, or replaced itself, as a shared output folder needs.
    AtomicFile::Links links = AtomicFile::Links::Follow;
};

// Writes an RGB32 picture: BMP as the window saves it (24 bits, bottom-up),
// PNG (opaque), or JPEG with libjpeg-turbo (4:2:0). An existing file is
// either replaced whole or left untouched.
[[nodiscard]] Made<void> writePicture(const QImage &pixels, const QString &path, const WriteRequest &request = {});

// Whether the regular file at `path` is what a power failure during an
// earlier write of the format can leave: empty, or beginning as the format
// does but not whole, as far as its length and ending tell (a BMP shorter
// than its header says, a PNG not ending in IEND, a JPEG not in its end
// marker). Any other file, a stranger's included, is not.
[[nodiscard]] bool looksCutShort(const QString &path, ImageFormat format);

} // namespace pv

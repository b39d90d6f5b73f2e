#pragma once
// Writing a picture: the one way both programs write files, always through
// AtomicFile.

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
};

// Writes an RGB32 picture: BMP as the window saves it (24 bits, bottom-up),
// PNG (opaque), or JPEG with libjpeg-turbo (4:2:0). An existing file is
// either replaced whole or left untouched.
[[nodiscard]] Made<void> writePicture(const QImage &pixels, const QString &path, const WriteRequest &request = {});

} // namespace pv

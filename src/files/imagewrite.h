#pragma once
// Writing a picture in one of the formats the batch command offers, always
// through AtomicFile.

#include <QImage>
#include <QString>

namespace pv {

enum class ImageFormat { Bmp, Png, Jpeg };

// The extension a file of the format gets.
[[nodiscard]] QString extensionOf(ImageFormat format);

struct WriteOutcome {
    QString error;        // empty on success
    bool existed = false; // the name was taken, and not to be replaced
};

// Writes an RGB32 picture: BMP as the window saves it (24 bits), PNG
// (opaque), or JPEG with libjpeg-turbo at `quality` (1 to 100, 4:2:0).
// Without `replace`, a file that has the name by the time it would be put
// in place is kept.
[[nodiscard]] WriteOutcome writePicture(const QImage &pixels, const QString &path, ImageFormat format, int quality,
                                        bool replace);

} // namespace pv

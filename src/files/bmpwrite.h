#pragma once
// The BMP writer behind writePicture.

#include "files/atomicfile.h"
#include "surfaces/work.h"

#include <QImage>

namespace pv {

// Writes an RGB32 picture as a 24-bit bottom-up BMP into a file already
// opened, and commits it.
[[nodiscard]] Made<void> writeBmp(const QImage &pixels, AtomicFile &file, const Work &work);

} // namespace pv

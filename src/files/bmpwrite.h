#pragma once

#include "files/atomicfile.h"
#include "surfaces/surface.h"

#include <QImage>
#include <QString>

namespace pv {

// Writes an RGB32 picture as a 24-bit bottom-up BMP through AtomicFile: an
// existing file is either replaced whole or left untouched. Returns the
// system's description of the failure, or an empty string on success.
[[nodiscard]] QString writeBmp(const QImage &pixels, const QString &path);
// The same into a file already opened; commits it.
[[nodiscard]] QString writeBmp(const QImage &pixels, AtomicFile &file);

// The same for the w x h block at the top-left of `surface` (which must
// hold it); where the surface holds no content, its background.
[[nodiscard]] QString writeBmp(const Surface &surface, int w, int h, const QString &path);

} // namespace pv

#pragma once

#include "surfaces/surface.h"

#include <QString>

namespace pv {

// Writes the w x h block at the top-left of `surface` as a 24-bit
// bottom-up BMP, through AtomicFile: an existing file is either replaced
// whole or left untouched. Returns the system's description of the failure,
// or an empty string on success.
[[nodiscard]] QString writeBmp(const Surface &surface, int w, int h, const QString &path);

} // namespace pv

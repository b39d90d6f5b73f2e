#pragma once

#include "surfaces/surface.h"

#include <QString>

namespace pv {

// Draws the w x h current image at the top-left of picEdit into the cleared
// preview surface by the preview rule and returns the caption for the
// preview mode.
QString drawPreview(const Surface &picEdit, Surface &picShow, int w, int h);

} // namespace pv

#pragma once
// Applying an edit's geometry to the work surfaces. The current image is the
// top-left of picEdit; afterwards picEdit and PicWork hold the result at
// their top-left over background, and neither surface changes size.

#include "edit/geometry.h"
#include "surfaces/worksurfaces.h"

namespace pv {

// The cut (which must lie inside the current image) becomes the current
// image: PicWork <- cut of picEdit, picEdit <- PicWork.
void applyCut(WorkSurfaces &s, const Cut &cut);

// The cut becomes the current image, then is stretched to w x h:
// PicWork <- picEdit (stretched), picEdit <- PicWork.
void applyCutAndStretch(WorkSurfaces &s, const Cut &cut, int w, int h);

} // namespace pv

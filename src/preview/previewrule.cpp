#include "preview/previewrule.h"

#include "edit/rounding.h"

namespace pv {

PreviewSize previewSize(int w, int h)
{
    if (w <= kPreviewLimit && h <= kPreviewLimit)
        return {w, h, false};
    if (w < h)
        return {static_cast<int>(scaleByRatio(w, h, kPreviewLimit)), kPreviewLimit, true};
    return {kPreviewLimit, static_cast<int>(scaleByRatio(h, w, kPreviewLimit)), true};
}

} // namespace pv

#include "edit/edits.h"

namespace pv {

void applyCut(WorkSurfaces &s, const Cut &cut)
{
    const int w = int(cut.width), h = int(cut.height);
    s.PicWork.clear();
    s.PicWork.bitBlt(s.picEdit, w, h, int(cut.left), int(cut.top));
    s.picEdit.clear();
    s.picEdit.bitBlt(s.PicWork, w, h, 0, 0);
}

void applyCutAndStretch(WorkSurfaces &s, const Cut &cut, int w, int h)
{
    applyCut(s, cut);
    s.PicWork.clear();
    s.PicWork.stretchBlt(s.picEdit, w, h, 0, 0, int(cut.width), int(cut.height));
    s.picEdit.clear();
    s.picEdit.bitBlt(s.PicWork, w, h, 0, 0);
}

} // namespace pv

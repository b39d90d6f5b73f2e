#include "surfaces/preview.h"

#include "preview/previewrule.h"

namespace pv {

QString drawPreview(const Surface &picEdit, Surface &picShow, int w, int h)
{
    picShow.clear();
    const PreviewSize p = previewSize(w, h);
    if (p.reduced) {
        picShow.stretchBlt(picEdit, p.width, p.height, 0, 0, w, h);
        return QStringLiteral("（縮小表示）");
    }
    picShow.bitBlt(picEdit, w, h, 0, 0);
    return QStringLiteral("（原寸表示）");
}

} // namespace pv

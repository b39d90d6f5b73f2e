#include "surfaces/worksurfaces.h"

namespace pv {

void WorkSurfaces::startFromLoaded()
{
    picEdit.resize(picLoad.width(), picLoad.height());
    PicWork.resize(picLoad.width(), picLoad.height());
    picEdit.clear();
    picEdit.bitBlt(picLoad, picLoad.width(), picLoad.height(), 0, 0);
}

void WorkSurfaces::keep(const QImage &picture)
{
    Surface result;
    result.setPicture(picture);
    PicWork.clear();
    PicWork.bitBlt(result, picture.width(), picture.height(), 0, 0);
    picEdit.clear();
    picEdit.bitBlt(PicWork, picture.width(), picture.height(), 0, 0);
}

Surface &WorkSurfaces::NewLoadPic(int w, int h)
{
    picOut1.reset();
    picOut1.emplace(w, h, kWorkBackground);
    return *picOut1;
}

} // namespace pv

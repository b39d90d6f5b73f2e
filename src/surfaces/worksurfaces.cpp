#include "surfaces/worksurfaces.h"

namespace pv {

Surface &WorkSurfaces::NewLoadPic(int w, int h)
{
    picOut1.reset();
    picOut1.emplace(w, h, kWorkBackground);
    return *picOut1;
}

} // namespace pv

#pragma once

#include "surfaces/work.h"

#include <QImage>
#include <QRectF>

namespace pv {

// Scales an image to outW x outH: RGB32, or one with alpha, averaged and
// returned premultiplied (ARGB32_Premultiplied). Along an axis
// that shrinks every output pixel is the area-weighted mean of the source
// pixels it covers; along an axis that grows, linear interpolation between
// pixel centres; an axis of equal size is copied. Weights sum exactly to one,
// so a uniform image stays uniform.
// Where the processor has AVX2, vector kernels give the same pixels as
// the plain ones (see vectorKernels).
[[nodiscard]] QImage resample(const QImage &src, int outW, int outH, const Work &work = {});

// The same for the part `region` of src, whose edges need not fall on
// pixel edges: a source pixel that it covers in part counts by the part
// covered. Only the top-left keepW x keepH of the result is made (keep
// defaults to all of it).
[[nodiscard]] QImage resampleRegion(const QImage &src, const QRectF &region, int outW, int outH,
                                    const Work &work = {}, int keepW = -1, int keepH = -1);

} // namespace pv

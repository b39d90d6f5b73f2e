#pragma once

#include <QImage>
#include <QRectF>

namespace pv {

// Scales an RGB32 image to outW x outH and returns the top-left
// keepW x keepH of the result (keep defaults to all of it). Along an axis
// that shrinks every output pixel is the area-weighted mean of the source
// pixels it covers; along an axis that grows, linear interpolation between
// pixel centres; an axis of equal size is copied. Weights sum exactly to one,
// so a uniform image stays uniform.
[[nodiscard]] QImage resample(const QImage &src, int outW, int outH, int keepW = -1, int keepH = -1);

// The same for the part `region` of src, whose edges need not fall on
// pixel edges: a source pixel that it covers in part counts by the part
// covered.
[[nodiscard]] QImage resampleRegion(const QImage &src, const QRectF &region, int outW, int outH, int keepW = -1,
                                    int keepH = -1);

// Where the processor has AVX2, resample uses vector kernels that give the
// same pixels as the plain ones; off, it uses the plain ones (for tests).
void useVectorKernels(bool on);

} // namespace pv

#pragma once

#include <QByteArray>

namespace pv {

// The ICC profile embedded in a PNG (iCCP), TIFF (tag 34675 of the first
// directory) or WebP (ICCP) file; empty when there is none or it is
// damaged. JPEG and BMP profiles are read by their decoders.
[[nodiscard]] QByteArray embeddedProfile(const QByteArray &file);

} // namespace pv

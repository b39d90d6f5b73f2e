#pragma once

#include <QByteArray>

namespace pv {

// The ICC profile embedded in a PNG (iCCP), TIFF (tag 34675 of the first
// directory) or WebP (ICCP) file; empty when there is none or it is
// damaged. JPEG and BMP profiles are read by their decoders.
[[nodiscard]] QByteArray embeddedProfile(const QByteArray &file);

// The profile readers of the format table's rows, for a file of their
// format: PNG's iCCP chunk before the first IDAT (deflated, at most 4 MiB
// inflated), TIFF's tag 34675 of the first directory, the ICCP chunk of an
// extended WebP file.
[[nodiscard]] QByteArray pngProfile(const QByteArray &file);
[[nodiscard]] QByteArray tiffProfile(const QByteArray &file);
[[nodiscard]] QByteArray webpProfile(const QByteArray &file);

} // namespace pv

#pragma once
// The metadata a user may choose to keep, read from an input file and
// written into an output with libexif (LGPL-2.1+, linked dynamically).
// Only what is chosen is ever written: never a position, maker notes, the
// camera's make and model, or a thumbnail.

#include <QByteArray>

namespace pv {

enum KeepMetadata : unsigned {
    KeepRights = 1,  // EXIF Artist and Copyright (XMP dc:creator, dc:rights where EXIF has none)
    KeepDate = 2,    // EXIF DateTimeOriginal
    KeepProfile = 4, // the ICC profile, the pixels left in its colours
};

// The EXIF block of a JPEG (APP1), PNG (eXIf), WebP (EXIF), HEIF or AVIF
// (the Exif item) or JPEG XL (the Exif box) file, as "Exif\0\0" and the
// TIFF structure; empty when there is none.
[[nodiscard]] QByteArray exifBlock(const QByteArray &file);
// The EXIF readers of the format table's rows, for a file of their format.
[[nodiscard]] QByteArray jpegExif(const QByteArray &file);
[[nodiscard]] QByteArray pngExif(const QByteArray &file);
[[nodiscard]] QByteArray webpExif(const QByteArray &file);
[[nodiscard]] QByteArray heifExif(const QByteArray &file);
[[nodiscard]] QByteArray jxlExif(const QByteArray &file);

// A fresh EXIF block ("Exif\0\0" and TIFF) holding only the tags of `file`
// that `keep` names, text tags alone; empty when there are none. Where the
// file's EXIF lacks Artist or Copyright, the first dc:creator and dc:rights
// of its XMP take their place.
[[nodiscard]] QByteArray keptExif(const QByteArray &file, unsigned keep);

// A PNG file with an eXIf chunk and an iCCP chunk (each when given) put
// right after its IHDR.
[[nodiscard]] QByteArray pngWithMetadata(const QByteArray &png, const QByteArray &exif, const QByteArray &icc);
// A WebP file with its EXIF and ICCP chunks (each when given) added.
[[nodiscard]] QByteArray webpWithMetadata(const QByteArray &webp, const QByteArray &exif, const QByteArray &icc);

} // namespace pv

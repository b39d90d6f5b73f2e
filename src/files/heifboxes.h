#pragma once
// The box structure of a HEIF or AVIF file (ISO/IEC 23008-12), read
// without a decoder: the size its primary image opens at, and whether the
// images it is made of stay within what a decoder is let follow. Every
// read is bounds-checked; any bytes give an answer.

#include "surfaces/fault.h"

#include <QByteArray>
#include <QSize>

#include <functional>
#include <optional>
#include <vector>

namespace pv {

// Derived images (identities, grids) reached one through another from the
// primary image. Real files go two deep at most (an identity that turns a
// grid of coded tiles); one more is headroom.
inline constexpr int kMaxHeifNesting = 3;
// Coded pictures one image is made of, tiles of its grids and of its alpha
// together: 4096 tiles of 512 x 512 (what phones write) cover the largest
// picture allowed.
inline constexpr int kMaxHeifTiles = 4096;
// The least side of a grid's tiles where it has more than one along that
// side: phones write 512, AVIF encoders 256 at least; 64 is HEVC's largest
// coding block. Smaller tiles only multiply the decoder's work.
inline constexpr int kMinHeifTileSide = 64;
// The largest side of a grid libheif 1.15 decodes: it refuses one whose side
// reaches its image size limit, 32768 by default (and reports that as an
// allocation error).
inline constexpr int kMaxHeifGridSide = 32767;
// The items and the metadata a file may hold; real ones hold a few hundred
// items in tens of kilobytes.
inline constexpr int kMaxHeifItems = 10000;
inline constexpr qint64 kMaxHeifMetaBytes = qint64(16) << 20;

// Thumbnails of the primary image (items that refer to it by thmb) looked
// at; files hold one or two.
inline constexpr int kMaxHeifThumbnails = 4;

// A thumbnail of the primary image that passed the same checks as it.
struct HeifThumbnail {
    quint32 item = 0;
    QSize size;            // as it opens: its own irot and clap applied
    qint64 decodeBytes = 0; // as HeifStructure's
};

struct HeifStructure {
    QSize size;            // the primary image as it opens: irot and clap applied
    int codedPictures = 0; // that its decode takes, with tiles and alpha
    // The memory libheif's decode takes at its peak, with the picture it
    // gives as 32-bit RGB: its YCbCr planes, its RGB conversion (through
    // 16-bit planes for deep samples) and the decoder's own state.
    qint64 decodeBytes = 0;
    // Of the first kMaxHeifThumbnails the file lists, those that pass the
    // checks, show the primary image's shape (heifShowsWhole) and take no
    // more memory to decode than it; a thumbnail that fails is left out,
    // the file is not refused for it.
    std::vector<HeifThumbnail> thumbnails;
};

// Whether a picture of `part` could be the whole of one of `whole`, made
// smaller: no side longer, the same orientation, and each side the other's
// scaled by the same factor, within a pixel's rounding.
[[nodiscard]] bool heifShowsWhole(QSize part, QSize whole);

// The smallest thumbnail at least `least` on both sides, or nothing.
[[nodiscard]] std::optional<HeifThumbnail> heifThumbnailFor(const HeifStructure &structure, QSize least);

// Up to `length` bytes of the file from `offset`: fewer where it ends.
using HeifReadAt = std::function<QByteArray(qint64 offset, qint64 length)>;

// The primary image's structure, or why a decoder must not be given the
// file: an image nested deeper than kMaxHeifNesting, an overlay anywhere
// under it, a grid of more than kMaxHeifTiles tiles, of tiles smaller than
// kMinHeifTileSide, of tiles that do not cover its size or that differ in
// size, bit depth, chroma or alpha; a box too short for what it holds.
[[nodiscard]] Made<HeifStructure> heifStructure(qint64 fileSize, const HeifReadAt &read);
[[nodiscard]] Made<HeifStructure> heifStructure(const QByteArray &file);

} // namespace pv

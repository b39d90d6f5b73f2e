#pragma once
// The framing steps on pictures: fitting into a box, padding onto a canvas
// of the background colour, cutting off a border of uniform colour.

#include "edit/framing.h"
#include "surfaces/work.h"

#include <QImage>

namespace pv {

// The picture after a framing step, and whether the step left it as it was
// (a picture that fits already, a canvas of its own size, no border or a
// picture all of one colour).
struct Framed {
    QImage picture;
    bool unchanged = false;
    bool uniform = false; // a border trim found the picture all of one colour
};

// Carries out `step` on `current` (RGB32, or premultiplied ARGB32 where
// transparency is kept): a fit or a pad scales the whole picture by area
// averaging, as the shrink does, and a pad lays it on its canvas; a border
// trim cuts off, from the checked edges, the rows and columns whose every
// channel lies within the threshold of the top-left pixel's.
[[nodiscard]] Framed applyFrame(const FrameStep &step, const QImage &current, Edges edges, const Work &work = {});

// The part of `picture` whose pixels differ from its top-left one by more
// than `threshold` levels in some channel; empty when none does.
[[nodiscard]] Cut differingPart(const QImage &picture, int threshold);

// Lays `scaled`, the picture scaled as `plan` says, at its place on the
// plan's canvas filled with `background` (ARGB; alpha 0: transparent, the
// result premultiplied). For a fit, the canvas is `scaled` itself.
[[nodiscard]] QImage placeOnCanvas(const QImage &scaled, const FramePlan &plan, QRgb background);

} // namespace pv

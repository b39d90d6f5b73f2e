#pragma once
// The geometry of the batch command's framing steps: fitting into a box,
// padding onto a canvas, cutting off a border of uniform colour. Pure
// functions over sizes; the pixels are the imaging layer's.

#include "edit/geometry.h"

#include <cstdint>

namespace pv {

enum class FrameKind { Fit, Pad, TrimBorder };

// One framing step as the command line gave it.
struct FrameStep {
    FrameKind kind = FrameKind::Fit;
    std::int64_t width = 0; // fit, pad: the box; 0 sets no limit on that side
    std::int64_t height = 0;
    int threshold = 0;                     // trim-border: levels, 0 to 255
    std::uint32_t background = 0xfff0f0f0; // pad's canvas, ARGB; alpha 0 is transparent
};

struct FrameSize {
    std::int64_t width = 0;
    std::int64_t height = 0;
    friend bool operator==(const FrameSize &, const FrameSize &) = default;
};

// The largest size within boxW x boxH (a side of 0 sets no limit) that keeps
// the proportions of width x height, never larger than it. The limiting
// side takes the box's value, the other round(other * box / limiting), an
// exact half to the even neighbour, at least 1. Where both sides limit
// equally the result is the box. A picture that fits already keeps its
// size.
[[nodiscard]] FrameSize fitSize(std::int64_t width, std::int64_t height, std::int64_t boxW, std::int64_t boxH);

// Where padding puts a width x height picture on a boxW x boxH canvas:
// fitted into it by fitSize, then placed at halfOffset of each leftover
// (odd leftovers as the centre crop places them).
struct PadPlacement {
    FrameSize fitted;
    std::int64_t left = 0;
    std::int64_t top = 0;
};
[[nodiscard]] PadPlacement padPlacement(std::int64_t width, std::int64_t height, std::int64_t boxW,
                                        std::int64_t boxH);

// What a fit or a pad does to a width x height picture, known from its size
// alone: the whole picture scaled to `scaled` and put at (left, top) of a
// `canvas` (for a fit the canvas is the scaled picture). `unchanged` when
// the result is the picture as it was, as for a border trim until its
// pixels are seen.
struct FramePlan {
    FrameSize scaled;
    FrameSize canvas;
    std::int64_t left = 0;
    std::int64_t top = 0;
    bool unchanged = true;
};
[[nodiscard]] FramePlan planFrame(const FrameStep &step, std::int64_t width, std::int64_t height);

// What a border trim keeps of a width x height picture whose pixels that
// differ from the border colour all lie in `content` (empty: none differ).
// Only the checked edges lose their border rows or columns. A picture with
// no differing pixel keeps all of itself, so the cut is never empty.
[[nodiscard]] Cut borderCut(std::int64_t width, std::int64_t height, const Cut &content, Edges edges);

} // namespace pv

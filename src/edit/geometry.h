#pragma once
// The geometry of each edit: which rectangle of the current image survives.
// All inputs are the values held in the edit state (16-bit); arithmetic is
// done in 64 bits so that nothing wraps.

#include <cstdint>

namespace pv {

struct Edges {
    bool up = false;
    bool down = false;
    bool left = false;
    bool right = false;
};

// A rectangle of the current image: its top-left corner and size.
struct Cut {
    std::int64_t left = 0;
    std::int64_t top = 0;
    std::int64_t width = 0;
    std::int64_t height = 0;
    [[nodiscard]] bool isEmpty() const { return width <= 0 || height <= 0; }
};

// Trimming d pixels off every checked edge of a width x height image.
// The result may be empty (width or height <= 0): the caller refuses it.
[[nodiscard]] Cut trimCut(std::int64_t width, std::int64_t height, std::int64_t d, Edges edges);

// Offset of a removal of `removal` pixels split over both edges: half of it,
// ties to even (removals 1, 3, 5 give 0, 2, 2).
[[nodiscard]] std::int64_t halfOffset(std::int64_t removal);

// A wantW x wantH rectangle out of the centre of a width x height image;
// odd differences put the extra pixel where halfOffset says.
[[nodiscard]] Cut centreCut(std::int64_t width, std::int64_t height, std::int64_t wantW,
                            std::int64_t wantH);

struct ShrinkPlan {
    std::int64_t margin = 0; // the margin the fitting search ended with
    Cut cut;                 // may be empty: the caller refuses it
};

// Shrinking a width x height image to wantW x wantH (1 <= want <= current)
// starting from margin (>= 0). The side with the smaller excess drives (ties
// go to the width): it loses 2 * margin, the other side gets the requested
// proportion of what is left, round((wantOther / wantDriving) * drivingCrop),
// and the margin rises one step at a time until that fits. The search never
// lowers the margin and takes at most width / 2 + 1 steps. The removals are
// then placed by the checked edges: both checked splits by halfOffset, one
// checked takes all of it from that edge, neither checked takes it from the
// right or the bottom.
[[nodiscard]] ShrinkPlan shrinkPlan(std::int64_t width, std::int64_t height, std::int64_t wantW,
                                    std::int64_t wantH, std::int64_t margin, Edges edges);

} // namespace pv

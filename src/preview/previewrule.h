#pragma once
// Which size the preview box shows an image at.

namespace pv {

inline constexpr int kPreviewLimit = 400;

struct PreviewSize {
    int width = 0;
    int height = 0;
    bool reduced = false;
};

// An image of w x h (both >= 1) is shown at actual size when neither side
// exceeds 400; otherwise its longer side becomes 400 and the other is
// round(short / long * 400), ties to even (a square counts as wide). The
// short side may round to 0, in which case nothing is drawn.
[[nodiscard]] PreviewSize previewSize(int w, int h);

} // namespace pv

#pragma once
// The off-screen surfaces the edits work on.

#include "surfaces/surface.h"

#include <optional>

namespace pv {

// Background of every work surface: the colour transparent pixels of a
// loaded picture show, and what a cleared surface holds.
inline constexpr QRgb kWorkBackground = 0xfff0f0f0;

struct WorkSurfaces {
    Surface picLoad{0, 0, kWorkBackground};  // the image as loaded; edits never write it
    Surface picEdit{0, 0, kWorkBackground};  // the current image at its top-left
    Surface PicWork{0, 0, kWorkBackground};  // scratch for an edit's result
    std::optional<Surface> picOut1;          // the output surface of the last save

    // picEdit and PicWork take picLoad's size, and picLoad is copied into
    // picEdit: the loaded picture is the current one again.
    void startFromLoaded();
    // The w x h current image at the top-left of picEdit; shares its pixels.
    [[nodiscard]] QImage current(int w, int h) const { return picEdit.block(0, 0, w, h); }
    // An edit's result becomes the current image: PicWork <- picture,
    // picEdit <- PicWork. Neither surface changes size.
    void keep(const QImage &picture);

    // Makes a blank output surface of w x h, replacing the one of an
    // earlier save.
    Surface &NewLoadPic(int w, int h);
};

} // namespace pv

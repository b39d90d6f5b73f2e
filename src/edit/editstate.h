#pragma once

#include "edit/rounding.h"

#include <cstdint>

namespace pv {

// The numbers every handler shares. Sizes are pixels; all start at zero.
struct EditState {
    std::int16_t intMotoYoko = 0;    // width as loaded
    std::int16_t intMotoTate = 0;    // height as loaded
    std::int16_t intEditYoko = 0;    // width of the current image
    std::int16_t intEditTate = 0;    // height of the current image
    std::int16_t intInYoko = 0;      // captured from txtYoko
    std::int16_t intInTate = 0;      // captured from txtTate
    std::int16_t intDotDelValue = 0; // captured from txtDotDelValue
    std::int16_t intReSizeValue = 0; // captured from txtReSizeValue; raised by a shrink

    // A picture of w x h was loaded (or restored): it is the loaded and the
    // current size.
    void setLoadedSize(std::int64_t w, std::int64_t h)
    {
        intMotoYoko = clamp16(w);
        intMotoTate = clamp16(h);
        intEditYoko = intMotoYoko;
        intEditTate = intMotoTate;
    }
};

} // namespace pv

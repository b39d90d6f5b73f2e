#pragma once
// The program's one rounding rule and the one way a ratio scales a size.

#include <cmath>
#include <cstdint>
#include <limits>

namespace pv {

// Nearest integer, an exact half going to the even neighbour
// (0.5 -> 0, 1.5 -> 2, 2.5 -> 2, -2.5 -> -2). Values beyond the int64 range
// saturate; NaN gives 0.
[[nodiscard]] inline std::int64_t roundHalfEven(double x)
{
    if (std::isnan(x))
        return 0;
    if (x >= 9.2e18)
        return std::numeric_limits<std::int64_t>::max();
    if (x <= -9.2e18)
        return std::numeric_limits<std::int64_t>::min();
    double r = std::floor(x);
    const double diff = x - r;
    if (diff > 0.5 || (diff == 0.5 && std::fmod(r, 2.0) != 0.0))
        r += 1.0;
    return static_cast<std::int64_t>(r);
}

// round((num / den) * side): the quotient is formed first in double
// precision, then multiplied. den must not be 0.
[[nodiscard]] inline std::int64_t scaleByRatio(std::int64_t num, std::int64_t den, std::int64_t side)
{
    const double quotient = static_cast<double>(num) / static_cast<double>(den);
    return roundHalfEven(quotient * static_cast<double>(side));
}

// round(num / den) computed exactly, an exact half going to the even
// neighbour: for a size derived from a ratio of two others, where a double
// quotient could land beside an exact half. den must be positive; num must
// be at least 0 and small enough that 2 * num fits (sides are 16-bit, so
// products of two sides do).
[[nodiscard]] inline std::int64_t roundedQuotient(std::int64_t num, std::int64_t den)
{
    const std::int64_t q = num / den;
    const std::int64_t twiceRest = 2 * (num % den);
    if (twiceRest > den || (twiceRest == den && q % 2 != 0))
        return q + 1;
    return q;
}

// The range every size and captured number is held in.
inline constexpr int kMaxValue16 = 32767;
inline constexpr int kMinValue16 = -32768;

[[nodiscard]] inline std::int16_t clamp16(std::int64_t v)
{
    if (v > kMaxValue16)
        return kMaxValue16;
    if (v < kMinValue16)
        return kMinValue16;
    return static_cast<std::int16_t>(v);
}

} // namespace pv

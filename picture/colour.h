// Colours of a picture: the viridis colour map (perceptually uniform, 256
// entries) for a matrix scaled as MATLAB's imagesc scales it, and the
// levels of a true-colour (M-by-N-by-3) array.
#pragma once

#include <array>
#include <cstdint>

namespace picture {

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb&) const = default;
};

// viridis, from its published table (CC0), each component rounded to 8 bits.
extern const std::array<Rgb, 256> kViridis;
// NaN's own colour: a mid grey, which viridis never takes.
inline constexpr Rgb kNaNColour{128, 128, 128};

// imagesc's colour limits: the least and greatest finite value, fed in any order.
struct ColourLimits {
    double lo = 0, hi = 0;
    bool any = false;
    void Add(double value);
};

// The colour of a value between the limits: lo the first entry, hi the
// last; beyond them (Inf included) the end's colour; equal limits the
// middle entry; NaN kNaNColour.
Rgb ScaledColour(double value, const ColourLimits& limits);

// A true-colour component as an 8-bit level: the value's place in [lo, hi]
// (the class's range: 0..255 for uint8, which keeps its value; 0..1 for
// double and single; an integer class's whole range), clamped; NaN is 0.
uint8_t Level(double value, double lo, double hi);

}  // namespace picture

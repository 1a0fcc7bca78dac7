// Axis ticks of a plot: round values (1, 2 or 5 times a power of ten)
// inside a range, with the shortest labels that still tell them apart.
#pragma once

#include <string>
#include <vector>

namespace picture {

struct Tick {
    double value;
    std::string label;
};

struct Axis {
    double lo = 0, hi = 1;   // the range drawn (a range of one value is widened)
    double step = 0;         // between ticks; 0 when the range allows one tick only
    std::vector<Tick> ticks;
};

// About `wanted` ticks (at least 2) inside [lo, hi], both finite; lo > hi is
// taken the other way round. Never more than 2 * wanted + 1 ticks, and none
// twice, whatever the magnitude (1e300, 1e-300, a span below the doubles'
// spacing).
Axis MakeAxis(double lo, double hi, int wanted = 5);

// The labels of the ticks: fixed-point with as many decimals as the step
// needs ("0.2", "1000"); scientific with the fewest digits that tell them
// apart where fixed text would be long ("1.5e+08", "2e-07").
void LabelTicks(Axis& axis);

// A number as plain text in the C locale (a host may set another):
// `decimals` after the point.
std::string FixedText(double value, int decimals);

}  // namespace picture

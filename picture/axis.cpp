#include "picture/axis.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace picture {

namespace {

// 10^exponent as the literal "1e<exponent>" reads: the nearest double.
// (MinGW's pow is off by an ulp for some powers, and a step of 1e-7 just
// above 1e-7 loses the tick at 4e-7.)
double PowerOfTen(int exponent) { return std::strtod(("1e" + std::to_string(exponent)).c_str(), nullptr); }

// 1, 2 or 5 times a power of ten, the least not below `raw` (> 0).
double RoundStep(double raw) {
    const double power = PowerOfTen(static_cast<int>(std::floor(std::log10(raw))));
    for (const double m : {1.0, 2.0, 5.0, 10.0}) {
        // A little slack: log10 of 0.3 / 3 need not land on a whole number.
        if (m * power >= raw * (1 - 1e-12)) return m * power;
    }
    return 10 * power;
}

std::string CharsText(double value, std::chars_format format, int precision) {
    char text[400];   // a fixed double below 1e300 with 17 decimals fits
    const std::to_chars_result r = std::to_chars(text, text + sizeof text, value, format, precision);
    return r.ec == std::errc() ? std::string(text, r.ptr) : std::string("?");
}

}  // namespace

std::string FixedText(double value, int decimals) { return CharsText(value, std::chars_format::fixed, decimals); }

Axis MakeAxis(double lo, double hi, int wanted) {
    Axis axis;
    if (!std::isfinite(lo) || !std::isfinite(hi)) return axis;
    if (lo > hi) std::swap(lo, hi);
    wanted = std::max(wanted, 2);
    if (lo == hi) {
        // One value: a range around it, as MATLAB widens a constant signal.
        const double delta = lo == 0 ? 1 : std::fabs(lo) / 10;
        lo -= delta;
        hi += delta;
    }
    axis.lo = lo;
    axis.hi = hi;
    // Halves first: hi - lo of two huge values of either sign overflows.
    const double raw = (hi / 2 - lo / 2) / (wanted / 2.0);
    const double step = raw > 0 && std::isfinite(raw) ? RoundStep(raw) : 0;
    if (!(step > 0) || !std::isfinite(step)) {
        axis.ticks.push_back({lo, std::string()});
        LabelTicks(axis);
        return axis;
    }
    axis.step = step;
    const double first = std::ceil(lo / step), last = std::floor(hi / step);
    // Counted, not stepped: where the step is below the doubles' spacing, k + 1 == k.
    const int most = 2 * wanted + 1;
    for (int i = 0; i <= last - first && i < most && axis.ticks.size() < static_cast<size_t>(most); ++i) {
        const double k = first + i;
        const double value = k == 0 ? 0.0 : k * step;   // never "-0"
        // Where the step is below the doubles' spacing, neighbours coincide.
        if (!axis.ticks.empty() && value <= axis.ticks.back().value) continue;
        if (value < lo || value > hi) continue;
        axis.ticks.push_back({value, std::string()});
    }
    if (axis.ticks.empty()) axis.ticks.push_back({lo, std::string()});
    LabelTicks(axis);
    return axis;
}

void LabelTicks(Axis& axis) {
    double largest = 0;
    for (const Tick& tick : axis.ticks) largest = std::max(largest, std::fabs(tick.value));
    const double step = axis.step > 0 ? axis.step : std::max(largest, 1.0);
    const int decimals = std::max(0, -static_cast<int>(std::floor(std::log10(step) + 1e-9)));
    const bool fixed = largest < 1e6 && decimals <= 5;
    for (int precision = fixed ? decimals : 0; precision <= 17; ++precision) {
        for (Tick& tick : axis.ticks) {
            tick.label = CharsText(tick.value, fixed ? std::chars_format::fixed : std::chars_format::scientific, precision);
        }
        bool apart = true;
        for (size_t i = 1; i < axis.ticks.size(); ++i) apart = apart && axis.ticks[i].label != axis.ticks[i - 1].label;
        if (apart) return;
    }
}

}  // namespace picture

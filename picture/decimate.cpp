#include "picture/decimate.h"

#include <algorithm>
#include <cmath>

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#endif

namespace picture {

Decimator::Decimator(size_t columns, double xlo, double xhi)
    : columns_(std::max<size_t>(columns, 1)), xlo_(xlo) {
    const double span = xhi - xlo;
    // One x for every sample (a single sample, a constant time vector): all in the first column.
    scale_ = span > 0 && std::isfinite(span) ? static_cast<double>(columns_.size()) / span : 0;
}

size_t Decimator::ColumnOf(double x) const {
    double at = (x - xlo_) * scale_;
    if (!(at >= 0)) at = 0;   // also an x below the range
    return std::min(static_cast<size_t>(std::min(at, 1e18)), columns_.size() - 1);
}

void Decimator::Add(double x, double y) {
    if (std::isnan(y) || std::isnan(x)) {
        gap_ = true;
        return;
    }
    Column& column = columns_[ColumnOf(x)];
    if (column.count == 0) {
        column.first = column.least = column.most = y;
        column.gapBefore = gap_;
    } else {
        column.least = std::min(column.least, y);
        column.most = std::max(column.most, y);
    }
    column.last = y;
    ++column.count;
    gap_ = false;
    if (std::isfinite(y)) {
        least_ = any_ ? std::min(least_, y) : y;
        most_ = any_ ? std::max(most_, y) : y;
        any_ = true;
    }
}

namespace {

// The least and greatest of ys[0..count), and whether every one is finite.
[[gnu::always_inline]] inline bool FiniteRangeOf(const double* ys, size_t count, double* least, double* most) {
    // Four lanes: no lane waits on the one before, and the compiler may use
    // vector registers. y - y is 0 for a finite y and NaN for NaN and Inf.
    double lo0 = ys[0], lo1 = ys[0], lo2 = ys[0], lo3 = ys[0];
    double hi0 = ys[0], hi1 = ys[0], hi2 = ys[0], hi3 = ys[0];
    double bad0 = 0, bad1 = 0, bad2 = 0, bad3 = 0;
    size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const double y0 = ys[i], y1 = ys[i + 1], y2 = ys[i + 2], y3 = ys[i + 3];
        lo0 = y0 < lo0 ? y0 : lo0;
        lo1 = y1 < lo1 ? y1 : lo1;
        lo2 = y2 < lo2 ? y2 : lo2;
        lo3 = y3 < lo3 ? y3 : lo3;
        hi0 = y0 > hi0 ? y0 : hi0;
        hi1 = y1 > hi1 ? y1 : hi1;
        hi2 = y2 > hi2 ? y2 : hi2;
        hi3 = y3 > hi3 ? y3 : hi3;
        bad0 += y0 - y0;
        bad1 += y1 - y1;
        bad2 += y2 - y2;
        bad3 += y3 - y3;
    }
    for (; i < count; ++i) {
        lo0 = ys[i] < lo0 ? ys[i] : lo0;
        hi0 = ys[i] > hi0 ? ys[i] : hi0;
        bad0 += ys[i] - ys[i];
    }
    *least = std::min(std::min(lo0, lo1), std::min(lo2, lo3));
    *most = std::max(std::max(hi0, hi1), std::max(hi2, hi3));
    return bad0 + bad1 + bad2 + bad3 == 0;
}

// A copy for AVX2 halves what a long plot costs beyond reading its values.
// The processor is asked on the first plot, not as the plug-in loads: the
// compiler's own dispatch asks it in a constructor, and each question
// costs a virtual machine some 10 microseconds.
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) bool FiniteRangeAvx2(const double* ys, size_t count, double* least, double* most) {
    return FiniteRangeOf(ys, count, least, most);
}

bool HasAvx2() {
    static const bool has = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (__get_cpuid_max(0, nullptr) < 7 || !__get_cpuid(1, &a, &b, &c, &d) || (c & bit_OSXSAVE) == 0 ||
            (c & bit_AVX) == 0) {
            return false;
        }
        // The system must save the AVX registers (XCR0: SSE and AVX state).
        unsigned low = 0, high = 0;
        __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
        if ((low & 6) != 6) return false;
        __cpuid_count(7, 0, a, b, c, d);
        return (b & bit_AVX2) != 0;
    }();
    return has;
}
#endif

bool FiniteRange(const double* ys, size_t count, double* least, double* most) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (HasAvx2()) return FiniteRangeAvx2(ys, count, least, most);
#endif
    return FiniteRangeOf(ys, count, least, most);
}

}  // namespace

void Decimator::AddRun(double firstX, const double* ys, size_t count) {
    size_t i = 0;
    while (i < count) {
        const double x = firstX + static_cast<double>(i);
        const size_t index = ColumnOf(x);
        // The run of samples that fall in this column: an estimate from the
        // column's right edge, settled by the same test Add makes.
        size_t run = count - i;
        if (scale_ > 0 && index + 1 < columns_.size()) {
            const double edge = xlo_ + static_cast<double>(index + 1) / scale_;
            run = static_cast<size_t>(std::clamp(std::ceil(edge - x), 1.0, static_cast<double>(count - i)));
            while (run > 1 && ColumnOf(x + static_cast<double>(run - 1)) != index) --run;
            while (i + run < count && ColumnOf(x + static_cast<double>(run)) == index) ++run;
        }
        double least = 0, most = 0;
        if (std::isnan(x) || !FiniteRange(ys + i, run, &least, &most)) {
            // NaN and Inf are rare: sample by sample, as Add takes them.
            for (size_t k = i; k < i + run; ++k) Add(firstX + static_cast<double>(k), ys[k]);
        } else {
            Column& column = columns_[index];
            if (column.count == 0) {
                column.first = ys[i];
                column.least = least;
                column.most = most;
                column.gapBefore = gap_;
            } else {
                column.least = std::min(column.least, least);
                column.most = std::max(column.most, most);
            }
            column.last = ys[i + run - 1];
            column.count += run;
            gap_ = false;
            least_ = any_ ? std::min(least_, least) : least;
            most_ = any_ ? std::max(most_, most) : most;
            any_ = true;
        }
        i += run;
    }
}

bool Decimator::Range(double* least, double* most) const {
    *least = least_;
    *most = most_;
    return any_;
}

std::vector<std::vector<Point>> Polylines(const std::vector<Column>& columns) {
    std::vector<std::vector<Point>> lines;
    bool joined = false;
    for (size_t i = 0; i < columns.size(); ++i) {
        const Column& column = columns[i];
        if (column.count == 0) continue;   // sparse samples: the line goes on past empty columns
        // A NaN inside a column joins the stretches around it through the
        // column's span (a pixel cannot show the gap anyway).
        if (!joined || column.gapBefore) lines.emplace_back();
        joined = true;
        const double x = static_cast<double>(i) + 0.5;
        const bool rising = column.last >= column.first;
        std::vector<Point>& line = lines.back();
        line.push_back({x, rising ? column.least : column.most});
        if (column.least != column.most) line.push_back({x, rising ? column.most : column.least});
    }
    return lines;
}

}  // namespace picture

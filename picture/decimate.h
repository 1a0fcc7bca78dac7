// A line of any length reduced to what a plot of `columns` pixel columns
// can show, in one pass: for each column the least and the greatest value
// (so a single-sample peak is never lost) and the first and last (to join
// the columns); a NaN breaks the line there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace picture {

struct Column {
    uint64_t count = 0;          // finite samples that fell in this column
    double first = 0, last = 0;  // in sample order
    double least = 0, most = 0;
    bool gapBefore = false;      // a NaN came between this column's first sample and the one before
};

class Decimator {
public:
    // Samples with x in [xlo, xhi] (the index 0 .. n-1, or a time vector's
    // values) fall into `columns` equal columns; columns >= 1.
    Decimator(size_t columns, double xlo, double xhi);

    // The next sample in order. Infinite values count as their sign's end
    // of the range drawn; NaN (or an x that is NaN) leaves a gap.
    void Add(double x, double y);
    // Samples ys[0..count) at x = firstX, firstX + 1, ...: the same as Add
    // for each, a column's run at a time (a plot of 10^8 values is held to
    // the speed of reading them).
    void AddRun(double firstX, const double* ys, size_t count);

    const std::vector<Column>& Columns() const { return columns_; }
    // The finite range of every sample so far; false when there was none.
    bool Range(double* least, double* most) const;

private:
    size_t ColumnOf(double x) const;
    std::vector<Column> columns_;
    double xlo_, scale_;
    bool gap_ = false;
    bool any_ = false;
    double least_ = 0, most_ = 0;
};

// One point of a polyline: a pixel column's x (its centre) and a value.
struct Point {
    double x, y;
};

// The path through the columns as polylines (one per unbroken stretch):
// at most two points per column, its least and greatest, in the order
// that leads from its first sample to its last.
std::vector<std::vector<Point>> Polylines(const std::vector<Column>& columns);

}  // namespace picture

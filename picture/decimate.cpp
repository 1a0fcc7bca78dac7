#include "picture/decimate.h"

#include <algorithm>
#include <cmath>

namespace picture {

Decimator::Decimator(size_t columns, double xlo, double xhi)
    : columns_(std::max<size_t>(columns, 1)), xlo_(xlo) {
    const double span = xhi - xlo;
    // One x for every sample (a single sample, a constant time vector): all in the first column.
    scale_ = span > 0 && std::isfinite(span) ? static_cast<double>(columns_.size()) / span : 0;
}

void Decimator::Add(double x, double y) {
    if (std::isnan(y) || std::isnan(x)) {
        gap_ = true;
        return;
    }
    double at = (x - xlo_) * scale_;
    if (!(at >= 0)) at = 0;   // also an x below the range
    const size_t index = std::min(static_cast<size_t>(std::min(at, 1e18)), columns_.size() - 1);
    Column& column = columns_[index];
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

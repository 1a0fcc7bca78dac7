#include "picture/grid.h"

#include <algorithm>

namespace picture {

namespace {

// [start, start + count) inside [0, size), as much of `wanted` as fits.
void Clip(uint64_t size, uint64_t start, uint64_t wanted, uint64_t* first, uint64_t* count) {
    *count = std::min(wanted, size);
    *first = std::min(start, size - *count);
}

}  // namespace

GridWindow Window(uint64_t m, uint64_t n, uint64_t top, uint64_t left, uint64_t viewRows, uint64_t viewColumns) {
    GridWindow window;
    if (m == 0 || n == 0) return window;
    Clip(m, top, viewRows, &window.firstRow, &window.rows);
    Clip(n, left, viewColumns, &window.firstColumn, &window.columns);
    if (window.rows == 0 || window.columns == 0) window = GridWindow{};
    return window;
}

std::vector<ElementRun> Runs(uint64_t m, const GridWindow& window) {
    std::vector<ElementRun> runs;
    runs.reserve(window.columns);
    for (uint64_t j = 0; j < window.columns; ++j) {
        runs.push_back({(window.firstColumn + j) * m + window.firstRow, window.rows});
    }
    return runs;
}

}  // namespace picture

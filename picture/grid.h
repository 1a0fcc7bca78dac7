// What a grid of numbers needs to read for the cells in sight: the rows and
// columns a viewport covers, clipped at the matrix's edges, and the element
// runs (column-major, one per column) that hold them. The lister formats
// the cells' text with the viewer's number format (objects/), which this
// layer does not reach.
#pragma once

#include <cstdint>
#include <vector>

namespace picture {

struct GridWindow {
    uint64_t firstRow = 0, rows = 0;        // rows [firstRow, firstRow + rows)
    uint64_t firstColumn = 0, columns = 0;  // columns [firstColumn, firstColumn + columns)
};

// The part of an m-by-n matrix a viewport of `viewRows` by `viewColumns`
// cells shows with (top, left) as its first cell. A viewport past an edge
// is moved back inside (the last rows or columns fill it); one larger than
// the matrix shows it whole.
GridWindow Window(uint64_t m, uint64_t n, uint64_t top, uint64_t left, uint64_t viewRows, uint64_t viewColumns);

// A column's cells in sight: `count` elements from element `first`.
struct ElementRun {
    uint64_t first, count;
};

// One run per column of the window, from its first column on.
std::vector<ElementRun> Runs(uint64_t m, const GridWindow& window);

}  // namespace picture

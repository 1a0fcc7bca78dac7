// The grid's cells of one variable as text, read a block at a time around
// the cell asked for: a scrolled grid reads only what comes into sight, so
// a matrix of 10^8 elements scrolls in a few hundred KB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lister/document.h"

namespace lister {

class GridCells {
public:
    GridCells(Document* document, size_t row);
    // A row vector stands as a column (a grid scrolls far down, not far
    // across); an N-d array's pages stand side by side.
    uint64_t Rows() const { return transposed_ ? n_ : m_; }      // 0 for a variable without a grid
    uint64_t Columns() const { return transposed_ ? m_ : n_; }

    // The cell (row, column) as shown, 0-based; "damaged" where it cannot be read.
    std::string Text(uint64_t row, uint64_t column);

private:
    bool Load(uint64_t row, uint64_t column);

    Document* document_;
    size_t variable_;
    uint64_t m_ = 0, n_ = 0;
    bool transposed_ = false;
    uint64_t firstRow_ = 0, rows_ = 0, firstColumn_ = 0, columns_ = 0;
    std::vector<double> cells_;   // column-major within the block
};

}  // namespace lister

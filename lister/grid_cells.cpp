// A block of cells read at a time: its columns are runs of elements.
#include "lister/grid_cells.h"

#include <utility>

#include "lister/plot_data.h"
#include "picture/grid.h"

namespace lister {

namespace {
constexpr uint64_t kBlockRows = 128, kBlockColumns = 32;
}

GridCells::GridCells(Document* document, size_t row) : document_(document), variable_(row) {
    const VariableRow& variable = document->Rows()[row];
    if (!HasDrawableValues(variable) || variable.dims.empty()) return;
    m_ = variable.dims[0];
    n_ = m_ == 0 ? 0 : variable.Elements() / m_;
    transposed_ = m_ == 1 && n_ > 1;
}


bool GridCells::Load(uint64_t row, uint64_t column) {
    if (row >= firstRow_ && row < firstRow_ + rows_ && column >= firstColumn_ && column < firstColumn_ + columns_) {
        return true;
    }
    const picture::GridWindow window =
        picture::Window(m_, n_, row - row % kBlockRows, column - column % kBlockColumns, kBlockRows, kBlockColumns);
    cells_.assign(window.rows * window.columns, 0.0);
    bool whole = true;
    const std::vector<picture::ElementRun> runs = picture::Runs(m_, window);
    for (size_t j = 0; j < runs.size(); ++j) {
        whole = document_->ReadValues(variable_, runs[j].first, static_cast<size_t>(runs[j].count), &cells_[j * window.rows]) && whole;
    }
    // A damaged block is read again when it is asked for again.
    firstRow_ = window.firstRow;
    rows_ = whole ? window.rows : 0;
    firstColumn_ = window.firstColumn;
    columns_ = whole ? window.columns : 0;
    return whole;
}

std::string GridCells::Text(uint64_t row, uint64_t column) {
    if (transposed_) std::swap(row, column);
    if (row >= m_ || column >= n_) return std::string();
    if (!Load(row, column)) return "damaged";
    return CellText(cells_[(column - firstColumn_) * rows_ + (row - firstRow_)], document_->Rows()[variable_].className);
}

}  // namespace lister

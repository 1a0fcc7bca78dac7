// A table laid out as MATLAB's command window shows it: the variable names
// over lines of underscores, then the rows in aligned columns.
#pragma once

#include <string>
#include <vector>

namespace matlib {

struct GridColumn {
    // How the texts of a column stand in it: numbers right-aligned, text
    // left-aligned, the texts of a cell array left-aligned inside braces
    // padded to one width ({'Li'   }).
    enum class Align { Right, Left, Braced };
    std::string name;
    Align align = Align::Left;
    // One entry per row shown; a row holds one text for each column of the
    // variable (a 5x2 matrix shows two side by side).
    std::vector<std::vector<std::string>> rows;
};

// The lines of the grid, without line ends or trailing blanks. `rowNames`
// (empty, or one per row shown) come first, under no heading.
std::vector<std::string> TableGridLines(const std::vector<std::string>& rowNames, const std::vector<GridColumn>& columns);

}  // namespace matlib

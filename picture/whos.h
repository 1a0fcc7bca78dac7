// The table of variables as MATLAB's whos lists them: Name, Size (in
// MATLAB's order, "3x4x2"), Bytes, Class, Attributes; sortable by each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace picture {

struct WhosRow {
    std::string name;
    std::vector<uint64_t> dimensions;
    uint64_t bytes = 0;
    std::string className;    // "double", "struct", "table" ...
    std::string attributes;   // "global", "complex", "sparse", comma-separated as whos shows them
    uint64_t place = 0;       // its place in the file: what a sorted row is found again by
};

enum class WhosColumn { Name, Size, Bytes, Class, Attributes };

// "3x4", "1x1", "0x0", "2x3x4".
std::string SizeText(const std::vector<uint64_t>& dimensions);

// Stable: rows equal in the column keep their order. Names compare as
// whos orders them (case aside first, then case); sizes by their element
// count, then dimension by dimension.
void SortWhos(std::vector<WhosRow>& rows, WhosColumn column, bool ascending = true);

}  // namespace picture

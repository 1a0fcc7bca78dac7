// Each column is as wide as its name or its widest row, whichever is wider;
// the name and the block of rows are centred in it (an odd blank goes to
// the right), four blanks between columns and before the first.
#include "objects/table_grid.h"

#include <algorithm>

namespace matlib {
namespace {

constexpr const char* kGap = "    ";

// Characters, not bytes: a UTF-8 text's width on screen.
size_t Width(const std::string& text) {
    size_t width = 0;
    for (unsigned char ch : text) width += (ch & 0xC0) != 0x80 ? 1 : 0;
    return width;
}

std::string PadRight(const std::string& text, size_t width) {
    const size_t w = Width(text);
    return w < width ? text + std::string(width - w, ' ') : text;
}

std::string PadLeft(const std::string& text, size_t width) {
    const size_t w = Width(text);
    return w < width ? std::string(width - w, ' ') + text : text;
}

std::string Centred(const std::string& text, size_t width) {
    const size_t w = Width(text);
    if (w >= width) return text;
    const size_t left = (width - w) / 2;
    return std::string(left, ' ') + text + std::string(width - w - left, ' ');
}

// The column's rows as texts of one width.
std::vector<std::string> Block(const GridColumn& column) {
    size_t partWidth = 0;
    for (const auto& parts : column.rows) {
        for (const std::string& part : parts) partWidth = std::max(partWidth, Width(part));
    }
    std::vector<std::string> block;
    for (const auto& parts : column.rows) {
        std::string line;
        for (size_t k = 0; k < parts.size(); ++k) {
            if (k) line += kGap;
            switch (column.align) {
                case GridColumn::Align::Right: line += PadLeft(parts[k], partWidth); break;
                case GridColumn::Align::Left: line += PadRight(parts[k], partWidth); break;
                case GridColumn::Align::Braced: line += "{" + PadRight(parts[k], partWidth) + "}"; break;
            }
        }
        block.push_back(line);
    }
    size_t blockWidth = 0;
    for (const std::string& line : block) blockWidth = std::max(blockWidth, Width(line));
    for (std::string& line : block) line = PadRight(line, blockWidth);
    return block;
}

void TrimRight(std::string& line) {
    while (!line.empty() && line.back() == ' ') line.pop_back();
}

}  // namespace

std::vector<std::string> TableGridLines(const std::vector<std::string>& rowNames, const std::vector<GridColumn>& columns) {
    size_t rows = rowNames.size();
    for (const GridColumn& column : columns) rows = std::max(rows, column.rows.size());
    std::string heads = kGap, rules = kGap;
    std::vector<std::string> lines(rows, kGap);
    if (!rowNames.empty()) {
        size_t width = 0;
        for (const std::string& name : rowNames) width = std::max(width, Width(name));
        heads += std::string(width, ' ') + kGap;
        rules += std::string(width, ' ') + kGap;
        for (size_t r = 0; r < rows; ++r) lines[r] += PadRight(r < rowNames.size() ? rowNames[r] : "", width) + kGap;
    }
    for (size_t c = 0; c < columns.size(); ++c) {
        const std::vector<std::string> block = Block(columns[c]);
        size_t width = Width(columns[c].name);
        for (const std::string& line : block) width = std::max(width, Width(line));
        const char* gap = c + 1 < columns.size() ? kGap : "";
        heads += Centred(columns[c].name, width) + gap;
        rules += std::string(width, '_') + gap;
        for (size_t r = 0; r < rows; ++r) lines[r] += Centred(r < block.size() ? block[r] : "", width) + gap;
    }
    std::vector<std::string> out = {heads, rules, ""};
    for (std::string& line : lines) out.push_back(std::move(line));
    for (std::string& line : out) TrimRight(line);
    return out;
}

}  // namespace matlib

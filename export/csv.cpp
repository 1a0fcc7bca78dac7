// CSV and TSV: a matrix as rows of separated numbers; an array of more
// dimensions as its pages, each after a line naming it ("(:,:,2)"); a
// character matrix as one quoted text per row.
#include <string>

#include "export/writers.h"

namespace exporting {

namespace {

void PutQuoted(const std::u16string& row, Output& out) {
    std::string text;
    AppendUtf16(reinterpret_cast<const uint16_t*>(row.data()), row.size(), text);
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += "\"\n";
    out.Put(quoted);
}

// "(:,:,2,1)": the subscripts of page p after the first two dimensions, in
// quotes in a CSV file (a reader would split it at its commas).
std::string PageLine(const mwSize* dims, size_t ndims, uint64_t page, char separator) {
    const char* quote = separator == ',' ? "\"" : "";
    std::string line = std::string(quote) + "(:,:";
    for (size_t d = 2; d < ndims; ++d) {
        line += ',' + std::to_string(page % dims[d] + 1);
        page /= dims[d];
    }
    return line + ")" + quote + "\n";
}

}  // namespace

void WriteDelimited(const mxArray* array, char separator, Output& out) {
    if (mxGetClassID(array) == mxCHAR_CLASS) {
        std::vector<std::u16string> rows;
        if (!CharRows(array, &rows)) return out.FailRead();
        for (const std::u16string& row : rows) PutQuoted(row, out);
        out.Advance(mxGetNumberOfElements(array));
        return;
    }
    const size_t ndims = mxGetNumberOfDimensions(array);
    const mwSize* dims = mxGetDimensions(array);
    const uint64_t m = dims[0], n = ndims > 1 ? dims[1] : 1;
    const uint64_t pageSize = m * n, total = mxGetNumberOfElements(array);
    const uint64_t pages = pageSize == 0 ? 0 : total / pageSize;
    Values values(array);
    const bool logical = mxGetClassID(array) == mxLOGICAL_CLASS;
    std::string line;
    for (uint64_t page = 0; page < pages && !out.Failed(); ++page) {
        if (ndims > 2) out.Put(PageLine(dims, ndims, page, separator));
        const bool whole = ForEachRowBlock(values, page * pageSize, m, n, [&](uint64_t, uint64_t rows, uint64_t column,
                                                                                uint64_t columns) {
            for (uint64_t r = 0; r < rows; ++r) {
                line.clear();
                for (uint64_t j = 0; j < columns; ++j) {
                    if (column + j > 0) line += separator;
                    const size_t k = static_cast<size_t>(rows == 1 ? j : j * rows + r);
                    if (logical) {
                        line += values.IsTrue(k) ? '1' : '0';
                    } else {
                        values.Text(k, line, true);
                    }
                }
                if (column + columns == n) line += '\n';
                out.Put(line);
            }
            out.Advance(rows * columns);
        });
        if (!whole) out.FailRead();
    }
}

}  // namespace exporting

// CSV and TSV: a matrix as rows of separated numbers; an array of more
// dimensions as its pages, each after a line naming it ("(:,:,2)"); a
// character matrix as one quoted text per row.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

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

// Rows [from, to) of a block of real doubles (column-major, `rows` rows from
// column `column`) as text in `text` (grown as needed, kept from call to
// call, as `strip`); returns its length. A strip of a few rows is first gathered
// row-major, so that each cache line of the block is loaded once per strip,
// not once per row.
size_t FormatDoubleRows(const std::vector<double>& block, uint64_t rows, uint64_t from, uint64_t to, uint64_t column,
                        uint64_t columns, bool lastPiece, char separator, std::vector<char>& text,
                        std::vector<double>& strip) {
    constexpr uint64_t kStrip = 8;
    if (strip.size() < kStrip * columns) strip.resize(static_cast<size_t>(kStrip * columns));
    const size_t room = static_cast<size_t>((to - from) * (columns * (kDoubleTextRoom + 1) + 1));
    if (text.size() < room) text.resize(room);
    char* at = text.data();
    for (uint64_t r0 = from; r0 < to; r0 += kStrip) {
        const uint64_t height = std::min(kStrip, to - r0);
        for (uint64_t j = 0; j < columns; ++j) {
            const double* source = block.data() + j * rows + r0;
            for (uint64_t i = 0; i < height; ++i) strip[i * columns + j] = source[i];
        }
        for (uint64_t i = 0; i < height; ++i) {
            const double* row = strip.data() + i * columns;
            for (uint64_t j = 0; j < columns; ++j) {
                if (column + j > 0) *at++ = separator;
                at = PutDouble(row[j], false, at);
            }
            if (lastPiece) *at++ = '\n';
        }
    }
    return static_cast<size_t>(at - text.data());
}

// What a thread makes a segment in: kept from block to block (fresh memory
// costs its page faults), with the segment's length and any failure.
struct SegmentText {
    std::vector<char> text;
    std::vector<double> strip;
    size_t bytes = 0;
    bool failed = false;
};

// The rows of a block of real doubles. Making a double's shortest text is
// most of a CSV file's time: segments of rows are made on two threads, the
// odd ones on a second thread while this one makes the even ones and puts
// the finished ones out in order.
void PutDoubleRows(const std::vector<double>& block, uint64_t rows, uint64_t column, uint64_t columns, bool lastPiece,
                   char separator, SegmentText (&texts)[3], Output& out) {
    constexpr uint64_t kSegmentValues = uint64_t{1} << 16;
    const uint64_t segment = std::max<uint64_t>(1, kSegmentValues / columns);
    const uint64_t segments = (rows + segment - 1) / segment;
    // texts[0] takes the even segments; the odd segment k goes to
    // texts[1 + (k / 2) % 2], one being made while the other is put out.
    // Segment k into texts[t]; a failure is kept for the caller's thread.
    const auto make = [&](int t, uint64_t k) noexcept {
        SegmentText& into = texts[t];
        try {
            const uint64_t from = k * segment, to = std::min(rows, from + segment);
            into.bytes = FormatDoubleRows(block, rows, from, to, column, columns, lastPiece, separator, into.text,
                                          into.strip);
        } catch (const std::bad_alloc&) {
            into.failed = true;
        }
    };
    std::thread helper;
    // Starts odd segment k on the helper, or makes it here where no thread can be had.
    const auto startOdd = [&](uint64_t k) {
        const int t = 1 + static_cast<int>((k / 2) % 2);
        try {
            helper = std::thread(make, t, k);
        } catch (const std::system_error&) {
            make(t, k);
        }
    };
    const auto put = [&](int t) {
        if (texts[t].failed) {
            if (helper.joinable()) helper.join();
            throw std::bad_alloc();
        }
        out.Put(std::string_view(texts[t].text.data(), texts[t].bytes));
    };
    if (segments > 1) startOdd(1);
    for (uint64_t k = 0; k < segments; k += 2) {
        make(0, k);
        put(0);
        if (k + 1 >= segments) break;
        if (helper.joinable()) helper.join();
        if (k + 3 < segments) startOdd(k + 3);
        put(1 + static_cast<int>(((k + 1) / 2) % 2));
        if (out.Failed()) break;
    }
    if (helper.joinable()) helper.join();
}

}  // namespace

// "(:,:,2,1)": the subscripts of page p after the first two dimensions, in
// quotes (a CSV reader would split it at its commas), in TSV too, so that
// the readers of both (csv, pandas) give the same one cell.
std::string PageLine(const mwSize* dims, size_t ndims, uint64_t page) {
    std::string line = "\"(:,:";
    for (size_t d = 2; d < ndims; ++d) {
        line += ',' + std::to_string(page % dims[d] + 1);
        page /= dims[d];
    }
    return line + ")\"\n";
}

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
    Values values(array, out.Destination());
    const bool logical = mxGetClassID(array) == mxLOGICAL_CLASS;
    const bool realDoubles = mxGetClassID(array) == mxDOUBLE_CLASS && !mxIsComplex(array);
    std::string line;
    SegmentText texts[3];
    for (uint64_t page = 0; page < pages && !out.Failed(); ++page) {
        if (ndims > 2) out.Put(PageLine(dims, ndims, page));
        const bool whole = ForEachRowBlock(values, out, page * pageSize, m, n, [&](uint64_t, uint64_t rows, uint64_t column,
                                                                                uint64_t columns) {
            if (realDoubles) {
                PutDoubleRows(values.real, rows, column, columns, column + columns == n, separator, texts, out);
                out.Advance(rows * columns);
                return;
            }
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

// One writer per format; each streams the array into the output and leaves
// the outcome in it (Output::Failed).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "export/output.h"

namespace exporting {

void WriteDelimited(const mxArray* array, char separator, Output& out);
void WriteNpy(const mxArray* array, Output& out);
void WriteJson(const mxArray* array, Output& out, const Prepared* prepared);
// The lines of values the format writes for a sparse matrix (0 when it
// is damaged): its stored values, a pattern's true ones (a pass over them).
uint64_t SparseLines(const mxArray* array, Format format);
// A sparse matrix's stored values, one line each: Matrix Market's
// coordinate format, or CSV/TSV under a header. Progress counts lines. The
// reader that counted the lines goes on to write them: a compressed
// element is not inflated from its start again for the count.
class SparseLineWriter {
public:
    SparseLineWriter(const mxArray* array, Format format);   // throws std::bad_alloc
    ~SparseLineWriter();
    SparseLineWriter(const SparseLineWriter&) = delete;
    SparseLineWriter& operator=(const SparseLineWriter&) = delete;

    uint64_t Lines() const { return lines_; }   // SparseLines's count
    void WriteMtx(Output& out);
    void WriteDelimited(char separator, Output& out);

private:
    void PutLines(char separator, bool csvComplex, bool pattern, Output& out);
    const mxArray* array_;
    mxSparseReader* reader_;
    uint64_t lines_ = 0;
};
void WritePng(const mxArray* array, Output& out);
// `title`: the variable's name, over the plot.
void WriteSvg(const mxArray* array, const std::string& title, Output& out);
// An M-by-N-by-3 array: a PNG of its own colours, not a scaled picture.
bool IsTrueColour(const mxArray* array);
// A struct, cell or object (what JSON writes by what it holds).
bool IsContainer(const mxArray* array);

// Tables, and arrays of texts, datetimes, durations and categories: why the
// format (CSV, TSV or NPY) cannot take the array, or empty; and their writers.
// `prepared`: the variable read already (or null).
std::string FieldsRefusal(Format format, const mxArray* array, Prepared* prepared);
void WriteFieldsDelimited(const mxArray* array, const Prepared* prepared, char separator, Output& out);
void WriteFieldsNpy(const mxArray* array, const Prepared* prepared, Output& out);

// The line before page `page` of an array of more than two dimensions in
// CSV and TSV: "(:,:,2,1)", quoted.
std::string PageLine(const mwSize* dims, size_t ndims, uint64_t page);
// NPY's header of an array of that dtype and shape ("(2, 3)", fortran order).
void PutNpyHeader(const std::string& descr, const std::string& shape, Output& out);
std::string NpyShape(const mwSize* dims, size_t ndims);

// Passes over the m x n matrix that starts at element `base` row by row in
// bounded memory: `take` gets a block of `rows` whole rows from `row`
// (values.real ... column-major within the block: element (r, j) in slot
// j * rows + r), or, for rows too long for one block, one row in pieces of
// columns [column, column + columns) (slot j - column). False on damage
// or once `out` failed (a Cancel).
using BlockFn = std::function<void(uint64_t row, uint64_t rows, uint64_t column, uint64_t columns)>;
bool ForEachRowBlock(Values& values, Output& out, uint64_t base, uint64_t m, uint64_t n, const BlockFn& take);

}  // namespace exporting

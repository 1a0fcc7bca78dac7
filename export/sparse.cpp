// Sparse matrices as their stored values with their places, one line each,
// 1-based, column after column as MATLAB keeps them: Matrix Market's
// coordinate format (as scipy.io.mmwrite writes it: "real", "complex", or
// "pattern" for a logical matrix) and CSV/TSV lines "row,col,value" under a
// header.
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "export/writers.h"

namespace exporting {

namespace {

// A sparse matrix's reader, closed at the end of its scope.
struct Reader {
    explicit Reader(const mxArray* array) : reader(mxOpenSparseReader(array)) {
        if (reader == nullptr) throw std::bad_alloc();
    }
    ~Reader() { mxCloseSparseReader(reader); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    mxSparseReader* reader;
};

// The values read in one batch.
struct Batch {
    static constexpr size_t kSize = size_t{1} << 14;   // 2 MB of text at most
    std::vector<uint64_t> rows = std::vector<uint64_t>(kSize), columns = std::vector<uint64_t>(kSize);
    std::vector<double> real = std::vector<double>(kSize), imag;
};

// A pattern keeps only where the values are: a stored false (which MATLAB
// never stores, but a file may) is left out rather than written as true.
// Counted in a pass of its own: the count comes before the lines. False on damage.
bool CountTrue(const mxArray* array, uint64_t* count) {
    Reader values(array);
    Batch batch;
    *count = 0;
    for (size_t n; (n = mxReadSparse(values.reader, Batch::kSize, batch.rows.data(), batch.columns.data(),
                                     batch.real.data(), nullptr)) > 0;) {
        for (size_t k = 0; k < n; ++k) *count += batch.real[k] != 0 ? 1 : 0;
    }
    mxReadSparse(values.reader, 0, nullptr, nullptr, nullptr, nullptr);
    return !mxSparseDamaged(values.reader);
}

char* PutIndex(uint64_t index, char* at) { return std::to_chars(at, at + 24, index).ptr; }

// Value k of the batch: a logical one as 1 or 0; a complex one as "a+bi"
// (CSV's complex form) or "a b" (Matrix Market's).
char* PutValue(const Batch& batch, size_t k, bool logical, bool complex, bool csvComplex, char* at) {
    if (logical) {
        *at++ = batch.real[k] != 0 ? '1' : '0';
        return at;
    }
    at = PutDouble(batch.real[k], false, at);
    if (!complex) return at;
    const double imag = batch.imag[k];
    if (!csvComplex) {
        *at++ = ' ';
        return PutDouble(imag, false, at);
    }
    if (!std::signbit(imag) || std::isnan(imag)) *at++ = '+';
    at = PutDouble(imag, false, at);
    *at++ = 'i';
    return at;
}

}  // namespace

uint64_t SparseLines(const mxArray* array, Format format) {
    uint64_t count = 0;
    if (format == Format::Mtx && mxIsLogical(array)) return CountTrue(array, &count) ? count : 0;
    return mxSparseStored(Reader(array).reader);
}

SparseLineWriter::SparseLineWriter(const mxArray* array, Format format) : array_(array), reader_(mxOpenSparseReader(array)) {
    if (reader_ == nullptr) throw std::bad_alloc();
    // A pattern's count is a pass of its own; any other is the stored
    // values' count, which the reader has read on its way to their parts.
    lines_ = format == Format::Mtx && mxIsLogical(array) ? SparseLines(array, format) : mxSparseStored(reader_);
}

SparseLineWriter::~SparseLineWriter() { mxCloseSparseReader(reader_); }

// Every stored value's line: "row<sep>col<sep>value" (no value for a
// pattern, which leaves out stored falses), batch after batch between
// progress reports. Damage met on the way fails the export.
void SparseLineWriter::PutLines(char separator, bool csvComplex, bool pattern, Output& out) {
    constexpr size_t kLineRoom = 2 * 24 + 2 * kDoubleTextRoom + 8;
    const bool logical = mxIsLogical(array_), complex = mxIsComplex(array_);
    Batch batch;
    if (complex) batch.imag.resize(Batch::kSize);
    std::string text(Batch::kSize * kLineRoom, '\0');
    for (size_t n; (n = mxReadSparse(reader_, Batch::kSize, batch.rows.data(), batch.columns.data(), batch.real.data(),
                                     complex ? batch.imag.data() : nullptr)) > 0;) {
        char* at = text.data();
        size_t lines = 0;
        for (size_t k = 0; k < n; ++k) {
            if (pattern && batch.real[k] == 0) continue;
            ++lines;
            at = PutIndex(batch.rows[k] + 1, at);
            *at++ = separator;
            at = PutIndex(batch.columns[k] + 1, at);
            if (!pattern) {
                *at++ = separator;
                at = PutValue(batch, k, logical, complex, csvComplex, at);
            }
            *at++ = '\n';
        }
        out.Put(std::string_view(text.data(), static_cast<size_t>(at - text.data())));
        out.Advance(lines);
        if (out.Failed()) return;   // a Cancel is answered at once
    }
    mxReadSparse(reader_, 0, nullptr, nullptr, nullptr, nullptr);
    if (mxSparseDamaged(reader_)) out.FailRead();
}

void SparseLineWriter::WriteMtx(Output& out) {
    const bool pattern = mxIsLogical(array_);
    const char* field = pattern ? "pattern" : mxIsComplex(array_) ? "complex" : "real";
    // scipy's banner and its empty comment line, then the sizes.
    out.Put(std::string("%%MatrixMarket matrix coordinate ") + field + " general\n%\n" + std::to_string(mxGetM(array_)) + ' ' +
            std::to_string(mxGetN(array_)) + ' ' + std::to_string(lines_) + '\n');
    PutLines(' ', false, pattern, out);
}

void SparseLineWriter::WriteDelimited(char separator, Output& out) {
    out.Put(std::string("row") + separator + "col" + separator + "value\n");
    PutLines(separator, true, false, out);
}

}  // namespace exporting

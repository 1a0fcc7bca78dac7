// Sparse matrices as their stored values with their places, one line each,
// 1-based, column after column as MATLAB keeps them: Matrix Market's
// coordinate format (as scipy.io.mmwrite writes it: "real", "complex", or
// "pattern" for a logical matrix) and CSV/TSV lines "row,col,value" under a
// header.
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "export/writers.h"

namespace exporting {

namespace {

// The decoded parts of a sparse matrix (MATLAB keeps double and logical
// ones: values one double or one byte each).
struct SparseParts {
    const mwIndex* jc = nullptr;
    const mwIndex* ir = nullptr;
    const double* real = nullptr;
    const double* imag = nullptr;
    const uint8_t* truth = nullptr;   // a logical matrix's values
    uint64_t rows = 0, columns = 0, stored = 0;
};

// False when the parts cannot be decoded (damage) or are of a class a
// sparse matrix does not hold.
bool Decode(const mxArray* array, SparseParts& parts) {
    const mxClassID id = mxGetClassID(array);
    if (!mxIsSparse(array) || mxGetNumberOfDimensions(array) != 2 || (id != mxDOUBLE_CLASS && id != mxLOGICAL_CLASS)) {
        return false;
    }
    parts.rows = mxGetM(array);
    parts.columns = mxGetN(array);
    parts.jc = mxGetJc(array);
    if (parts.jc == nullptr) return false;
    // The decode checked that jc rises to at most the row indexes and
    // values it read: its last is the count of stored values.
    parts.stored = parts.jc[parts.columns];
    if (parts.stored == 0) return true;
    parts.ir = mxGetIr(array);
    const void* real = mxGetPr(array);
    if (parts.ir == nullptr || real == nullptr) return false;
    if (id == mxLOGICAL_CLASS) {
        parts.truth = static_cast<const uint8_t*>(real);
        return true;
    }
    parts.real = static_cast<const double*>(real);
    if (mxIsComplex(array)) {
        parts.imag = static_cast<const double*>(mxGetPi(array));
        if (parts.imag == nullptr) return false;
    }
    return true;
}

// A pattern keeps only where the values are: a stored false (which MATLAB
// never stores, but a file may) is left out rather than written as true.
uint64_t TrueCount(const SparseParts& parts) {
    uint64_t count = 0;
    for (uint64_t k = 0; k < parts.stored; ++k) count += parts.truth[k] != 0 ? 1 : 0;
    return count;
}

char* PutIndex(uint64_t index, char* at) { return std::to_chars(at, at + 24, index).ptr; }

// Where the value of slot k goes: a logical one as 1 or 0; a complex one
// as "a+bi" (CSV's complex form) or "a b" (Matrix Market's).
char* PutValue(const SparseParts& parts, uint64_t k, bool csvComplex, char* at) {
    if (parts.truth != nullptr) {
        *at++ = parts.truth[k] != 0 ? '1' : '0';
        return at;
    }
    at = PutDouble(parts.real[k], false, at);
    if (parts.imag == nullptr) return at;
    const double imag = parts.imag[k];
    if (!csvComplex) {
        *at++ = ' ';
        return PutDouble(imag, false, at);
    }
    if (!std::signbit(imag) || std::isnan(imag)) *at++ = '+';
    at = PutDouble(imag, false, at);
    *at++ = 'i';
    return at;
}

// Every stored value's line: "row<sep>col<sep>value" (no value for a
// pattern, which leaves out stored falses), in pieces between progress reports.
void PutLines(const SparseParts& parts, char separator, bool csvComplex, bool pattern, Output& out) {
    constexpr size_t kLineRoom = 2 * 24 + 2 * kDoubleTextRoom + 8;
    constexpr uint64_t kStep = 1 << 14;   // 2 MB of text at most
    std::string text(static_cast<size_t>(kStep) * kLineRoom, '\0');
    uint64_t column = 0, k = 0;
    while (k < parts.stored) {
        char* at = text.data();
        const uint64_t end = std::min(parts.stored, k + kStep), count = end - k;
        for (; k < end; ++k) {
            while (parts.jc[column + 1] <= k) ++column;
            if (pattern && parts.truth[k] == 0) continue;
            at = PutIndex(parts.ir[k] + 1, at);
            *at++ = separator;
            at = PutIndex(column + 1, at);
            if (!pattern) {
                *at++ = separator;
                at = PutValue(parts, k, csvComplex, at);
            }
            *at++ = '\n';
        }
        out.Put(std::string_view(text.data(), static_cast<size_t>(at - text.data())));
        out.Advance(count);
        if (out.Failed()) return;   // a Cancel is answered at once
    }
}

}  // namespace

uint64_t SparseLines(const mxArray* array, Format format) {
    SparseParts parts;
    if (!Decode(array, parts)) return 0;
    return format == Format::Mtx && parts.truth != nullptr ? TrueCount(parts) : parts.stored;
}

void WriteSparseMtx(const mxArray* array, Output& out) {
    SparseParts parts;
    if (!Decode(array, parts)) return out.FailRead();
    const bool pattern = parts.truth != nullptr;
    const char* field = pattern ? "pattern" : parts.imag != nullptr ? "complex" : "real";
    // scipy's banner and its empty comment line, then the sizes.
    out.Put(std::string("%%MatrixMarket matrix coordinate ") + field + " general\n%\n" + std::to_string(parts.rows) +
            ' ' + std::to_string(parts.columns) + ' ' + std::to_string(pattern ? TrueCount(parts) : parts.stored) +
            '\n');
    PutLines(parts, ' ', false, pattern, out);
}

void WriteSparseDelimited(const mxArray* array, char separator, Output& out) {
    SparseParts parts;
    if (!Decode(array, parts)) return out.FailRead();
    out.Put(std::string("row") + separator + "col" + separator + "value\n");
    PutLines(parts, separator, true, false, out);
}

}  // namespace exporting

// Version 4 matrices: five 32-bit words (type M*1000+O*100+P*10+T, rows,
// columns, imaginary flag, name length), the name, the real part, the
// imaginary part. MATLAB loads every version 4 matrix as double (or char for
// text), whatever precision it was stored with, and so does this reader.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "codec/convert.h"
#include "codec/element_writer.h"
#include "codec/mat_format.h"
#include "codec/readers.h"

namespace matlib {
namespace {

using namespace format;

struct V4Header {
    uint32_t machine, precision, type;
    uint32_t rows, cols, imagf, nameLength;
};

bool DecodeTypeWord(uint32_t word, V4Header& h) {
    if (word >= 10000) return false;
    h.machine = word / 1000;
    uint32_t o = (word / 100) % 10;
    h.precision = (word / 10) % 10;
    h.type = word % 10;
    return o == 0 && h.machine <= kV4MachineMax && h.precision <= kV4UInt8 && h.type <= kV4Sparse;
}

// Every field checked: type digits, IEEE machine code matching the byte
// order, imaginary flag 0 or 1, a name length that a name can have.
bool ParseHeader(const uint8_t* bytes, bool swapped, V4Header& h) {
    if (!DecodeTypeWord(Load32(bytes, swapped), h)) return false;
    uint32_t expected = swapped ? kV4MachineBig : kV4MachineLittle;   // this machine is little-endian
    if (h.machine != expected) return false;
    h.rows = Load32(bytes + 4, swapped);
    h.cols = Load32(bytes + 8, swapped);
    h.imagf = Load32(bytes + 12, swapped);
    h.nameLength = Load32(bytes + 16, swapped);
    if (h.imagf > 1) return false;
    if (h.nameLength == 0 || h.nameLength > kMaxNameLength + 1) return false;
    if (h.type == kV4Sparse && (h.rows == 0 || (h.cols != 3 && h.cols != 4))) return false;
    return true;
}

uint32_t V4DataType(uint32_t precision) {
    static const uint32_t kTypes[] = {miDOUBLE, miSINGLE, miINT32, miINT16, miUINT16, miUINT8};
    return precision <= kV4UInt8 ? kTypes[precision] : miDOUBLE;
}

// Reads values [first, first + count) of one column-major part as doubles.
bool ReadValues(const mxArray& a, uint64_t partOffset, uint64_t first, size_t count, double* out) {
    const DataLocation& loc = a.data;
    size_t width = V4PrecisionSize(loc.v4Precision);
    uint32_t type = V4DataType(loc.v4Precision);
    uint8_t buffer[format::kInflateChunk];
    size_t perChunk = sizeof buffer / width;
    while (count > 0) {
        size_t n = std::min(count, perChunk);
        if (!ReadAt(*a.source, partOffset + first * width, buffer, n * width)) return false;
        for (size_t i = 0; i < n; ++i) out[i] = LoadDouble(buffer + i * width, type, loc.v4Swapped);
        out += n;
        first += n;
        count -= n;
    }
    return true;
}

bool IsIndex(double v, uint64_t limit) { return v >= 1 && v <= static_cast<double>(limit) && v == std::floor(v); }

}  // namespace

bool ProbeV4(const uint8_t* bytes, bool& swapped) {
    V4Header h;
    for (bool s : {false, true}) {
        if (ParseHeader(bytes, s, h)) {
            swapped = s;
            return true;
        }
    }
    return false;
}

HeaderStatus ReadV4Header(const std::shared_ptr<SourceFile>& source, uint64_t offset,
                          mxArray& array, uint64_t& next) {
    SourceFile& file = *source;
    if (offset >= file.size) return HeaderStatus::End;
    uint8_t raw[kV4HeaderSize];
    if (!ReadAt(file, offset, raw, sizeof raw)) return HeaderStatus::Damaged;
    bool swapped = false;
    if (!ProbeV4(raw, swapped)) return HeaderStatus::Damaged;
    V4Header h;
    ParseHeader(raw, swapped, h);

    uint64_t nameAt = offset + kV4HeaderSize;
    std::string name(h.nameLength, '\0');
    if (!ReadAt(file, nameAt, name.data(), name.size())) return HeaderStatus::Damaged;
    array.name = name.substr(0, name.find('\0'));

    uint64_t dataAt = nameAt + h.nameLength;
    uint64_t values = 0, bytes = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(h.rows), static_cast<uint64_t>(h.cols), &values) ||
        __builtin_mul_overflow(values, V4PrecisionSize(h.precision) * (h.imagf + 1), &bytes) ||
        !Fits(dataAt, bytes, file.size)) {
        return HeaderStatus::Damaged;
    }

    DataLocation& loc = array.data;
    loc = DataLocation{};
    loc.v4Precision = h.precision;
    loc.v4Type = h.type;
    loc.v4Rows = h.rows;
    loc.v4Cols = h.cols;
    loc.v4DataOffset = dataAt;
    loc.v4Swapped = swapped;
    array.format = &kV4Format;
    array.source = source;
    array.elementOffset = offset;
    array.elementSize = dataAt + bytes - offset;
    next = dataAt + bytes;

    array.complex = h.imagf != 0;
    array.global = false;
    array.logical = false;
    array.sparse = false;
    if (h.type == kV4Text) {
        array.classId = mxCHAR_CLASS;
        array.className = "char";
        array.complex = false;
        array.dims = {h.rows, h.cols};
    } else if (h.type == kV4Sparse) {
        // The last row holds the dimensions: (m, n, 0[, 0]).
        double dims[2];
        if (!ReadValues(array, dataAt, h.rows - 1, 1, &dims[0]) ||
            !ReadValues(array, dataAt, static_cast<uint64_t>(h.rows) + h.rows - 1, 1, &dims[1])) {
            return HeaderStatus::Damaged;
        }
        for (double d : dims) {
            if (!(d >= 0 && d <= 2147483647.0) || d != std::floor(d)) return HeaderStatus::Damaged;
        }
        if (dims[1] > kMaxV4SparseColumnsFree && dims[1] > static_cast<double>(file.size)) {
            return HeaderStatus::Damaged;
        }
        array.sparse = true;
        array.complex = h.cols == 4;
        array.classId = mxDOUBLE_CLASS;
        array.className = "double";
        array.dims = {static_cast<mwSize>(dims[0]), static_cast<mwSize>(dims[1])};
        array.nzmax = h.rows - 1;
    } else {
        array.classId = mxDOUBLE_CLASS;
        array.className = "double";
        array.dims = {h.rows, h.cols};
    }
    return HeaderStatus::Ok;
}

bool DecodeV4(const mxArray& a, DecodedData& out) {
    const DataLocation& loc = a.data;
    uint64_t n = static_cast<uint64_t>(loc.v4Rows) * loc.v4Cols;
    uint64_t partBytes = n * V4PrecisionSize(loc.v4Precision);
    if (loc.v4Type != kV4Sparse) {
        std::vector<double> real(n), imag(a.complex ? n : 0);
        if (!ReadValues(a, loc.v4DataOffset, 0, n, real.data())) return false;
        if (a.complex && !ReadValues(a, loc.v4DataOffset + partBytes, 0, n, imag.data())) return false;
        if (loc.v4Type == kV4Text) {
            out.real.resize(n * 2);
            for (uint64_t i = 0; i < n; ++i) {
                const uint16_t unit = V4CodeUnit(real[i]);
                std::memcpy(out.real.data() + 2 * i, &unit, 2);
            }
            return true;
        }
        // An empty matrix has no data to copy (and vectors of none may hold null).
        out.real.resize(n * 8);
        if (n > 0) std::memcpy(out.real.data(), real.data(), n * 8);
        if (a.complex) {
            out.imag.resize(n * 8);
            if (n > 0) std::memcpy(out.imag.data(), imag.data(), n * 8);
        }
        return true;
    }
    // Sparse: rows of (i, j, re[, im]), 1-based, then the dimensions row.
    uint64_t rows = loc.v4Rows, nnz = rows - 1;
    std::vector<double> is(nnz), js(nnz), re(nnz), im(a.complex ? nnz : 0);
    if (!ReadValues(a, loc.v4DataOffset, 0, nnz, is.data()) ||
        !ReadValues(a, loc.v4DataOffset, rows, nnz, js.data()) ||
        !ReadValues(a, loc.v4DataOffset, 2 * rows, nnz, re.data()) ||
        (a.complex && !ReadValues(a, loc.v4DataOffset, 3 * rows, nnz, im.data()))) {
        return false;
    }
    uint64_t m = a.dims[0], cols = a.dims[1];
    std::vector<size_t> order(nnz);
    for (uint64_t k = 0; k < nnz; ++k) {
        if (!IsIndex(is[k], m) || !IsIndex(js[k], cols)) return false;
        order[k] = k;
    }
    std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) {
        return js[x] != js[y] ? js[x] < js[y] : is[x] < is[y];
    });
    out.jc.assign(cols + 1, 0);
    out.ir.resize(nnz);
    out.real.resize(nnz * 8);
    if (a.complex) out.imag.resize(nnz * 8);
    for (uint64_t k = 0; k < nnz; ++k) {
        size_t src = order[k];
        out.ir[k] = static_cast<size_t>(is[src]) - 1;
        out.jc[static_cast<size_t>(js[src])] += 1;
        std::memcpy(out.real.data() + 8 * k, &re[src], 8);
        if (a.complex) std::memcpy(out.imag.data() + 8 * k, &im[src], 8);
    }
    for (uint64_t c = 0; c < cols; ++c) out.jc[c + 1] += out.jc[c];
    return true;
}

bool ReadV4SparseColumn(const mxArray& a, uint32_t column, uint64_t first, size_t count, double* out) {
    const DataLocation& loc = a.data;
    if (loc.v4Type != kV4Sparse || column >= loc.v4Cols || first > loc.v4Rows || count > loc.v4Rows - first) {
        return false;
    }
    return ReadValues(a, loc.v4DataOffset, static_cast<uint64_t>(column) * loc.v4Rows + first, count, out);
}

size_t ReadV4Elements(const mxArray& a, int part, uint64_t first, size_t count,
                      double* asDouble, int64_t* asInt64, uint64_t* asUInt64) {
    const DataLocation& loc = a.data;
    if (loc.v4Type == kV4Sparse) return 0;   // the caller decodes sparse arrays whole
    uint64_t n = static_cast<uint64_t>(loc.v4Rows) * loc.v4Cols;
    if (part == 1 && !a.complex) return 0;
    if (first >= n) return 0;
    size_t take = static_cast<size_t>(std::min<uint64_t>(count, n - first));
    uint64_t partOffset = loc.v4DataOffset + (part == 1 ? n * V4PrecisionSize(loc.v4Precision) : 0);
    size_t done = 0;
    double chunk[512];
    while (done < take) {
        size_t step = std::min<size_t>(take - done, 512);
        if (!ReadValues(a, partOffset, first + done, step, chunk)) break;
        for (size_t i = 0; i < step; ++i) {
            if (asDouble) asDouble[done + i] = chunk[i];
            if (asInt64) asInt64[done + i] = SaturateInt64(chunk[i]);
            if (asUInt64) asUInt64[done + i] = SaturateUInt64(chunk[i]);
        }
        done += step;
    }
    return done;
}

namespace {

// The first units of a version 4 text (at most `room` + 1 of them), as
// UTF-16 code units in native order, the way a whole decode gives them.
bool ReadV4Units(const mxArray& a, size_t room, std::vector<uint8_t>* out) {
    const size_t total = mxGetNumberOfElements(&a);
    const size_t wanted = total > room ? room + 1 : total;
    out->resize(wanted * 2);
    double values[512];
    for (size_t first = 0; first < wanted;) {
        const size_t n = std::min<size_t>(wanted - first, 512);
        if (ReadV4Elements(a, 0, first, n, values, nullptr, nullptr) != n) return false;
        for (size_t i = 0; i < n; ++i) {
            const uint16_t unit = V4CodeUnit(values[i]);
            std::memcpy(out->data() + 2 * (first + i), &unit, 2);
        }
        first += n;
    }
    return true;
}

// Every field of the first matrix, its name and data within the file; the
// file's first bytes stand for its header.
int OpenV4(const std::shared_ptr<SourceFile>& source, uint8_t header[format::kHeaderSize]) {
    mxArray first;
    uint64_t next = 0;
    if (ReadV4Header(source, 0, first, next) != HeaderStatus::Ok) return MAT_OPEN_DAMAGED;
    std::memset(header, 0, format::kHeaderSize);
    ReadAt(*source, 0, header, format::kV4HeaderSize);
    return MAT_OPEN_OK;
}

}  // namespace

const ElementSource kV4Element = {
    .kind = ElementSource::kWritten,
    .write = WriteV4Element,
    .writeCompressed = nullptr,
    .plan = nullptr,
    .convert = nullptr,
};

// Nothing but matrices, one after another; no header, no subsystem data, no
// empty file.
const MatFormat kV4Format = {
    .name = "version 4",
    .number = 4,
    .variablesStart = 0,
    .layout = FileLayout::kVersion4,
    .plausible = nullptr,
    .open = OpenV4,
    .readHeader = ReadV4Header,
    .decode = DecodeV4,
    .readElements = ReadV4Elements,
    .check = nullptr,
    .checkStorage = nullptr,
    .textUnits = ReadV4Units,
    .describable = NeverDescribed,
    .shownElement = NoShownElement,
    .wholeElement = nullptr,
    .subsystemPayload = NoSubsystemPayload,
    .element = &kV4Element,
};

}  // namespace matlib

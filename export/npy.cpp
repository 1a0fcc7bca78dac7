// NPY, NumPy's own format: the array's elements as they are stored (column
// after column, "fortran_order": True), in the dtype of the class, little-
// endian; a character matrix as one text ("<U") per row.
#include <bit>
#include <cstring>
#include <string>

#include "export/writers.h"

namespace exporting {

namespace {

const char* Dtype(mxClassID id, bool complex) {
    switch (id) {
        case mxDOUBLE_CLASS: return complex ? "<c16" : "<f8";
        case mxSINGLE_CLASS: return complex ? "<c8" : "<f4";
        case mxINT8_CLASS: return "|i1";
        case mxUINT8_CLASS: return "|u1";
        case mxINT16_CLASS: return "<i2";
        case mxUINT16_CLASS: return "<u2";
        case mxINT32_CLASS: return "<i4";
        case mxUINT32_CLASS: return "<u4";
        case mxINT64_CLASS: return "<i8";
        case mxUINT64_CLASS: return "<u8";
        case mxLOGICAL_CLASS: return "|b1";
        default: return nullptr;
    }
}

template <typename T>
void PutLittleEndian(T value, Output& out) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    if constexpr (std::endian::native == std::endian::big) {
        for (size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(bytes[i], bytes[sizeof(T) - 1 - i]);
    }
    out.Put(std::string_view(bytes, sizeof(T)));
}

// Slot k of one part in the class's own type.
void PutValue(const Values& v, int part, size_t k, Output& out) {
    const double d = v.classId == mxINT64_CLASS || v.classId == mxUINT64_CLASS ? 0 : (part == 0 ? v.real : v.imag)[k];
    switch (v.classId) {
        case mxDOUBLE_CLASS: return PutLittleEndian(d, out);
        case mxSINGLE_CLASS: return PutLittleEndian(static_cast<float>(d), out);
        case mxINT8_CLASS: return PutLittleEndian(static_cast<int8_t>(d), out);
        case mxUINT8_CLASS: return PutLittleEndian(static_cast<uint8_t>(d), out);
        case mxINT16_CLASS: return PutLittleEndian(static_cast<int16_t>(d), out);
        case mxUINT16_CLASS: return PutLittleEndian(static_cast<uint16_t>(d), out);
        case mxINT32_CLASS: return PutLittleEndian(static_cast<int32_t>(d), out);
        case mxUINT32_CLASS: return PutLittleEndian(static_cast<uint32_t>(d), out);
        case mxINT64_CLASS: return PutLittleEndian((part == 0 ? v.real64 : v.imag64)[k], out);
        case mxUINT64_CLASS: return PutLittleEndian((part == 0 ? v.realU64 : v.imagU64)[k], out);
        case mxLOGICAL_CLASS: return out.Put(d != 0 ? '\1' : '\0');
        default: return;
    }
}

void WriteText(const mxArray* array, Output& out) {
    std::vector<std::u16string> rows;
    if (!CharRows(array, &rows)) return out.FailRead();
    std::vector<std::vector<uint32_t>> points;
    size_t width = 0;
    for (const std::u16string& row : rows) {
        points.push_back(CodePoints(reinterpret_cast<const uint16_t*>(row.data()), row.size()));
        width = std::max(width, points.back().size());
    }
    const mwSize m = rows.size();
    PutNpyHeader("<U" + std::to_string(std::max<size_t>(width, 1)), NpyShape(&m, 1), out);
    for (const std::vector<uint32_t>& row : points) {
        for (size_t i = 0; i < std::max<size_t>(width, 1); ++i) PutLittleEndian(i < row.size() ? row[i] : 0u, out);
    }
    out.Advance(mxGetNumberOfElements(array));
}

}  // namespace

// The magic, the version, the header's length and the header padded with
// blanks so that the data starts at a multiple of 64; version 2.0 when the
// header does not fit a 16-bit length.
void PutNpyHeader(const std::string& descr, const std::string& shape, Output& out) {
    std::string header = "{'descr': '" + descr + "', 'fortran_order': True, 'shape': " + shape + ", }";
    const bool wide = header.size() + 1 + 10 > 65535;
    const size_t prefix = wide ? 12 : 10;
    header.append((64 - (prefix + header.size() + 1) % 64) % 64, ' ');
    header += '\n';
    std::string head("\x93NUMPY", 6);
    head += static_cast<char>(wide ? 2 : 1);
    head += '\0';
    const uint32_t length = static_cast<uint32_t>(header.size());
    for (size_t i = 0; i < (wide ? 4u : 2u); ++i) head += static_cast<char>((length >> (8 * i)) & 0xFF);
    out.Put(head);
    out.Put(header);
}

std::string NpyShape(const mwSize* dims, size_t ndims) {
    std::string shape = "(";
    for (size_t d = 0; d < ndims; ++d) shape += std::to_string(dims[d]) + (ndims == 1 || d + 1 < ndims ? ", " : "");
    if (ndims == 1) shape.pop_back();
    return shape + ")";
}

void WriteNpy(const mxArray* array, Output& out) {
    const mxClassID id = mxGetClassID(array);
    if (id == mxCHAR_CLASS) return WriteText(array, out);
    const char* dtype = Dtype(id, mxIsComplex(array));
    if (dtype == nullptr) return out.FailRead();
    PutNpyHeader(dtype, NpyShape(mxGetDimensions(array), mxGetNumberOfDimensions(array)), out);
    const uint64_t total = mxGetNumberOfElements(array);
    // Values stored as NumPy keeps them (real, little-endian, the same type)
    // go from file to file inside the system, as a copy of the file would.
    uint64_t first = 0;
    if (std::endian::native == std::endian::little && !mxIsComplex(array) && id != mxLOGICAL_CLASS) {
        first = out.CopyStored(array, total, mxGetElementSize(array));
    }
    if (first == total) return;
    Values values(array);
    for (; first < total && !out.Failed(); first += Values::kBatch) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(Values::kBatch, total - first));
        if (!values.Read(first, count, 0)) return out.FailRead();
        if (id == mxDOUBLE_CLASS && !values.complex && std::endian::native == std::endian::little) {
            out.Put(std::string_view(reinterpret_cast<const char*>(values.real.data()), count * sizeof(double)));
            out.Advance(count);
            continue;
        }
        for (size_t k = 0; k < count; ++k) {
            PutValue(values, 0, k, out);
            if (values.complex) PutValue(values, 1, k, out);
        }
        out.Advance(count);
    }
}

}  // namespace exporting

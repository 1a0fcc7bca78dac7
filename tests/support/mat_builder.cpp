#include "support/mat_builder.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace matbuild {

const char* const kHeaderText = "MATLAB 5.0 MAT-file, Platform: GLNXA64, Created on: Fri Feb 18 10:28:03 2005";

namespace {

// The test machines are little-endian; Big reverses.
Bytes Ordered(Order order, const void* value, size_t size) {
    const uint8_t* p = static_cast<const uint8_t*>(value);
    Bytes out(p, p + size);
    if (order == Order::Big) std::reverse(out.begin(), out.end());
    return out;
}

template <typename T>
void Put(Bytes& out, Order order, T value) {
    Append(out, Ordered(order, &value, sizeof value));
}

// Each value converted to T, in the order's bytes.
template <typename T, typename From>
Bytes ValuesAs(Order order, const std::vector<From>& values) {
    Bytes out;
    for (From v : values) Put(out, order, static_cast<T>(v));
    return out;
}

Order ToOrder(V4Order order) { return order == V4Order::Big ? Order::Big : Order::Little; }

uint32_t OwnType(uint8_t classCode) {
    static const uint32_t kTypes[] = {miDOUBLE, miSINGLE, miINT8, miUINT8, miINT16, miUINT16,
                                      miINT32,  miUINT32, miINT64, miUINT64};
    return classCode >= mxDOUBLE && classCode <= mxUINT64 ? kTypes[classCode - mxDOUBLE] : miDOUBLE;
}

Bytes FieldNames(Order order, const std::vector<std::string>& fields) {
    size_t longest = 1;
    for (const std::string& f : fields) longest = std::max(longest, f.size() + 1);
    const size_t width = (longest + 7) / 8 * 8;   // MATLAB rounds up to a multiple of 8
    Bytes names;
    for (const std::string& f : fields) {
        Bytes one(width, 0);
        std::memcpy(one.data(), f.data(), f.size());
        Append(names, one);
    }
    return Cat({Element(order, miINT32, U32(order, static_cast<uint32_t>(width))), Element(order, miINT8, names, false)});
}

// A matrix of the head and the parts after it.
Bytes Container(Order order, Bytes head, const std::vector<Bytes>& parts) {
    for (const Bytes& p : parts) Append(head, p);
    return Matrix(order, head);
}

}  // namespace

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) Append(out, p);
    return out;
}

void Append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

Bytes U16(Order order, uint16_t value) { return Ordered(order, &value, 2); }
Bytes U32(Order order, uint32_t value) { return Ordered(order, &value, 4); }
Bytes U64(Order order, uint64_t value) { return Ordered(order, &value, 8); }
Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Header5(Order order, const std::string& text, uint64_t subsystemOffset) {
    Bytes header(116, ' ');
    std::memcpy(header.data(), text.data(), std::min<size_t>(text.size(), 116));
    // "IM" read as a 16-bit number in the writer's order gives 'M'<<8|'I'.
    return Cat({header, U64(order, subsystemOffset), U16(order, 0x0100), Text(order == Order::Little ? "IM" : "MI")});
}

Bytes File5(Order order, std::initializer_list<Bytes> elements, const std::string& text) { return File5(order, std::vector<Bytes>(elements), text); }

Bytes File5(Order order, const std::vector<Bytes>& elements, const std::string& text) {
    Bytes out = Header5(order, text);
    for (const Bytes& e : elements) Append(out, e);
    return out;
}

Bytes Tag(Order order, uint32_t type, uint32_t size) { return Cat({U32(order, type), U32(order, size)}); }

Bytes Element(Order order, uint32_t type, const Bytes& payload, bool allowSmall) {
    if (allowSmall && !payload.empty() && payload.size() <= 4) {
        // Small element: the count in the upper 16 bits of the first word.
        Bytes data = payload;
        data.resize(4, 0);
        return Cat({U32(order, static_cast<uint32_t>(payload.size()) << 16 | type), data});
    }
    Bytes out = Cat({Tag(order, type, static_cast<uint32_t>(payload.size())), payload});
    out.resize((out.size() + 7) / 8 * 8, 0);
    return out;
}

Bytes Values(Order order, uint32_t type, const std::vector<double>& values) {
    switch (type) {
        case miINT8: return ValuesAs<int8_t>(order, values);
        case miUINT8: return ValuesAs<uint8_t>(order, values);
        case miINT16: return ValuesAs<int16_t>(order, values);
        case miUINT16: return ValuesAs<uint16_t>(order, values);
        case miINT32: return ValuesAs<int32_t>(order, values);
        case miUINT32: return ValuesAs<uint32_t>(order, values);
        case miINT64: return ValuesAs<int64_t>(order, values);
        case miUINT64: return ValuesAs<uint64_t>(order, values);
        case miSINGLE: return ValuesAs<float>(order, values);
        case miDOUBLE: return ValuesAs<double>(order, values);
        default: throw std::invalid_argument("Values: not a numeric data type");
    }
}

Bytes ValuesI64(Order order, const std::vector<int64_t>& values) { return ValuesAs<int64_t>(order, values); }
Bytes ValuesU64(Order order, const std::vector<uint64_t>& values) { return ValuesAs<uint64_t>(order, values); }

Bytes ValueElement(Order order, uint32_t type, const std::vector<double>& values) { return Element(order, type, Values(order, type, values)); }

std::vector<double> Iota(size_t n, double start) {
    std::vector<double> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = start + static_cast<double>(i);
    return out;
}

Bytes FlagsElement(Order order, uint8_t classCode, uint8_t flagBits, uint32_t nzmax) {
    return Element(order, miUINT32, Cat({U32(order, uint32_t{flagBits} << 8 | classCode), U32(order, nzmax)}), false);
}

Bytes DimsElement(Order order, const std::vector<int32_t>& dims) { return Element(order, miINT32, ValuesAs<int32_t>(order, dims), false); }

Bytes NameElement(Order order, const std::string& name) { return name.empty() ? Tag(order, miINT8, 0) : Element(order, miINT8, Text(name)); }

Bytes Matrix(Order order, const Bytes& content) { return Cat({Tag(order, miMATRIX, static_cast<uint32_t>(content.size())), content}); }

Bytes NumericVar(Order order, const std::string& name, uint8_t classCode, const std::vector<int32_t>& dims,
                 const std::vector<double>& real, const std::vector<double>& imag, uint8_t flagBits, uint32_t storeType) {
    const uint32_t type = storeType != 0 ? storeType : OwnType(classCode);
    if (!imag.empty()) flagBits |= kComplex;
    Bytes content = Cat({FlagsElement(order, classCode, flagBits), DimsElement(order, dims), NameElement(order, name),
                         ValueElement(order, type, real)});
    if (!imag.empty()) Append(content, ValueElement(order, type, imag));
    return Matrix(order, content);
}

Bytes CharVar(Order order, const std::string& name, const std::vector<int32_t>& dims,
              const std::vector<uint16_t>& units, uint32_t storeType) {
    Bytes data;
    for (uint16_t u : units) {
        if (storeType == miUINT16 || storeType == miUTF16 || storeType == miINT16) {
            Append(data, U16(order, u));
        } else {
            data.push_back(static_cast<uint8_t>(u));
        }
    }
    return Matrix(order, Cat({FlagsElement(order, mxCHAR), DimsElement(order, dims), NameElement(order, name),
                              Element(order, storeType, data)}));
}

Bytes CharVar(Order order, const std::string& name, const std::string& ascii) {
    return CharVar(order, name, {1, static_cast<int32_t>(ascii.size())}, std::vector<uint16_t>(ascii.begin(), ascii.end()));
}

Bytes SparseVar(Order order, const std::string& name, int32_t m, int32_t n, const std::vector<int32_t>& ir,
                const std::vector<int32_t>& jc, const std::vector<double>& real, const std::vector<double>& imag,
                uint8_t flagBits) {
    if (!imag.empty()) flagBits |= kComplex;
    const Bytes irBytes = ValuesAs<int32_t>(order, ir), jcBytes = ValuesAs<int32_t>(order, jc);
    const uint32_t type = (flagBits & kLogical) ? miUINT8 : miDOUBLE;
    Bytes content = Cat({FlagsElement(order, mxSPARSE, flagBits, static_cast<uint32_t>(ir.empty() ? 1 : ir.size())),
                         DimsElement(order, {m, n}), NameElement(order, name), Element(order, miINT32, irBytes, false),
                         Element(order, miINT32, jcBytes, false), ValueElement(order, type, real)});
    if (!imag.empty()) Append(content, ValueElement(order, type, imag));
    return Matrix(order, content);
}

Bytes CellVar(Order order, const std::string& name, const std::vector<int32_t>& dims, const std::vector<Bytes>& cells,
              uint8_t flagBits) {
    return Container(order, Cat({FlagsElement(order, mxCELL, flagBits), DimsElement(order, dims), NameElement(order, name)}), cells);
}

Bytes StructVar(Order order, const std::string& name, const std::vector<int32_t>& dims,
                const std::vector<std::string>& fields, const std::vector<Bytes>& values, uint8_t flagBits) {
    return Container(order, Cat({FlagsElement(order, mxSTRUCT, flagBits), DimsElement(order, dims), NameElement(order, name),
                                 FieldNames(order, fields)}), values);
}

Bytes ObjectVar(Order order, const std::string& name, const std::string& className, const std::vector<int32_t>& dims,
                const std::vector<std::string>& fields, const std::vector<Bytes>& values) {
    return Container(order, Cat({FlagsElement(order, mxOBJECT), DimsElement(order, dims), NameElement(order, name),
                                 Element(order, miINT8, Text(className)), FieldNames(order, fields)}), values);
}

Bytes FunctionHandleVar(Order order, const std::string& name, const Bytes& inner) {
    return Matrix(order, Cat({FlagsElement(order, mxFUNCTION), DimsElement(order, {1, 1}), NameElement(order, name), inner}));
}

Bytes OpaqueVar(Order order, const std::string& name, const std::string& className, const Bytes& inner,
                const std::string& typeSystem) {
    return Matrix(order, Cat({FlagsElement(order, mxOPAQUE), NameElement(order, name), Element(order, miINT8, Text(typeSystem)),
                              Element(order, miINT8, Text(className)), inner}));
}

Bytes Zlib(const Bytes& data, int level) {
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    Bytes out(size);
    if (compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), level) != Z_OK) {
        throw std::runtime_error("compress2 failed");
    }
    out.resize(size);
    return out;
}

Bytes Compressed(Order order, const Bytes& element) { return CompressedRaw(order, Zlib(element)); }
// MATLAB does not pad compressed elements to 8 bytes.
Bytes CompressedRaw(Order order, const Bytes& stream) { return Cat({Tag(order, miCOMPRESSED, static_cast<uint32_t>(stream.size())), stream}); }

Bytes V4MatrixRaw(V4Order order, uint32_t typeWord, const std::string& name, uint32_t mrows, uint32_t ncols,
                  uint32_t imagf, const Bytes& data) {
    const Order o = ToOrder(order);
    return Cat({U32(o, typeWord), U32(o, mrows), U32(o, ncols), U32(o, imagf), U32(o, static_cast<uint32_t>(name.size() + 1)),
                Text(name), Bytes{0}, data});
}

Bytes V4Matrix(V4Order order, V4Precision precision, V4Type type, const std::string& name, uint32_t mrows,
               uint32_t ncols, const std::vector<double>& real, const std::vector<double>& imag) {
    static const uint32_t kTypes[] = {miDOUBLE, miSINGLE, miINT32, miINT16, miUINT16, miUINT8};
    const Order o = ToOrder(order);
    const uint32_t dataType = kTypes[static_cast<int>(precision)];
    const uint32_t typeWord = static_cast<uint32_t>(order) * 1000 + static_cast<uint32_t>(precision) * 10 +
                              static_cast<uint32_t>(type);
    return V4MatrixRaw(order, typeWord, name, mrows, ncols, imag.empty() ? 0 : 1,
                       Cat({Values(o, dataType, real), Values(o, dataType, imag)}));
}

std::filesystem::path FsPath(const std::string& utf8) {
    std::filesystem::path path(std::u8string(utf8.begin(), utf8.end()));
#if defined(_WIN32)
    if (utf8.size() >= 248 && path.is_absolute()) path = std::filesystem::path(L"\\\\?\\" + path.wstring());
#endif
    return path;
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(FsPath(path), std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace matbuild

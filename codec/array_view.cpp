// Level-5 array elements held in memory (the subsystem data, an element the
// worker sent): one array's header, data and children read in place, every
// read checked against the bytes held.
#include "codec/array_view.h"

#include <cstdint>
#include <cstring>
#include <utility>

#include "codec/mat_format.h"
#include "codec/readers.h"
#include "os/text_encoding.h"

namespace matlib {
namespace {

using namespace format;

// Bytes held in memory, read by position as the element parser reads a file.
class MemoryInput final : public ElementInput {
public:
    explicit MemoryInput(const Bytes& bytes) : bytes_(bytes) {}
    bool Read(uint64_t pos, void* buffer, size_t n) override {
        if (!Fits(pos, n, bytes_.size)) return false;
        if (n > 0) std::memcpy(buffer, bytes_.data + pos, n);
        return true;
    }

private:
    const Bytes& bytes_;
};

bool IsNumericClass(uint8_t cls) { return cls == mxCHAR || (cls >= mxDOUBLE && cls <= mxUINT64); }

}  // namespace

bool ParseArrayView(const Bytes& b, size_t pos, ArrayView& out, bool cutAllowed) {
    out = ArrayView{};
    out.pos = pos;
    if (pos > b.size || b.size - pos < kTagSize) return false;
    if (Load32(b.data + pos, b.swapped) != miMATRIX) return false;
    const uint64_t declared = Load32(b.data + pos + 4, b.swapped);
    size_t end = 0;
    if (declared <= b.size - pos - kTagSize) {
        end = pos + kTagSize + static_cast<size_t>(declared);
    } else if (cutAllowed) {
        end = b.size;
    } else {
        return false;
    }
    out.end = end;
    const uint64_t padded = PaddedSize(declared);
    out.next = padded <= b.size - pos - kTagSize ? pos + kTagSize + static_cast<size_t>(padded) : end;
    if (declared == 0) return true;   // an empty array, written as a bare tag

    MemoryInput held(b);
    ArrayHeader header;
    if (!ReadArrayHeader(held, b.swapped, pos + kTagSize, end, header) || header.code == 0) return false;
    out.cls = header.code;
    out.complex = header.complex;
    out.logical = header.logical;
    out.dims = std::move(header.dims);
    out.count = header.count;
    out.name = std::move(header.name);
    out.className = std::move(header.className);
    // Every position below lies within the bytes held, small subelements'
    // data too (in their tag's second word): the parser found each inside them.
    const size_t at = static_cast<size_t>(header.dataPos);
    if (out.cls == mxOPAQUE || out.cls == mxFUNCTION) {
        out.contentPos = at;
        return true;
    }
    if (out.cls == mxSTRUCT || out.cls == mxOBJECT) {
        SubElement length, names;
        if (!ReadSubElement(held, at, end, b.swapped, length) || length.bytes < 4) return false;
        const uint32_t fieldLength = Load32(b.data + length.dataPos, b.swapped);
        // A variable read in part may hold only the first of its field
        // names: those are kept, and its fields lie beyond the bytes held.
        const uint64_t declaredEnd = pos + kTagSize + declared;
        if (!ReadSubElement(held, length.next, end, b.swapped, names) &&
            !(cutAllowed && ReadSubElement(held, length.next, declaredEnd, b.swapped, names))) {
            return false;
        }
        if (fieldLength == 0 || fieldLength > kMaxNameLength + 1) {
            if (names.bytes != 0) return false;
        } else {
            for (uint64_t i = 0; i + fieldLength <= names.bytes && names.dataPos + i + fieldLength <= end; i += fieldLength) {
                const char* text = reinterpret_cast<const char*>(b.data + names.dataPos + i);
                out.fields.emplace_back(text, strnlen(text, fieldLength));
            }
        }
        out.childrenPos = names.next <= b.size ? static_cast<size_t>(names.next) : SIZE_MAX;
        return true;
    }
    if (out.cls == mxCELL) {
        out.childrenPos = at;
        return true;
    }
    if (!IsNumericClass(out.cls)) return true;   // sparse: header only
    SubElement real;
    if (!ReadSubElement(held, at, end, b.swapped, real)) return false;
    out.realType = real.type;
    out.realPos = static_cast<size_t>(real.dataPos);
    out.realBytes = real.bytes;
    if (out.complex) {
        SubElement imag;
        if (!ReadSubElement(held, real.next, end, b.swapped, imag)) return false;
        out.imagType = imag.type;
        out.imagPos = static_cast<size_t>(imag.dataPos);
        out.imagBytes = imag.bytes;
    }
    return true;
}

bool ViewField(const Bytes& b, const ArrayView& s, const char* name, ArrayView& out) {
    if (s.cls != mxSTRUCT || s.count == 0) return false;
    size_t at = s.childrenPos;
    for (const std::string& field : s.fields) {
        if (!ParseArrayView(b, at, out) || out.end > s.end) return false;
        if (field == name) return true;
        at = out.next;
    }
    return false;
}

bool ViewNumber(const Bytes& b, const ArrayView& view, bool imag, uint64_t k, double& out) {
    const uint32_t type = imag ? view.imagType : view.realType;
    const size_t bytes = imag ? view.imagBytes : view.realBytes;
    const size_t size = DataTypeSize(type);
    if (size == 0 || k >= bytes / size) return false;
    out = LoadDouble(b.data + (imag ? view.imagPos : view.realPos) + k * size, type, b.swapped);
    return true;
}

bool ViewUInt64(const Bytes& b, const ArrayView& view, uint64_t k, uint64_t& out) {
    const size_t size = DataTypeSize(view.realType);
    if (size == 0 || k >= view.realBytes / size) return false;
    out = LoadUInt64(b.data + view.realPos + k * size, view.realType, b.swapped);
    return true;
}

std::string ViewText(const Bytes& b, const ArrayView& view, size_t maxUnits) {
    std::string out;
    const size_t size = DataTypeSize(view.realType);
    if (size == 0) return out;
    const size_t units = view.realBytes / size < maxUnits ? view.realBytes / size : maxUnits;
    const uint8_t* p = b.data + view.realPos;
    if (size == 1) {
        for (size_t i = 0; i < units; ++i) {
            if (p[i] == 0) platform::AppendUtf8(kShownNul, &out);
            else out += static_cast<char>(p[i]);
        }
        return out;
    }
    for (size_t i = 0; i < units; ++i) {
        uint32_t unit = size == 2 ? Load16(p + 2 * i, b.swapped) : Load32(p + 4 * i, b.swapped);
        if (size == 2 && unit >= 0xD800 && unit < 0xDC00 && i + 1 < units) {
            const uint32_t low = Load16(p + 2 * (i + 1), b.swapped);
            if (low >= 0xDC00 && low < 0xE000) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (unit > 0x10FFFF || (unit >= 0xD800 && unit <= 0xDFFF)) unit = 0xFFFD;   // a lone surrogate
        if (unit == 0) unit = kShownNul;
        platform::AppendUtf8(unit, &out);
    }
    return out;
}

bool ParseObjectRef(const Bytes& b, const ArrayView& view, ObjectRef& out) {
    out = ObjectRef{};
    if (view.cls != mxUINT32 || (view.realType != miUINT32 && view.realType != miINT32)) return false;
    const uint64_t words = view.realBytes / 4;
    auto word = [&](uint64_t i) { return Load32(b.data + view.realPos + 4 * i, b.swapped); };
    if (words < 2 || word(0) != kObjectMarker) return false;
    const uint32_t ndims = word(1);
    if (ndims < 1 || ndims > kMaxDimensions || words < 2 + static_cast<uint64_t>(ndims)) return false;
    uint64_t count = 1;
    for (uint32_t i = 0; i < ndims; ++i) {
        out.dims.push_back(word(2 + i));
        if (__builtin_mul_overflow(count, out.dims.back(), &count)) return false;
    }
    // The ids and the class id must all be there: the count is checked
    // against the words held before anything is reserved for it.
    if (count > words - 2 - ndims || words - 2 - ndims - count < 1) return false;
    for (uint64_t i = 0; i < count; ++i) out.ids.push_back(word(2 + ndims + i));
    out.classId = word(2 + ndims + count);
    return true;
}

}  // namespace matlib

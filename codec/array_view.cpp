// Level-5 array elements held in memory (the subsystem data, an element the
// worker sent): one array's header, data and children read in place, every
// read checked against the bytes held.
#include "codec/array_view.h"

#include <cstring>
#include <utility>

#include "codec/mat_format.h"
#include "codec/readers.h"

namespace matlib {
namespace {

using namespace format;

struct Sub {
    uint32_t type = 0;
    size_t pos = 0, bytes = 0, next = 0;
};

// A subelement tag at pos whose data ends by `end` (small elements too).
bool ReadSub(const Bytes& b, size_t pos, size_t end, Sub& out) {
    if (end > b.size || pos > end || end - pos < kTagSize) return false;
    const uint32_t word = Load32(b.data + pos, b.swapped);
    if ((word >> 16) != 0) {
        out.type = word & 0xffff;
        out.bytes = word >> 16;
        if (out.bytes > kSmallDataMax) return false;
        out.pos = pos + 4;
        out.next = pos + kSmallTagSize;
        return true;
    }
    out.type = word;
    out.bytes = Load32(b.data + pos + 4, b.swapped);
    out.pos = pos + kTagSize;
    if (out.bytes > end - out.pos) return false;
    const uint64_t padded = RoundUp8(out.bytes);
    out.next = padded <= end - out.pos ? out.pos + static_cast<size_t>(padded) : end;
    return true;
}

std::string SubText(const Bytes& b, const Sub& sub) {
    const char* text = reinterpret_cast<const char*>(b.data + sub.pos);
    return std::string(text, strnlen(text, sub.bytes));
}

bool ReadTextSub(const Bytes& b, size_t& pos, size_t end, std::string& out) {
    Sub sub;
    if (!ReadSub(b, pos, end, sub) || sub.bytes > kMaxClassNameLength) return false;
    if (sub.type != miINT8 && sub.type != miUINT8 && sub.type != miUTF8) return false;
    out = SubText(b, sub);
    pos = sub.next;
    return true;
}

void AppendUtf8(uint32_t cp, std::string& out) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool IsNumericClass(uint8_t cls) { return cls == mxCHAR || (cls >= mxDOUBLE && cls <= mxUINT64); }

}  // namespace

bool ParseArrayView(const Bytes& b, size_t pos, ArrayView& out, bool cutAllowed) {
    out = ArrayView{};
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
    const uint64_t padded = RoundUp8(declared);
    out.next = padded <= b.size - pos - kTagSize ? pos + kTagSize + static_cast<size_t>(padded) : end;
    if (declared == 0) return true;   // an empty array, written as a bare tag

    size_t at = pos + kTagSize;
    Sub flags;
    if (!ReadSub(b, at, end, flags) || (flags.type != miUINT32 && flags.type != miINT32) ||
        flags.bytes < kArrayFlagsBytes) {
        return false;
    }
    const uint32_t word = Load32(b.data + flags.pos, b.swapped);
    out.cls = static_cast<uint8_t>(word & 0xff);
    out.complex = (word & (kFlagComplex << 8)) != 0;
    out.logical = (word & (kFlagLogical << 8)) != 0;
    if (out.cls == 0) return false;
    at = flags.next;

    if (out.cls == mxOPAQUE) {
        std::string typeSystem;
        if (!ReadTextSub(b, at, end, out.name) || !ReadTextSub(b, at, end, typeSystem) ||
            !ReadTextSub(b, at, end, out.className)) {
            return false;
        }
        out.dims = {1, 1};
        out.count = 1;
        out.contentPos = at;
        return true;
    }
    Sub dims;
    if (!ReadSub(b, at, end, dims) || (dims.type != miINT32 && dims.type != miUINT32) || dims.bytes % 4 != 0 ||
        dims.bytes == 0 || dims.bytes / 4 > kMaxDimensions) {
        return false;
    }
    out.count = 1;
    for (size_t i = 0; i < dims.bytes / 4; ++i) {
        const int32_t d = static_cast<int32_t>(Load32(b.data + dims.pos + 4 * i, b.swapped));
        if (d < 0 || __builtin_mul_overflow(out.count, static_cast<uint64_t>(d), &out.count)) return false;
        out.dims.push_back(static_cast<uint64_t>(d));
    }
    at = dims.next;
    if (!ReadTextSub(b, at, end, out.name)) return false;
    if (out.cls == mxOBJECT && !ReadTextSub(b, at, end, out.className)) return false;

    if (out.cls == mxSTRUCT || out.cls == mxOBJECT) {
        Sub length, names;
        if (!ReadSub(b, at, end, length) || length.bytes < 4) return false;
        const uint32_t fieldLength = Load32(b.data + length.pos, b.swapped);
        if (!ReadSub(b, length.next, end, names)) return false;
        if (fieldLength == 0 || fieldLength > kMaxNameLength + 1) {
            if (names.bytes != 0) return false;
        } else {
            for (size_t i = 0; i + fieldLength <= names.bytes; i += fieldLength) {
                const char* text = reinterpret_cast<const char*>(b.data + names.pos + i);
                out.fields.emplace_back(text, strnlen(text, fieldLength));
            }
        }
        out.childrenPos = names.next;
        return true;
    }
    if (out.cls == mxCELL) {
        out.childrenPos = at;
        return true;
    }
    if (!IsNumericClass(out.cls)) return true;   // sparse, function handles: header only
    Sub real;
    if (!ReadSub(b, at, end, real)) return false;
    out.realType = real.type;
    out.realPos = real.pos;
    out.realBytes = real.bytes;
    if (out.complex) {
        Sub imag;
        if (!ReadSub(b, real.next, end, imag)) return false;
        out.imagType = imag.type;
        out.imagPos = imag.pos;
        out.imagBytes = imag.bytes;
    }
    return true;
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
    if (size == 1) return std::string(reinterpret_cast<const char*>(p), units);
    for (size_t i = 0; i < units; ++i) {
        uint32_t unit = size == 2 ? Load16(p + 2 * i, b.swapped) : Load32(p + 4 * i, b.swapped);
        if (size == 2 && unit >= 0xD800 && unit < 0xDC00 && i + 1 < units) {
            const uint32_t low = Load16(p + 2 * (i + 1), b.swapped);
            if (low >= 0xDC00 && low < 0xE000) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        AppendUtf8(unit, out);
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

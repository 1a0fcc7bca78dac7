// Level-5 elements made from decoded data: how an array read from a version 4
// file (which has no level-5 bytes to copy) is written.
#include <bit>
#include <cstring>
#include <limits>
#include <new>

#include "matlib/mat_write.h"

namespace matlib {
namespace {

using namespace format;

constexpr bool kNativeBig = std::endian::native == std::endian::big;

// Everything of one element in the output's byte order.
struct ElementWriter {
    std::vector<uint8_t>* out;
    bool swap;   // output order differs from this machine's

    void Word(uint32_t value) {
        if (swap) value = __builtin_bswap32(value);
        const size_t at = out->size();
        out->resize(at + 4);
        std::memcpy(out->data() + at, &value, 4);
    }
    void Pad() { out->resize((out->size() + kAlignment - 1) / kAlignment * kAlignment, 0); }
    // `count` values of `size` bytes each, native order in, output order out.
    void Values(const void* data, size_t count, size_t size) {
        const size_t at = out->size();
        out->resize(at + count * size);
        uint8_t* to = out->data() + at;
        if (count > 0) std::memcpy(to, data, count * size);
        if (!swap || size == 1) return;
        for (size_t i = 0; i < count; ++i, to += size) {
            for (size_t a = 0, b = size - 1; a < b; ++a, --b) std::swap(to[a], to[b]);
        }
    }
    void Element(uint32_t type, const void* data, size_t count, size_t size) {
        Word(type);
        Word(static_cast<uint32_t>(count * size));
        Values(data, count, size);
        Pad();
    }
};

// The level-5 data type that stores one element of a numeric or char class.
uint32_t StoreType(mxClassID id) {
    switch (id) {
        case mxDOUBLE_CLASS: return miDOUBLE;
        case mxSINGLE_CLASS: return miSINGLE;
        case mxINT8_CLASS: return miINT8;
        case mxUINT8_CLASS: return miUINT8;
        case mxINT16_CLASS: return miINT16;
        case mxUINT16_CLASS: return miUINT16;
        case mxINT32_CLASS: return miINT32;
        case mxUINT32_CLASS: return miUINT32;
        case mxINT64_CLASS: return miINT64;
        case mxUINT64_CLASS: return miUINT64;
        case mxLOGICAL_CLASS: return miUINT8;
        case mxCHAR_CLASS: return miUINT16;   // UTF-16 code units, as MATLAB stores char
        default: return 0;
    }
}

// The array class code of the level-5 flags for a full array.
uint8_t FullClassCode(mxClassID id) {
    if (id == mxLOGICAL_CLASS) return mxUINT8;   // logical is uint8 with the logical flag
    return static_cast<uint8_t>(id);             // numeric and char codes are the same numbers
}

// The largest byte count a level-5 tag can state, leaving room for padding.
constexpr uint64_t kMaxElementBytes = std::numeric_limits<uint32_t>::max() - kAlignment;

bool FitsElement(uint64_t count, uint64_t size) {
    return size == 0 || count <= kMaxElementBytes / size;
}

bool Encode(const mxArray* array, bool bigEndian, std::vector<uint8_t>* element) {
    const mxClassID id = mxGetClassID(array);
    const uint32_t storeType = StoreType(id);
    if (storeType == 0) return false;
    const size_t valueSize = DataTypeSize(storeType);
    const bool sparse = mxIsSparse(array);
    const bool complex = mxIsComplex(array);

    const mwSize rank = mxGetNumberOfDimensions(array);
    const mwSize* dims = mxGetDimensions(array);
    if (rank < 2 || rank > kMaxDimensions || dims == nullptr) return false;
    for (mwSize i = 0; i < rank; ++i) {
        if (dims[i] > static_cast<mwSize>(std::numeric_limits<int32_t>::max())) return false;
    }
    const char* name = mxGetName(array);
    if (name == nullptr) name = "";
    const size_t nameLength = std::strlen(name);
    if (nameLength > kMaxNameLength) return false;

    // What the element will hold: for a sparse array its stored values, for a
    // full one all of them.
    size_t count = 0;
    size_t columns = 0;
    const mwIndex* ir = nullptr;
    const mwIndex* jc = nullptr;
    if (sparse) {
        if (rank != 2 || (id != mxDOUBLE_CLASS && id != mxLOGICAL_CLASS)) return false;
        columns = dims[1];
        jc = mxGetJc(array);
        ir = mxGetIr(array);
        if (jc == nullptr) return false;
        count = jc[columns];
        if (count > 0 && ir == nullptr) return false;
        for (size_t c = 0; c < columns; ++c) {
            if (jc[c] > jc[c + 1]) return false;
        }
        if (count > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return false;
        for (size_t k = 0; k < count; ++k) {
            if (ir[k] >= dims[0]) return false;
        }
    } else {
        count = mxGetNumberOfElements(array);
    }
    if (!FitsElement(count, valueSize) || !FitsElement(columns + 1, 4)) return false;
    const void* real = count > 0 ? mxGetPr(array) : nullptr;
    const void* imag = count > 0 && complex ? mxGetPi(array) : nullptr;
    if (count > 0 && (real == nullptr || (complex && imag == nullptr))) return false;

    // The whole element, checked against the 32-bit size of its tag.
    const uint64_t dataBytes = (static_cast<uint64_t>(count) * valueSize + kAlignment) * (complex ? 2 : 1) +
                               (sparse ? (count + columns + 1) * 4 + 2 * kAlignment : 0);
    const uint64_t contentBytes = (kTagSize + kArrayFlagsBytes) + (kTagSize + rank * 4 + kAlignment) +
                                  (kTagSize + nameLength + kAlignment) + dataBytes + 4 * kTagSize;
    if (contentBytes > kMaxElementBytes) return false;
    element->clear();
    element->reserve(static_cast<size_t>(contentBytes) + kTagSize);

    ElementWriter w{element, bigEndian != kNativeBig};
    w.Word(miMATRIX);
    w.Word(0);   // the size, filled in at the end

    uint8_t flags = 0;
    if (complex) flags |= kFlagComplex;
    if (mxIsFromGlobalWS(array)) flags |= kFlagGlobal;
    if (id == mxLOGICAL_CLASS) flags |= kFlagLogical;
    const uint8_t classCode = sparse ? static_cast<uint8_t>(mxSPARSE) : FullClassCode(id);
    w.Word(miUINT32);
    w.Word(kArrayFlagsBytes);
    w.Word(static_cast<uint32_t>(flags) << 8 | classCode);
    w.Word(sparse ? static_cast<uint32_t>(count) : 0);

    w.Word(miINT32);
    w.Word(static_cast<uint32_t>(rank * 4));
    for (mwSize i = 0; i < rank; ++i) w.Word(static_cast<uint32_t>(dims[i]));
    w.Pad();

    w.Element(miINT8, name, nameLength, 1);

    if (sparse) {
        w.Word(miINT32);
        w.Word(static_cast<uint32_t>(count * 4));
        for (size_t k = 0; k < count; ++k) w.Word(static_cast<uint32_t>(ir[k]));
        w.Pad();
        w.Word(miINT32);
        w.Word(static_cast<uint32_t>((columns + 1) * 4));
        for (size_t c = 0; c <= columns; ++c) w.Word(static_cast<uint32_t>(jc[c]));
        w.Pad();
    }
    w.Element(storeType, real, count, valueSize);
    if (complex) w.Element(storeType, imag, count, valueSize);

    uint32_t size = static_cast<uint32_t>(element->size() - kTagSize);
    if (w.swap) size = __builtin_bswap32(size);
    std::memcpy(element->data() + 4, &size, 4);
    return true;
}

}  // namespace

bool EncodeDecodedArray(const mxArray* array, bool bigEndian, std::vector<uint8_t>* element) {
    if (array == nullptr || element == nullptr) return false;
    try {
        return Encode(array, bigEndian, element);
    } catch (const std::bad_alloc&) {
        element->clear();
        return false;
    }
}

}  // namespace matlib

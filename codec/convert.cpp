// Conversions of stored values (any numeric data type, either byte order) to
// the class's own type, saturating where a value does not fit: a value from
// the file never makes a conversion undefined.
#include <cfloat>
#include <cmath>
#include <cstring>

#include "codec/convert.h"
#include "codec/mat_format.h"
#include "codec/readers.h"

namespace matlib {

using namespace format;

double LoadDouble(const uint8_t* p, uint32_t type, bool swapped) {
    switch (type) {
        case miINT8: return static_cast<int8_t>(p[0]);
        case miUINT8: case miUTF8: return p[0];
        case miINT16: return static_cast<int16_t>(Load16(p, swapped));
        case miUINT16: case miUTF16: return Load16(p, swapped);
        case miINT32: return static_cast<int32_t>(Load32(p, swapped));
        case miUINT32: case miUTF32: return Load32(p, swapped);
        case miINT64: return static_cast<double>(static_cast<int64_t>(Load64(p, swapped)));
        case miUINT64: return static_cast<double>(Load64(p, swapped));
        case miSINGLE: {
            uint32_t bits = Load32(p, swapped);
            float f;
            std::memcpy(&f, &bits, 4);
            return f;
        }
        case miDOUBLE: {
            uint64_t bits = Load64(p, swapped);
            double d;
            std::memcpy(&d, &bits, 8);
            return d;
        }
        default: return 0;
    }
}

int64_t SaturateInt64(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9223372036854775807.0) return INT64_MAX;
    if (v <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(v);
}

uint64_t SaturateUInt64(double v) {
    if (std::isnan(v) || v <= 0) return 0;
    if (v >= 18446744073709551615.0) return UINT64_MAX;
    return static_cast<uint64_t>(v);
}

int64_t LoadInt64(const uint8_t* p, uint32_t type, bool swapped) {
    if (type == miINT64) return static_cast<int64_t>(Load64(p, swapped));
    if (type == miUINT64) {
        uint64_t v = Load64(p, swapped);
        return v > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(v);
    }
    return SaturateInt64(LoadDouble(p, type, swapped));
}

uint64_t LoadUInt64(const uint8_t* p, uint32_t type, bool swapped) {
    if (type == miUINT64) return Load64(p, swapped);
    if (type == miINT64) {
        int64_t v = static_cast<int64_t>(Load64(p, swapped));
        return v < 0 ? 0 : static_cast<uint64_t>(v);
    }
    return SaturateUInt64(LoadDouble(p, type, swapped));
}

namespace {

template <typename T>
void PutInteger(uint8_t* dst, double v) {
    T out;
    if (std::isnan(v)) out = 0;
    else if (v >= static_cast<double>(std::numeric_limits<T>::max())) out = std::numeric_limits<T>::max();
    else if (v <= static_cast<double>(std::numeric_limits<T>::min())) out = std::numeric_limits<T>::min();
    else out = static_cast<T>(v);
    std::memcpy(dst, &out, sizeof out);
}

}  // namespace

size_t ClassElementSize(mxClassID id) {
    switch (id) {
        case mxDOUBLE_CLASS: case mxINT64_CLASS: case mxUINT64_CLASS: return 8;
        case mxSINGLE_CLASS: case mxINT32_CLASS: case mxUINT32_CLASS: return 4;
        case mxINT16_CLASS: case mxUINT16_CLASS: case mxCHAR_CLASS: return 2;
        case mxINT8_CLASS: case mxUINT8_CLASS: case mxLOGICAL_CLASS: return 1;
        case mxCELL_CLASS: case mxSTRUCT_CLASS: case mxOBJECT_CLASS: return sizeof(void*);
        default: return 0;
    }
}

bool StoreAsClass(uint8_t* dst, mxClassID id, const uint8_t* src, uint32_t type, bool swapped) {
    switch (id) {
        case mxDOUBLE_CLASS: {
            double v = LoadDouble(src, type, swapped);
            std::memcpy(dst, &v, 8);
            return true;
        }
        case mxSINGLE_CLASS: {
            double v = LoadDouble(src, type, swapped);
            if (std::isfinite(v) && std::fabs(v) > FLT_MAX) v = v > 0 ? INFINITY : -INFINITY;
            float f = static_cast<float>(v);
            std::memcpy(dst, &f, 4);
            return true;
        }
        case mxINT8_CLASS: PutInteger<int8_t>(dst, LoadDouble(src, type, swapped)); return true;
        case mxUINT8_CLASS: case mxLOGICAL_CLASS: PutInteger<uint8_t>(dst, LoadDouble(src, type, swapped)); return true;
        case mxINT16_CLASS: PutInteger<int16_t>(dst, LoadDouble(src, type, swapped)); return true;
        case mxUINT16_CLASS: PutInteger<uint16_t>(dst, LoadDouble(src, type, swapped)); return true;
        case mxINT32_CLASS: PutInteger<int32_t>(dst, LoadDouble(src, type, swapped)); return true;
        case mxUINT32_CLASS: PutInteger<uint32_t>(dst, LoadDouble(src, type, swapped)); return true;
        case mxINT64_CLASS: {
            int64_t v = LoadInt64(src, type, swapped);
            std::memcpy(dst, &v, 8);
            return true;
        }
        case mxUINT64_CLASS: {
            uint64_t v = LoadUInt64(src, type, swapped);
            std::memcpy(dst, &v, 8);
            return true;
        }
        default: return false;
    }
}

void ReadClassValue(const uint8_t* p, mxClassID id, double* asDouble, int64_t* asInt64, uint64_t* asUInt64) {
    // Decoded data is in native order and the class's own type.
    uint32_t type;
    switch (id) {
        case mxDOUBLE_CLASS: type = miDOUBLE; break;
        case mxSINGLE_CLASS: type = miSINGLE; break;
        case mxINT8_CLASS: type = miINT8; break;
        case mxUINT8_CLASS: case mxLOGICAL_CLASS: type = miUINT8; break;
        case mxINT16_CLASS: type = miINT16; break;
        case mxUINT16_CLASS: case mxCHAR_CLASS: type = miUINT16; break;
        case mxINT32_CLASS: type = miINT32; break;
        case mxUINT32_CLASS: type = miUINT32; break;
        case mxINT64_CLASS: type = miINT64; break;
        case mxUINT64_CLASS: type = miUINT64; break;
        default: type = 0; break;
    }
    if (asDouble) *asDouble = LoadDouble(p, type, false);
    if (asInt64) *asInt64 = LoadInt64(p, type, false);
    if (asUInt64) *asUInt64 = LoadUInt64(p, type, false);
}

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

}  // namespace matlib

// Conversions between stored values and the classes' own types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "codec/array.h"

namespace matlib {

// Bytes of one element of the class, as MATLAB reports it.
size_t ClassElementSize(mxClassID id);
// The level-5 data type that stores one element of a numeric or char class (0: none).
uint32_t StoreType(mxClassID id);
// One stored value (data type `type`, file byte order) written at dst as the
// class's own type; false for classes without numeric data.
bool StoreAsClass(uint8_t* dst, mxClassID id, const uint8_t* src, uint32_t type, bool swapped);
// One decoded element (native order, class's own type) as the caller wants it.
void ReadClassValue(const uint8_t* p, mxClassID id, double* asDouble, int64_t* asInt64, uint64_t* asUInt64);
int64_t SaturateInt64(double v);
uint64_t SaturateUInt64(double v);

}  // namespace matlib

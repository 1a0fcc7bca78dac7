// The array operations: header accessors, and data decoded on first use.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "codec/array_view.h"
#include "codec/convert.h"
#include "codec/mat_internal.h"
#include "codec/readers.h"

using matlib::DecodedData;

namespace {

// What a successful decode of an empty array hands out: never null, so that
// null keeps meaning "no data or damaged".
alignas(16) uint8_t g_emptyData[16];

bool HasDecodableData(const mxArray* a) {
    switch (a->classId) {
        case mxCELL_CLASS: case mxSTRUCT_CLASS: case mxOBJECT_CLASS: case mxFUNCTION_CLASS:
        case mxOPAQUE_CLASS: case mxUNKNOWN_CLASS: case mxVOID_CLASS: return false;
        default: return a->source != nullptr;
    }
}

const DecodedData* Decoded(const mxArray* a) {
    if (a == nullptr || !HasDecodableData(a)) return nullptr;
    DecodedData& d = a->decoded;
    if (d.state == DecodedData::NotTried) {
        bool ok = false;
        try {
            ok = a->format != nullptr && a->format->decode(*a, d);
        } catch (const std::bad_alloc&) {
            ok = false;
        }
        if (!ok) d = DecodedData{};
        d.state = ok ? DecodedData::Decoded : DecodedData::Failed;
    }
    return d.state == DecodedData::Decoded ? &d : nullptr;
}

void* DataOf(const std::vector<uint8_t>& v) {
    return v.empty() ? g_emptyData : const_cast<uint8_t*>(v.data());
}

// Appends one code point as UTF-8 if it fits in `room`; false otherwise.
bool PutUtf8(uint32_t cp, char* out, size_t& used, size_t room) {
    char bytes[4];
    size_t n;
    if (cp < 0x80) {
        bytes[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        bytes[0] = static_cast<char>(0xC0 | cp >> 6);
        bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        bytes[0] = static_cast<char>(0xE0 | cp >> 12);
        bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        bytes[0] = static_cast<char>(0xF0 | cp >> 18);
        bytes[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        bytes[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    if (n > room - used) return false;
    std::memcpy(out + used, bytes, n);
    used += n;
    return true;
}

}  // namespace

int mxCheckArray(const mxArray* a, const char** reason) {
    const char* wrong = nullptr;
    if (a == nullptr) {
        wrong = "no variable";
    } else if (a->source != nullptr && a->format != nullptr && a->format->check != nullptr) {
        try {
            wrong = a->format->check(*a);
        } catch (const std::bad_alloc&) {
            wrong = "not enough memory to check it";
        }
    }
    if (reason != nullptr) *reason = wrong;
    return wrong != nullptr ? 1 : 0;
}

int mxCheckStorage(const mxArray* a, const char** reason) {
    const bool checked = a != nullptr && a->source != nullptr && a->format != nullptr && a->format->checkStorage != nullptr;
    const char* wrong = checked ? a->format->checkStorage(*a) : nullptr;
    if (reason != nullptr) *reason = wrong;
    return wrong != nullptr ? 1 : 0;
}

int mxIsStoredCompressed(const mxArray* a) { return a != nullptr && a->data.compressed ? 1 : 0; }

void mxDestroyArray(mxArray* array) { delete array; }
void* mxCalloc(size_t n, size_t size) { return std::calloc(n, size); }
void mxFree(void* ptr) { std::free(ptr); }

const char* mxGetName(const mxArray* a) { return a ? a->name.c_str() : ""; }
const char* mxGetClassName(const mxArray* a) { return a ? a->className.c_str() : "unknown"; }
mxClassID mxGetClassID(const mxArray* a) { return a ? a->classId : mxUNKNOWN_CLASS; }
size_t mxGetM(const mxArray* a) { return a && !a->dims.empty() ? a->dims[0] : 0; }

// An empty array (a zero first size) may have other sizes whose product does
// not fit: the count then saturates rather than wrapping.
size_t mxGetN(const mxArray* a) {
    if (a == nullptr || a->dims.empty()) return 0;
    size_t n = 1;
    for (size_t i = 1; i < a->dims.size(); ++i) {
        if (__builtin_mul_overflow(n, a->dims[i], &n)) return SIZE_MAX;
    }
    return n;
}

mwSize mxGetNumberOfDimensions(const mxArray* a) { return a ? a->dims.size() : 0; }
const mwSize* mxGetDimensions(const mxArray* a) { return a && !a->dims.empty() ? a->dims.data() : nullptr; }

size_t mxGetNumberOfElements(const mxArray* a) {
    if (a == nullptr || a->dims.empty()) return 0;
    size_t n = 1;
    for (mwSize d : a->dims) n *= d;   // the header read refused products that overflow
    return n;
}

size_t mxGetElementSize(const mxArray* a) { return a ? matlib::ClassElementSize(a->classId) : 0; }
bool mxIsComplex(const mxArray* a) { return a && a->complex; }
bool mxIsLogical(const mxArray* a) { return a && a->logical; }
bool mxIsSparse(const mxArray* a) { return a && a->sparse; }
bool mxIsFromGlobalWS(const mxArray* a) { return a && a->global; }
int mxGetNameOccurrence(const mxArray* a) { return a ? a->occurrence : 0; }

uint64_t mxGetStoredBytes(const mxArray* a) {
    constexpr int kHdf5Format = 73;   // its index counts variables, not bytes
    return a != nullptr && a->format != nullptr && a->format->number != kHdf5Format ? a->elementSize : 0;
}

void* mxGetPr(const mxArray* a) {
    const DecodedData* d = Decoded(a);
    return d ? DataOf(d->real) : nullptr;
}

void* mxGetPi(const mxArray* a) {
    if (a == nullptr || !a->complex) return nullptr;
    const DecodedData* d = Decoded(a);
    // A crafted file can flag a class that has no imaginary part (a char
    // array) as complex: the real part decodes, no imaginary part exists,
    // and a pointer here would promise elements that are not there.
    if (d == nullptr || (d->imag.empty() && !d->real.empty())) return nullptr;
    return DataOf(d->imag);
}

mwIndex* mxGetIr(const mxArray* a) {
    if (a == nullptr || !a->sparse) return nullptr;
    const DecodedData* d = Decoded(a);
    if (d == nullptr) return nullptr;
    return d->ir.empty() ? reinterpret_cast<mwIndex*>(g_emptyData) : const_cast<mwIndex*>(d->ir.data());
}

mwIndex* mxGetJc(const mxArray* a) {
    if (a == nullptr || !a->sparse) return nullptr;
    const DecodedData* d = Decoded(a);
    return d ? const_cast<mwIndex*>(d->jc.data()) : nullptr;
}

size_t mxGetNzmax(const mxArray* a) {
    if (a == nullptr) return 0;
    if (!a->sparse) return mxGetNumberOfElements(a);
    return a->nzmax;
}

namespace {

// The characters as UTF-8; nulShown: a NUL character as U+2400 (a text to
// show goes on after it), otherwise as a NUL byte (the C string ends there).
int GetUtf8(const mxArray* a, char* buf, mwSize buflen, bool nulShown) {
    if (buf == nullptr || buflen == 0) return 1;
    buf[0] = '\0';
    if (a == nullptr || a->classId != mxCHAR_CLASS) return 1;
    std::vector<uint8_t> head;
    const std::vector<uint8_t>* data = nullptr;
    if (a->source != nullptr && a->format != nullptr && a->format->textUnits != nullptr) {
        // Such text is read only as far as it can show: each unit takes
        // at least one byte of buf, and one more unit tells whether the text
        // goes on (or how a surrogate pair ends).
        try {
            if (!a->format->textUnits(*a, buflen, &head)) return 1;
        } catch (const std::bad_alloc&) {
            return 1;
        }
        data = &head;
    } else {
        const DecodedData* d = Decoded(a);
        if (d == nullptr) return 1;
        data = &d->real;
    }
    size_t units = data->size() / 2;
    size_t used = 0, room = buflen - 1;
    for (size_t i = 0; i < units; ++i) {
        uint16_t u, next = 0;
        std::memcpy(&u, data->data() + 2 * i, 2);
        if (i + 1 < units) std::memcpy(&next, data->data() + 2 * i + 2, 2);
        uint32_t cp = u;
        if (u >= 0xD800 && u <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            cp = 0x10000 + ((static_cast<uint32_t>(u) - 0xD800) << 10) + (next - 0xDC00);
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            cp = 0xFFFD;   // a lone surrogate
        } else if (u == 0 && nulShown) {
            cp = matlib::kShownNul;
        }
        if (!PutUtf8(cp, buf, used, room)) {
            buf[used] = '\0';
            return 1;
        }
    }
    buf[used] = '\0';
    return 0;
}

}  // namespace

int mxGetString(const mxArray* a, char* buf, mwSize buflen) { return GetUtf8(a, buf, buflen, false); }
int mxGetShownString(const mxArray* a, char* buf, mwSize buflen) { return GetUtf8(a, buf, buflen, true); }

size_t mxReadElements(const mxArray* a, int part, size_t first, size_t count,
                      double* asDouble, int64_t* asInt64, uint64_t* asUInt64) {
    if (a == nullptr || a->source == nullptr || (part != 0 && part != 1) || count == 0) return 0;
    try {
        bool wholeOnly = a->sparse || a->classId == mxCHAR_CLASS;
        if (!wholeOnly && a->decoded.state != DecodedData::Decoded) {
            return a->format != nullptr ? a->format->readElements(*a, part, first, count, asDouble, asInt64, asUInt64) : 0;
        }
        const DecodedData* d = Decoded(a);
        if (d == nullptr) return 0;
        const std::vector<uint8_t>& data = part == 0 ? d->real : d->imag;
        size_t width = matlib::ClassElementSize(a->classId);
        if (width == 0 || first >= data.size() / width) return 0;
        size_t take = std::min(count, data.size() / width - first);
        for (size_t i = 0; i < take; ++i) {
            matlib::ReadClassValue(data.data() + (first + i) * width, a->classId, asDouble ? asDouble + i : nullptr,
                                   asInt64 ? asInt64 + i : nullptr, asUInt64 ? asUInt64 + i : nullptr);
        }
        return take;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

// Level-5 numeric data not decoded yet is read through one open stream;
// everything else (version 4 and 7.3, decoded data) by position.
struct mxElementReader {
    const mxArray* array = nullptr;
    int part = 0;
    size_t next = 0;
    bool damaged = false;
    std::unique_ptr<matlib::V5ElementCursor> v5;
};

mxElementReader* mxOpenElementReader(const mxArray* a, int part) {
    if (a == nullptr || (part != 0 && part != 1)) return nullptr;
    try {
        auto reader = std::make_unique<mxElementReader>();
        reader->array = a;
        reader->part = part;
        const bool wholeOnly = a->sparse || a->classId == mxCHAR_CLASS;
        if (a->source != nullptr && a->format != nullptr && a->format->layout == matlib::FileLayout::kLevel5 && !wholeOnly &&
            a->decoded.state != DecodedData::Decoded) {
            reader->v5 = std::make_unique<matlib::V5ElementCursor>(*a, part);
        }
        return reader.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

size_t mxReadNextElements(mxElementReader* reader, size_t count, double* asDouble, int64_t* asInt64,
                          uint64_t* asUInt64) {
    if (reader == nullptr || count == 0) return 0;
    size_t got = 0;
    if (reader->v5 != nullptr) {
        got = reader->v5->Read(count, asDouble, asInt64, asUInt64);
        reader->damaged = reader->v5->damaged();
    } else {
        got = mxReadElements(reader->array, reader->part, reader->next, count, asDouble, asInt64, asUInt64);
        const size_t left = mxGetNumberOfElements(reader->array) - reader->next;
        if (got < count && got < left) reader->damaged = true;
    }
    reader->next += got;
    return got;
}

size_t mxReadElementsFrom(mxElementReader* reader, size_t first, size_t count, double* asDouble, int64_t* asInt64,
                          uint64_t* asUInt64) {
    if (reader == nullptr) return 0;
    // An uncompressed part is read where it is asked, as a file is: a
    // row-major pass over a matrix would otherwise read it whole per block.
    if (reader->v5 != nullptr && reader->v5->SeekTo(first)) reader->next = first;
    if (first < reader->next) {   // backwards: the element's stream starts again
        try {
            if (reader->v5 != nullptr) reader->v5 = std::make_unique<matlib::V5ElementCursor>(*reader->array, reader->part);
        } catch (const std::bad_alloc&) {
            return 0;
        }
        reader->next = 0;
        reader->damaged = false;
    }
    if (reader->v5 == nullptr) {
        reader->next = first;   // read where it is asked: no stream to keep
    } else {
        // Forward: what lies between is read and dropped, in small batches.
        double skipped[1024];
        while (reader->next < first) {
            const size_t step = std::min<size_t>(first - reader->next, sizeof skipped / sizeof skipped[0]);
            if (mxReadNextElements(reader, step, skipped, nullptr, nullptr) != step) return 0;
        }
    }
    return mxReadNextElements(reader, count, asDouble, asInt64, asUInt64);
}

uint64_t mxCopyStoredElements(const mxArray* a, int part, uint64_t from, uint64_t size, FILE* to) {
    uint64_t offset = 0, bytes = 0;
    if (a == nullptr || to == nullptr || a->source == nullptr || a->source->stream == nullptr ||
        !matlib::StoredAsTheyAre(*a, part, offset, bytes) || from > bytes || size > bytes - from) {
        return 0;
    }
    const uint64_t copied = platform::FileSystem().copyRange(a->source->stream, offset + from, to, size);
    // Bytes copied from a file another program changed meanwhile are not its values.
    if (copied > size || !matlib::SourceUnchanged(*a->source)) return 0;
    return copied;
}

bool mxElementsDamaged(const mxElementReader* reader) { return reader == nullptr || reader->damaged; }

bool mxElementsBestReadInOrder(const mxElementReader* reader) {
    if (reader == nullptr) return false;
    if (reader->v5 != nullptr) return reader->array->data.compressed;
    const mxArray* a = reader->array;
    return a->source != nullptr && a->decoded.state != DecodedData::Decoded && a->format != nullptr &&
           a->format->number == 73;
}

void mxCloseElementReader(mxElementReader* reader) { delete reader; }

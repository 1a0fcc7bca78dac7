// Level-5 elements made from decoded data: how an array read from a version 4
// file (which has no level-5 bytes to copy) is written: converted in pieces
// straight from its file (WriteV4Element), or, for a sparse array whose
// triplets are not in column order, decoded whole first (EncodeDecodedArray).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "codec/convert.h"
#include "codec/element_writer.h"
#include "codec/mat_internal.h"
#include "codec/mat_write_file.h"
#include "codec/readers.h"

namespace matlib {
namespace {

using namespace format;

constexpr bool kNativeBig = std::endian::native == std::endian::big;

}  // namespace

void ElementWriter::Word(uint32_t value) {
    if (swap) value = __builtin_bswap32(value);
    Bytes(&value, 4);
}

void ElementWriter::Bytes(const void* data, size_t n) {
    const size_t at = out->size();
    out->resize(at + n);
    if (n > 0) std::memcpy(out->data() + at, data, n);
}

std::array<uint8_t, kTagSize> StreamedTag(uint32_t type, uint32_t bytes, bool swap) {
    std::array<uint8_t, kTagSize> tag;
    const uint32_t words[2] = {swap ? __builtin_bswap32(type) : type, swap ? __builtin_bswap32(bytes) : bytes};
    std::memcpy(tag.data(), words, sizeof words);
    return tag;
}

SubelementTagBytes SubelementTag(uint32_t type, uint32_t bytes, bool swap) {
    if (!IsSmallData(bytes)) return {StreamedTag(type, bytes, swap), kTagSize};
    SubelementTagBytes tag{};
    const uint32_t word = bytes << 16 | type;
    const uint32_t ordered = swap ? __builtin_bswap32(word) : word;
    std::memcpy(tag.bytes.data(), &ordered, 4);
    tag.size = 4;
    return tag;
}

void ElementWriter::Pad() { out->resize(PaddedSize(out->size()), 0); }

void ElementWriter::Values(const void* data, size_t count, size_t size) {
    const size_t at = out->size();
    Bytes(data, count * size);
    if (!swap || size == 1) return;
    uint8_t* to = out->data() + at;
    for (size_t i = 0; i < count; ++i, to += size) {
        for (size_t a = 0, b = size - 1; a < b; ++a, --b) std::swap(to[a], to[b]);
    }
}

void ElementWriter::Element(uint32_t type, const void* data, size_t count, size_t size) {
    const size_t bytes = count * size;
    const SubelementTagBytes tag = SubelementTag(type, static_cast<uint32_t>(bytes), swap);
    Bytes(tag.bytes.data(), tag.size);
    Values(data, count, size);
    Bytes(kZeroPadding, SubelementPadding(bytes));
}

size_t ElementWriter::Begin(uint32_t type) {
    const size_t at = out->size();
    Word(type);
    Word(0);
    return at;
}

void ElementWriter::End(size_t at) {
    uint32_t size = static_cast<uint32_t>(out->size() - at - kTagSize);
    if (swap) size = __builtin_bswap32(size);
    std::memcpy(out->data() + at + 4, &size, 4);
}

uint64_t ArrayHeadBytes(const ArrayHead& head) {
    uint64_t bytes = kTagSize + kArrayFlagsBytes + SubelementSize(head.name.size());
    if (head.classCode == mxOPAQUE) return bytes + SubelementSize(sizeof kTypeSystem - 1) + SubelementSize(head.className.size());
    bytes += SubelementSize(4 * head.rank);
    return head.classCode == mxOBJECT ? bytes + SubelementSize(head.className.size()) : bytes;
}

bool AppendArrayHead(const ArrayHead& head, bool swap, std::vector<uint8_t>& out) {
    for (size_t i = 0; i < head.rank; ++i) {
        if (head.dims[i] > static_cast<mwSize>(std::numeric_limits<int32_t>::max())) return false;
    }
    ElementWriter w{&out, swap};
    w.Word(miUINT32);
    w.Word(kArrayFlagsBytes);
    w.Word(static_cast<uint32_t>(head.flagBits) << 8 | head.classCode);
    w.Word(head.nzmax);
    if (head.classCode != mxOPAQUE) {
        const std::vector<uint32_t> dims(head.dims, head.dims + head.rank);
        w.Element(miINT32, dims.data(), dims.size(), 4);
    }
    w.Element(miINT8, head.name.data(), head.name.size(), 1);
    if (head.classCode == mxOPAQUE) w.Element(miINT8, kTypeSystem, sizeof kTypeSystem - 1, 1);
    if (head.classCode == mxOPAQUE || head.classCode == mxOBJECT) {
        w.Element(miINT8, head.className.data(), head.className.size(), 1);
    }
    return true;
}

namespace {

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
    const ArrayHead head{classCode, flags, sparse ? static_cast<uint32_t>(count) : 0, dims, rank, {name, nameLength}, {}};
    if (!AppendArrayHead(head, w.swap, *element)) return false;

    if (sparse) {
        const std::vector<uint32_t> rows(ir, ir + count), starts(jc, jc + columns + 1);
        w.Element(miINT32, rows.data(), rows.size(), 4);
        w.Element(miINT32, starts.data(), starts.size(), 4);
    }
    w.Element(storeType, real, count, valueSize);
    if (complex) w.Element(storeType, imag, count, valueSize);

    uint32_t size = static_cast<uint32_t>(element->size() - kTagSize);
    if (w.swap) size = __builtin_bswap32(size);
    std::memcpy(element->data() + 4, &size, 4);
    return true;
}

// Values converted per piece of a streamed version 4 array: a few hundred
// kilobytes of memory whatever the array's size.
constexpr size_t kStreamValues = 32 * 1024;

// One part (real or imaginary) of a version 4 array as a level-5 data
// element: its tag, its values read from the file in pieces, its padding.
bool StreamV4Part(const mxArray* array, int part, uint64_t count, bool swap, StagedFile* file) {
    const bool text = array->classId == mxCHAR_CLASS;
    const size_t valueSize = text ? 2 : 8;
    const auto tag = SubelementTag(text ? miUINT16 : miDOUBLE, static_cast<uint32_t>(count * valueSize), swap);
    if (!StagedWrite(file, tag.bytes.data(), tag.size)) return false;
    std::unique_ptr<double[]> values(new (std::nothrow) double[kStreamValues]);
    std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[kStreamValues * 8]);
    if (!values || !bytes) return false;
    for (uint64_t first = 0; first < count;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kStreamValues, count - first));
        if (ReadV4Elements(*array, part, first, n, values.get(), nullptr, nullptr) != n) return false;
        uint8_t* to = bytes.get();
        for (size_t i = 0; i < n; ++i, to += valueSize) {
            if (text) {
                uint16_t unit = V4CodeUnit(values[i]);
                if (swap) unit = __builtin_bswap16(unit);
                std::memcpy(to, &unit, 2);
            } else {
                uint64_t bits;
                std::memcpy(&bits, &values[i], 8);
                if (swap) bits = __builtin_bswap64(bits);
                std::memcpy(to, &bits, 8);
            }
        }
        if (!StagedWrite(file, bytes.get(), n * valueSize)) return false;
        first += n;
    }
    return StagedWrite(file, kZeroPadding, SubelementPadding(count * valueSize));
}

// Bytes of an element in the output's order, collected in a bounded buffer
// and written when it fills.
class PieceWriter {
public:
    PieceWriter(StagedFile* file, bool swap) : file_(file), swap_(swap), buffer_(new (std::nothrow) uint8_t[kSize]) {}
    bool ok() const { return ok_ && buffer_ != nullptr; }
    void Word(uint32_t value) {
        if (swap_) value = __builtin_bswap32(value);
        Put(&value, 4);
    }
    void Double(double value) {
        uint64_t bits;
        std::memcpy(&bits, &value, 8);
        if (swap_) bits = __builtin_bswap64(bits);
        Put(&bits, 8);
    }
    void Tag(uint32_t type, uint64_t bytes) {
        const auto tag = type == miMATRIX ? SubelementTagBytes{StreamedTag(type, static_cast<uint32_t>(bytes), swap_), kTagSize}
                                          : SubelementTag(type, static_cast<uint32_t>(bytes), swap_);
        Put(tag.bytes.data(), tag.size);
    }
    void PadAfter(uint64_t bytes) {
        Put(kZeroPadding, SubelementPadding(bytes));
    }
    void Bytes(const void* data, size_t n) { Put(data, n); }
    bool Finish() {
        ok_ = ok() && StagedWrite(file_, buffer_.get(), used_);
        used_ = 0;
        return ok_;
    }

private:
    static constexpr size_t kSize = 256 * 1024;
    void Put(const void* data, size_t n) {
        if (!ok()) return;
        if (used_ + n > kSize) {
            ok_ = StagedWrite(file_, buffer_.get(), used_);
            used_ = 0;
        }
        std::memcpy(buffer_.get() + used_, data, n);
        used_ += n;
    }
    StagedFile* file_;
    bool swap_;
    std::unique_ptr<uint8_t[]> buffer_;
    size_t used_ = 0;
    bool ok_ = true;
};

// One triplet column of a version 4 sparse array, value after value, read
// in pieces.
class SparseColumn {
public:
    SparseColumn(const mxArray& array, uint32_t column, uint64_t count)
        : array_(array), column_(column), count_(count), buffer_(new (std::nothrow) double[kPiece]) {}
    // The next value; false at the end, on a failed read or without memory.
    bool Next(double* value) {
        if (buffer_ == nullptr || read_ == count_) return false;
        if (at_ == filled_) {
            filled_ = static_cast<size_t>(std::min<uint64_t>(kPiece, count_ - read_));
            if (!ReadV4SparseColumn(array_, column_, read_, filled_, buffer_.get())) return false;
            at_ = 0;
        }
        *value = buffer_[at_++];
        ++read_;
        return true;
    }

private:
    static constexpr size_t kPiece = 8 * 1024;
    const mxArray& array_;
    uint32_t column_;
    uint64_t count_, read_ = 0;
    std::unique_ptr<double[]> buffer_;
    size_t at_ = 0, filled_ = 0;
};

bool IsIndex(double v, uint64_t limit) { return v >= 1 && v <= static_cast<double>(limit) && v == std::floor(v); }

enum class SparseResult { kWritten, kUnsorted, kFailed };

// A version 4 sparse array whose triplets stand in column order (as MATLAB
// writes them) streams through; any other order needs the whole decode.
SparseResult WriteV4Sparse(const mxArray& array, bool swap, StagedFile* file) {
    const uint64_t stored = array.data.v4Rows - 1;   // the last row holds the dimensions
    const uint64_t rows = array.dims[0], cols = array.dims[1];
    {
        SparseColumn is(array, 0, stored), js(array, 1, stored);
        double i = 0, j = 0, lastI = 0, lastJ = 0;
        for (uint64_t k = 0; k < stored; ++k) {
            if (!is.Next(&i) || !js.Next(&j) || !IsIndex(i, rows) || !IsIndex(j, cols)) return SparseResult::kFailed;
            if (j < lastJ || (j == lastJ && i < lastI)) return SparseResult::kUnsorted;
            lastI = i;
            lastJ = j;
        }
    }
    if (stored > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) || !FitsElement(stored, 8) ||
        !FitsElement(cols + 1, 4)) {
        return SparseResult::kFailed;
    }
    const bool complex = array.complex;
    const ArrayHead head{mxSPARSE, static_cast<uint8_t>(complex ? kFlagComplex : 0), static_cast<uint32_t>(stored),
                         array.dims.data(), 2, array.name, {}};
    const uint64_t contentBytes = ArrayHeadBytes(head) + SubelementSize(stored * 4) + SubelementSize((cols + 1) * 4) +
                                  SubelementSize(stored * 8) * (complex ? 2 : 1);
    if (array.name.size() > kMaxNameLength || contentBytes > kMaxElementBytes) return SparseResult::kFailed;

    std::vector<uint8_t> headBytes;
    if (!AppendArrayHead(head, swap, headBytes)) return SparseResult::kFailed;
    PieceWriter w(file, swap);
    w.Tag(miMATRIX, contentBytes);
    w.Bytes(headBytes.data(), headBytes.size());

    w.Tag(miINT32, stored * 4);
    SparseColumn is(array, 0, stored);
    double v = 0;
    for (uint64_t k = 0; k < stored; ++k) {
        if (!is.Next(&v)) return SparseResult::kFailed;
        w.Word(static_cast<uint32_t>(v) - 1);
    }
    w.PadAfter(stored * 4);

    // Column starts: how many values stand in the columns before each.
    w.Tag(miINT32, (cols + 1) * 4);
    SparseColumn js(array, 1, stored);
    uint64_t before = 0;
    bool pending = js.Next(&v);
    for (uint64_t c = 0; c <= cols; ++c) {
        while (pending && v <= static_cast<double>(c)) {
            ++before;
            pending = js.Next(&v);
        }
        w.Word(static_cast<uint32_t>(before));
    }
    if (before != stored) return SparseResult::kFailed;   // a read failed on the way
    w.PadAfter((cols + 1) * 4);

    for (uint32_t part = 2; part < (complex ? 4u : 3u); ++part) {
        w.Tag(miDOUBLE, stored * 8);
        SparseColumn values(array, part, stored);
        for (uint64_t k = 0; k < stored; ++k) {
            if (!values.Next(&v)) return SparseResult::kFailed;
            w.Double(v);
        }
    }
    return w.Finish() ? SparseResult::kWritten : SparseResult::kFailed;
}

}  // namespace

bool WriteV4Element(const mxArray* array, bool bigEndian, StagedFile* file) {
    if (array == nullptr || array->format != &kV4Format || array->dims.size() != 2) return false;
    if (array->sparse) {
        switch (WriteV4Sparse(*array, bigEndian != kNativeBig, file)) {
            case SparseResult::kWritten: return true;
            case SparseResult::kFailed: return false;
            case SparseResult::kUnsorted: break;
        }
        // Nothing is written yet: the whole decode sorts the triplets.
        std::vector<uint8_t> element;
        return EncodeDecodedArray(array, bigEndian, &element) && StagedWrite(file, element.data(), element.size());
    }
    const bool text = array->classId == mxCHAR_CLASS;
    if (!text && array->classId != mxDOUBLE_CLASS) return false;
    const size_t nameLength = array->name.size();
    if (nameLength > kMaxNameLength) return false;
    const uint64_t rows = array->dims[0], cols = array->dims[1];
    if (rows > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) ||
        cols > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        return false;
    }
    const uint64_t count = rows * cols;
    const uint64_t valueSize = text ? 2 : 8;
    if (!FitsElement(count, valueSize)) return false;
    const bool complex = array->complex && !text;
    const uint64_t partBytes = SubelementSize(count * valueSize);
    const ArrayHead arrayHead{FullClassCode(array->classId), static_cast<uint8_t>(complex ? kFlagComplex : 0), 0,
                              array->dims.data(), 2, array->name, {}};
    const uint64_t contentBytes = ArrayHeadBytes(arrayHead) + partBytes * (complex ? 2 : 1);
    if (contentBytes > kMaxElementBytes) return false;

    // Everything before the values: the same bytes EncodeDecodedArray writes.
    std::vector<uint8_t> head;
    try {
        head.reserve(static_cast<size_t>(kTagSize + (contentBytes - partBytes * (complex ? 2 : 1))));
        ElementWriter w{&head, bigEndian != kNativeBig};
        w.Word(miMATRIX);
        w.Word(static_cast<uint32_t>(contentBytes));
        if (!AppendArrayHead(arrayHead, w.swap, head)) return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    const bool swap = bigEndian != kNativeBig;
    return StagedWrite(file, head.data(), head.size()) && StreamV4Part(array, 0, count, swap, file) &&
           (!complex || StreamV4Part(array, 1, count, swap, file));
}

bool EncodeDecodedArray(const mxArray* array, bool bigEndian, std::vector<uint8_t>* element) {
    if (array == nullptr || element == nullptr) return false;
    try {
        return Encode(array, bigEndian, element);
    } catch (const std::bad_alloc&) {
        element->clear();
        return false;
    }
}

bool EncodeSubsystemElement(const std::vector<uint8_t>& payload, bool swap, std::vector<uint8_t>& element) {
    const mwSize dims[2] = {1, static_cast<mwSize>(payload.size())};   // MATLAB writes it 1-by-N
    ArrayHead head;
    head.classCode = mxUINT8;
    head.dims = dims;
    head.rank = 2;
    element.assign(kTagSize, 0);
    if (payload.size() > UINT32_MAX / 2 || !AppendArrayHead(head, swap, element)) {
        element.clear();
        return false;
    }
    const SubelementTagBytes tag = SubelementTag(miUINT8, static_cast<uint32_t>(payload.size()), swap);
    element.insert(element.end(), tag.bytes.begin(), tag.bytes.begin() + static_cast<std::ptrdiff_t>(tag.size));
    element.insert(element.end(), payload.begin(), payload.end());
    element.resize(element.size() + SubelementPadding(payload.size()));
    const auto matrix = StreamedTag(miMATRIX, static_cast<uint32_t>(element.size() - kTagSize), swap);
    std::copy(matrix.begin(), matrix.end(), element.begin());
    return true;
}

}  // namespace matlib

// Level-5 data, decoded only when asked: whole (mxGetPr and siblings) or a
// range of elements (mxReadElements). Cells, structs, objects, function
// handles and opaque arrays are never decoded: their bytes are only copied.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "codec/convert.h"
#include "codec/mat_format.h"
#include "codec/readers.h"

namespace matlib {
namespace {

using namespace format;

bool IsNumericType(uint32_t type) {
    switch (type) {
        case miINT8: case miUINT8: case miINT16: case miUINT16: case miINT32: case miUINT32:
        case miSINGLE: case miDOUBLE: case miINT64: case miUINT64: return true;
        default: return false;
    }
}

// Arrays nested in cells and structs deeper than this are not walked into
// when a variable is checked; no writer nests nearly this deep.
constexpr size_t kMaxCheckedNesting = 256;

uint64_t ElementCount(const mxArray& a) {
    uint64_t n = 1;
    for (mwSize d : a.dims) n *= d;   // checked for overflow when the header was read
    return n;
}

// Reads a subelement's data in fixed chunks, handing each to `take`; the
// output grows only as data actually arrives (a compressed element that
// claims gigabytes costs memory only for what it really inflates to).
template <typename Take>
bool ReadChunks(ElementInput& stream, const SubElement& sub, size_t unit, Take take) {
    if (sub.small) return take(sub.smallData, sub.bytes);
    uint8_t buffer[kInflateChunk];
    size_t perChunk = sizeof buffer / unit * unit;
    uint64_t done = 0;
    while (done < sub.bytes) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(perChunk, sub.bytes - done));
        if (!stream.Read(sub.dataPos + done, buffer, n)) return false;
        if (!take(buffer, n)) return false;
        done += n;
    }
    return true;
}

// A numeric part: exactly `count` values of any numeric type, stored as the class.
bool DecodePart(ElementInput& stream, const SubElement& sub, uint64_t count, mxClassID id,
                bool swapped, std::vector<uint8_t>& out) {
    size_t width = DataTypeSize(sub.type);
    if (!IsNumericType(sub.type) || sub.bytes % width != 0 || sub.bytes / width != count) return false;
    size_t classWidth = ClassElementSize(id);
    out.clear();
    if (sub.type == StoreType(id) && !swapped && !sub.small) {
        // Stored as the class's own type: read straight into place, still
        // growing only as the data arrives.
        constexpr uint64_t kStep = uint64_t{1} << 20;
        for (uint64_t done = 0; done < sub.bytes; done = out.size()) {
            const auto n = static_cast<size_t>(std::min<uint64_t>(kStep, sub.bytes - done));
            out.resize(out.size() + n);
            if (!stream.Read(sub.dataPos + done, out.data() + done, n)) return false;
        }
        return true;
    }
    return ReadChunks(stream, sub, width, [&](const uint8_t* p, size_t n) {
        size_t at = out.size();
        out.resize(at + n / width * classWidth);
        for (size_t i = 0; i < n / width; ++i) {
            if (!StoreAsClass(out.data() + at + i * classWidth, id, p + i * width, sub.type, swapped)) return false;
        }
        return true;
    });
}

void PutUnit(std::vector<uint8_t>& out, uint32_t unit) {
    uint16_t u = static_cast<uint16_t>(unit);
    out.insert(out.end(), reinterpret_cast<uint8_t*>(&u), reinterpret_cast<uint8_t*>(&u) + 2);
}

void PutCodePoint(std::vector<uint8_t>& out, uint32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x10000) {
        PutUnit(out, cp);
    } else {
        cp -= 0x10000;
        PutUnit(out, 0xD800 + (cp >> 10));
        PutUnit(out, 0xDC00 + (cp & 0x3FF));
    }
}

// UTF-8 to UTF-16 units; a malformed sequence gives U+FFFD.
void Utf8ToUnits(const std::vector<uint8_t>& in, std::vector<uint8_t>& out) {
    size_t i = 0;
    while (i < in.size()) {
        uint8_t b = in[i];
        size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > in.size()) {
            PutCodePoint(out, 0xFFFD);
            ++i;
            continue;
        }
        uint32_t cp = len == 1 ? b : b & (0x7F >> len);
        bool ok = true;
        for (size_t k = 1; k < len; ++k) {
            if ((in[i + k] & 0xC0) != 0x80) ok = false;
            cp = cp << 6 | (in[i + k] & 0x3F);
        }
        if (!ok) {
            PutCodePoint(out, 0xFFFD);
            ++i;
            continue;
        }
        PutCodePoint(out, cp);
        i += len;
    }
}

// Character data as UTF-16 units, whatever type MATLAB or another writer chose.
bool DecodeChars(ElementInput& stream, const SubElement& sub, uint64_t count, bool swapped,
                 std::vector<uint8_t>& out) {
    out.clear();
    if (sub.type == miUTF8) {
        std::vector<uint8_t> bytes;
        if (!ReadChunks(stream, sub, 1, [&](const uint8_t* p, size_t n) {
                bytes.insert(bytes.end(), p, p + n);
                return true;
            })) {
            return false;
        }
        Utf8ToUnits(bytes, out);
    } else {
        size_t width = DataTypeSize(sub.type);
        if (width == 0 || sub.bytes % width != 0 || width == 8 || sub.type == miSINGLE) return false;
        if (!ReadChunks(stream, sub, width, [&](const uint8_t* p, size_t n) {
                for (size_t i = 0; i < n; i += width) {
                    uint32_t v = width == 1 ? p[i] : width == 2 ? Load16(p + i, swapped) : Load32(p + i, swapped);
                    if (width == 4) PutCodePoint(out, v);
                    else PutUnit(out, v);
                }
                return true;
            })) {
            return false;
        }
    }
    return out.size() == count * 2;
}

bool DecodeIndices(ElementInput& stream, const SubElement& sub, bool swapped, std::vector<size_t>& out) {
    if ((sub.type != miINT32 && sub.type != miUINT32) || sub.bytes % 4 != 0) return false;
    out.clear();
    return ReadChunks(stream, sub, 4, [&](const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; i += 4) out.push_back(Load32(p + i, swapped));
        return true;
    });
}

bool DecodeSparse(ElementInput& stream, const mxArray& a, bool swapped, uint64_t pos, uint64_t end,
                  bool valuePerRowIndex, DecodedData& out) {
    if (a.dims.size() != 2) return false;
    SubElement ir, jc, pr, pi;
    if (!ReadSubElement(stream, pos, end, swapped, ir) || !DecodeIndices(stream, ir, swapped, out.ir)) return false;
    if (!ReadSubElement(stream, ir.next, end, swapped, jc) || !DecodeIndices(stream, jc, swapped, out.jc)) return false;
    uint64_t rows = a.dims[0], cols = a.dims[1];
    if (out.jc.size() != cols + 1 || out.jc[0] != 0) return false;
    for (uint64_t c = 0; c < cols; ++c) {
        if (out.jc[c + 1] < out.jc[c]) return false;
    }
    // The values: one per stored element (jc's last), or one per row index
    // where the file keeps nzmax of each (version 7.3).
    const uint64_t nnz = valuePerRowIndex ? out.ir.size() : out.jc[cols];
    if (out.jc[cols] > out.ir.size()) return false;
    for (uint64_t k = 0; k < nnz; ++k) {
        if (out.ir[k] >= rows) return false;
    }
    mxClassID id = a.logical ? mxLOGICAL_CLASS : mxDOUBLE_CLASS;
    if (!ReadSubElement(stream, jc.next, end, swapped, pr)) return false;
    // MATLAB tags a sparse logical array's values miDOUBLE but stores one
    // byte per value (scipy's logical_sparse.mat).
    if (a.logical && pr.type == miDOUBLE && pr.bytes == nnz) pr.type = miUINT8;
    if (!DecodePart(stream, pr, nnz, id, swapped, out.real)) return false;
    if (a.complex) {
        if (!ReadSubElement(stream, pr.next, end, swapped, pi) || !DecodePart(stream, pi, nnz, id, swapped, out.imag)) {
            return false;
        }
    }
    return true;
}

bool HasNumericData(const mxArray& a) { return a.fileClass >= mxDOUBLE && a.fileClass <= mxUINT64; }

}  // namespace

void Utf8ToCodeUnits(const uint8_t* bytes, size_t count, std::vector<uint32_t>& units) {
    std::vector<uint8_t> out;
    Utf8ToUnits(std::vector<uint8_t>(bytes, bytes + count), out);
    for (size_t i = 0; i + 1 < out.size(); i += 2) {
        uint16_t unit = 0;
        std::memcpy(&unit, out.data() + i, 2);
        units.push_back(unit);
    }
}

bool DecodeArrayData(ElementInput& stream, const mxArray& a, uint8_t fileClass, bool swapped, uint64_t pos,
                     uint64_t end, bool valuePerRowIndex, DecodedData& out) {
    const uint64_t count = ElementCount(a);
    SubElement real, imag;
    if (fileClass == mxSPARSE) return DecodeSparse(stream, a, swapped, pos, end, valuePerRowIndex, out);
    if (fileClass == mxCHAR) {
        return ReadSubElement(stream, pos, end, swapped, real) && DecodeChars(stream, real, count, swapped, out.real);
    }
    if (fileClass < mxDOUBLE || fileClass > mxUINT64) return false;   // no data of its own to decode
    return ReadSubElement(stream, pos, end, swapped, real) &&
           DecodePart(stream, real, count, a.classId, swapped, out.real) &&
           (!a.complex || (ReadSubElement(stream, real.next, end, swapped, imag) &&
                           DecodePart(stream, imag, count, a.classId, swapped, out.imag)));
}

bool DecodeV5(const mxArray& a, DecodedData& out) {
    ElementStream stream(*a.source, a.data);
    const uint64_t end = a.data.elementEnd;
    if (!DecodeArrayData(stream, a, a.fileClass, a.source->swapped, a.data.dataPos, end, false, out)) return false;
    // A whole decode takes the element to its end and checks the stream there.
    if (a.data.compressed && !stream.Read(end, nullptr, 0)) return false;
    return stream.CheckEnd(end);
}

namespace {

// A compressed element's failure with zlib's own words where it gave them
// (kept for the calling thread until its next check).
const char* InflateFailure(const ElementStream& stream, const char* what) {
    thread_local std::string text;
    if (stream.ZlibReason() == nullptr) return what;
    text = std::string(what) + " (zlib: " + stream.ZlibReason() + ")";
    return text.c_str();
}

}  // namespace

const char* CheckV5Element(const mxArray& a) {
    ElementStream stream(*a.source, a.data);
    const bool swapped = a.source->swapped;
    // Octave 7 flags a sparse logical array as a full one and then stores the
    // parts of a sparse matrix: a logical array's parts are not counted.
    const bool numeric = HasNumericData(a) && !a.logical;
    const uint64_t count = ElementCount(a);
    // Every subelement from the one after the element's tag on: each must fit
    // in what encloses it, and the arrays nested in cells, structs and
    // objects are walked the same way. Each open level keeps where it ends
    // and where its parent goes on after it.
    struct Level {
        uint64_t end, resume;
    };
    std::vector<Level> levels{{a.data.elementEnd, a.data.elementEnd}};
    uint64_t pos = kTagSize, imagAt = 0;
    int partsChecked = 0;
    // The subelements of data the array holds at its top level (0: its
    // parts are not counted).
    const int dataParts = numeric ? (a.complex ? 2 : 1) : a.fileClass == mxCHAR ? 1 : -1;
    while (!levels.empty()) {
        if (pos >= levels.back().end) {
            pos = levels.back().resume;
            levels.pop_back();
            continue;
        }
        SubElement sub;
        if (!ReadSubElement(stream, pos, levels.back().end, swapped, sub)) {
            return a.data.compressed ? InflateFailure(stream, "its compressed data does not inflate (broken stream or wrong checksum) "
                                                       "or a size in it runs past its element")
                                     : "a size in it runs past its element";
        }
        // Nothing stands after an array's own data inside its element:
        // bytes there (zeros or subelements of any kind) are no part of it.
        if (levels.size() == 1 && partsChecked == dataParts) return "data stands after its values, inside its element";
        if (numeric && levels.size() == 1 && (pos == a.data.dataPos || (a.complex && pos == imagAt))) {
            const size_t width = DataTypeSize(sub.type);
            if (!IsNumericType(sub.type) || sub.bytes % width != 0 || sub.bytes / width != count) {
                return "its data does not hold one value per element";
            }
            if (pos == a.data.dataPos) imagAt = sub.next;
            ++partsChecked;
        } else if (a.fileClass == mxCHAR && levels.size() == 1 && pos == a.data.dataPos) {
            ++partsChecked;
        }
        // matio 1.5, compressing, declares a char array (and each array
        // around it) as if its characters took two bytes each, then stores
        // them as UTF-8: the arrays around it go on where the data really
        // ends. Nothing else can stand after an array's character data.
        if (sub.type == miUTF8 && !sub.small && levels.back().end == sub.dataPos + PaddedSize(2 * uint64_t{sub.bytes}) &&
            sub.next < levels.back().end) {
            const uint64_t excess = levels.back().end - sub.next;
            for (Level& level : levels) {
                level.end -= excess;
                level.resume -= excess;
            }
        }
        // Nesting deeper than any writer makes is not walked into: its bytes
        // still count against their element and are checked by the inflate.
        if (sub.type == miMATRIX && !sub.small && levels.size() < kMaxCheckedNesting) {
            levels.push_back({sub.dataPos + sub.bytes, sub.next});
            pos = sub.dataPos;
        } else {
            pos = sub.next;
        }
    }
    if (numeric && partsChecked != (a.complex ? 2 : 1)) {
        return "its data does not hold one value per element";
    }
    // Where the walk ended is where the element ends (before a matio char
    // array's excess, where one was met).
    if (a.data.compressed && (!stream.Read(pos, nullptr, 0) || !stream.CheckEnd(pos))) {
        return InflateFailure(stream, "its compressed data does not inflate whole (broken stream, wrong checksum or wrong size)");
    }
    return nullptr;
}

// Elements first .. first + take of a numeric subelement, converted in
// chunks; fewer when the stream breaks off (readFailed then set).
static size_t ConvertElements(ElementStream& stream, const SubElement& sub, bool swapped, uint64_t first, size_t take,
                              double* asDouble, int64_t* asInt64, uint64_t* asUInt64, bool& readFailed) {
    const size_t width = DataTypeSize(sub.type);
    // Doubles stored in this machine's order, asked for as doubles alone,
    // go straight into the caller's array: no copy, no conversion.
    if (sub.type == miDOUBLE && !swapped && !sub.small && asDouble != nullptr && asInt64 == nullptr &&
        asUInt64 == nullptr) {
        constexpr size_t kStep = size_t{1} << 16;   // what was read before a break is kept
        for (size_t done = 0; done < take; done += std::min(kStep, take - done)) {
            if (!stream.Read(sub.dataPos + (first + done) * width, asDouble + done, std::min(kStep, take - done) * width)) {
                readFailed = true;
                return done;
            }
        }
        return take;
    }
    uint8_t buffer[kInflateChunk];
    size_t done = 0;
    while (done < take) {
        const size_t n = std::min(take - done, sizeof buffer / width);
        if (sub.small) {
            std::memcpy(buffer, sub.smallData + (first + done) * width, n * width);
        } else if (!stream.Read(sub.dataPos + (first + done) * width, buffer, n * width)) {
            readFailed = true;
            break;
        }
        for (size_t i = 0; i < n; ++i) {
            const uint8_t* p = buffer + i * width;
            if (asDouble) asDouble[done + i] = LoadDouble(p, sub.type, swapped);
            if (asInt64) asInt64[done + i] = LoadInt64(p, sub.type, swapped);
            if (asUInt64) asUInt64[done + i] = LoadUInt64(p, sub.type, swapped);
        }
        done += n;
    }
    return done;
}

size_t ReadV5Elements(const mxArray& a, int part, uint64_t first, size_t count,
                      double* asDouble, int64_t* asInt64, uint64_t* asUInt64) {
    if (!HasNumericData(a) || (part == 1 && !a.complex)) return 0;
    ElementStream stream(*a.source, a.data);
    bool swapped = a.source->swapped;
    SubElement sub;
    if (!ReadSubElement(stream, a.data.dataPos, a.data.elementEnd, swapped, sub)) return 0;
    if (part == 1 && !ReadSubElement(stream, sub.next, a.data.elementEnd, swapped, sub)) return 0;
    size_t width = DataTypeSize(sub.type);
    if (!IsNumericType(sub.type)) return 0;
    uint64_t stored = std::min<uint64_t>(sub.bytes / width, ElementCount(a));
    if (first >= stored) return 0;
    size_t take = static_cast<size_t>(std::min<uint64_t>(count, stored - first));
    bool readFailed = false;
    return ConvertElements(stream, sub, swapped, first, take, asDouble, asInt64, asUInt64, readFailed);
}

}  // namespace matlib

namespace matlib {

V5ElementCursor::V5ElementCursor(const mxArray& array, int part) : array_(array), stream_(*array.source, array.data) {
    const mxArray& a = array_;
    if (!HasNumericData(a) || (part == 1 && !a.complex)) return;
    const bool swapped = a.source->swapped;
    if (!ReadSubElement(stream_, a.data.dataPos, a.data.elementEnd, swapped, sub_)) return;
    if (part == 1 && !ReadSubElement(stream_, sub_.next, a.data.elementEnd, swapped, sub_)) return;
    if (!IsNumericType(sub_.type)) return;
    width_ = DataTypeSize(sub_.type);
    // A part that holds fewer values than the array has elements is damage,
    // met when the reads reach its end.
    stored_ = std::min<uint64_t>(sub_.bytes / width_, ElementCount(a));
    lastPart_ = part == 1 || !a.complex;
    opened_ = true;
}

size_t V5ElementCursor::Read(size_t count, double* asDouble, int64_t* asInt64, uint64_t* asUInt64) {
    if (!opened_ || damaged_) return 0;
    const bool swapped = array_.source->swapped;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(count, stored_ - next_));
    bool readFailed = false;
    const size_t done = ConvertElements(stream_, sub_, swapped, next_, take, asDouble, asInt64, asUInt64, readFailed);
    if (readFailed) damaged_ = true;
    next_ += done;
    if (next_ == stored_ && stored_ < ElementCount(array_)) damaged_ = true;   // the part ends before the array
    // A part that holds more (or part of a value) than its elements is damage too.
    if (next_ == ElementCount(array_) && sub_.bytes != ElementCount(array_) * width_) damaged_ = true;
    // The last part read to its end: the element's stream must end whole there.
    if (!damaged_ && lastPart_ && next_ == ElementCount(array_)) {
        const uint64_t end = array_.data.elementEnd;
        if (array_.data.compressed && (!stream_.Read(end, nullptr, 0) || !stream_.CheckEnd(end))) damaged_ = true;
    }
    return done;
}

bool V5ElementCursor::SeekTo(uint64_t first) {
    if (!opened_ || damaged_ || array_.data.compressed || first > stored_) return false;
    next_ = first;
    return true;
}

bool StoredAsTheyAre(const mxArray& a, int part, uint64_t& fileOffset, uint64_t& bytes) {
    if (a.source == nullptr || a.format == nullptr || a.format->layout != FileLayout::kLevel5 || a.data.compressed ||
        a.source->swapped || !HasNumericData(a) || a.logical || a.sparse || (part == 1 && !a.complex) ||
        (part != 0 && part != 1)) {
        return false;
    }
    const uint32_t type = StoreType(a.classId);
    ElementStream stream(*a.source, a.data);
    SubElement sub;
    if (!ReadSubElement(stream, a.data.dataPos, a.data.elementEnd, false, sub)) return false;
    if (part == 1 && !ReadSubElement(stream, sub.next, a.data.elementEnd, false, sub)) return false;
    if (type == 0 || sub.type != type || sub.small || sub.bytes != ElementCount(a) * DataTypeSize(type)) return false;
    fileOffset = a.data.streamOffset + sub.dataPos;
    bytes = sub.bytes;
    return fileOffset <= a.source->size && bytes <= a.source->size - fileOffset;
}

}  // namespace matlib

#include "matlib/subsystem.h"

#include <cstring>
#include <utility>

#include "matlib/mat_format.h"
#include "matlib/readers.h"

namespace matlib {
namespace {

using namespace format;

// Region numbers of the object metadata.
constexpr size_t kClassRegion = 0;
constexpr size_t kSavedPropertyRegion = 1;
constexpr size_t kObjectRegion = 2;
constexpr size_t kPropertyRegion = 3;
constexpr size_t kRegionCount = 8;
constexpr size_t kNamesAt = 40;          // version, name count, eight offsets
constexpr size_t kClassRecordBytes = 16;
constexpr size_t kObjectRecordBytes = 24;
// Property values of kind 1 count from the third cell element: the first
// holds the metadata, the second is reserved.
constexpr uint32_t kFirstValueCell = 2;
// Versions of the metadata layout MATLAB has written; later ones may differ.
constexpr uint32_t kMaxMetadataVersion = 4;

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

uint32_t Subsystem::Word(size_t at) const { return Load32(data_.data() + metaPos_ + at, bytes_.swapped); }

bool Subsystem::Load(std::vector<uint8_t> payload, std::string& error) {
    data_ = std::move(payload);
    bytes_ = Bytes{data_.data(), data_.size(), false};
    if (data_.size() < kSubsystemPreamble + kTagSize) {
        error = "subsystem data too short";
        return false;
    }
    const uint8_t* mark = data_.data() + 2;
    if (mark[0] == kEndianBig[0] && mark[1] == kEndianBig[1]) {
        bytes_.swapped = true;   // this machine is little-endian
    } else if (mark[0] != kEndianLittle[0] || mark[1] != kEndianLittle[1]) {
        error = "subsystem data without endian indicator";
        return false;
    }
    ArrayView top, wrapper, cell;
    if (!ParseArrayView(bytes_, kSubsystemPreamble, top) || top.cls != mxSTRUCT || top.count != 1) {
        error = "subsystem data holds no struct";
        return false;
    }
    // The "MCOS" field of the 1x1 struct.
    size_t at = top.childrenPos;
    bool found = false;
    for (const std::string& field : top.fields) {
        if (!ParseArrayView(bytes_, at, wrapper)) break;
        if (field == "MCOS") {
            found = true;
            break;
        }
        at = wrapper.next;
    }
    if (!found || wrapper.cls != mxOPAQUE || wrapper.className != "FileWrapper__" ||
        !ParseArrayView(bytes_, wrapper.contentPos, cell) || cell.cls != mxCELL) {
        error = "subsystem data holds no MCOS object data";
        return false;
    }
    // Each element takes at least a tag, so the list is bounded by the bytes.
    at = cell.childrenPos;
    for (uint64_t i = 0; i < cell.count; ++i) {
        ArrayView element;
        if (!ParseArrayView(bytes_, at, element) || element.end > cell.end) {
            error = "object data cell damaged";
            return false;
        }
        cells_.push_back(at);
        at = element.next;
    }
    ArrayView meta;
    if (cells_.size() < kFirstValueCell || !ParseArrayView(bytes_, cells_[0], meta) || meta.cls != mxUINT8 ||
        meta.realBytes < kNamesAt) {
        error = "object metadata missing";
        return false;
    }
    metaPos_ = meta.realPos;
    metaSize_ = meta.realBytes;
    const uint32_t version = Word(0);
    const uint32_t nameCount = Word(4);
    if (version == 0 || version > kMaxMetadataVersion) {
        error = "object metadata of unknown version " + std::to_string(version);
        return false;
    }
    uint32_t previous = kNamesAt;
    for (size_t r = 0; r < kRegionCount; ++r) {
        offsets_[r] = Word(8 + 4 * r);
        if (offsets_[r] < previous || offsets_[r] > metaSize_) {
            error = "object metadata regions out of order";
            return false;
        }
        previous = offsets_[r];
    }
    // Names: NUL-terminated, between the offsets and the first region.
    const char* text = reinterpret_cast<const char*>(data_.data() + metaPos_);
    size_t pos = kNamesAt;
    for (uint32_t i = 0; i < nameCount; ++i) {
        if (pos >= offsets_[0]) {
            error = "object metadata names cut short";
            return false;
        }
        const size_t length = strnlen(text + pos, offsets_[0] - pos);
        names_.emplace_back(text + pos, length);
        pos += length + 1;
    }
    return true;
}

bool Subsystem::Region(size_t index, size_t& start, size_t& end) const {
    start = offsets_[index];
    end = index + 1 < kRegionCount ? offsets_[index + 1] : metaSize_;
    return start <= end;
}

bool Subsystem::Record(uint32_t objectId, uint32_t words[6], std::string& error) const {
    size_t start = 0, end = 0;
    Region(kObjectRegion, start, end);
    const uint64_t at = start + static_cast<uint64_t>(objectId) * kObjectRecordBytes;
    if (objectId == 0 || at + kObjectRecordBytes > end) {
        error = "object id " + std::to_string(objectId) + " not in the object data";
        return false;
    }
    for (size_t i = 0; i < 6; ++i) words[i] = Word(static_cast<size_t>(at) + 4 * i);
    return true;
}

bool Subsystem::ClassName(uint32_t objectId, std::string& out, std::string& error) const {
    uint32_t record[6];
    if (!Record(objectId, record, error)) return false;
    size_t start = 0, end = 0;
    Region(kClassRegion, start, end);
    const uint64_t at = start + static_cast<uint64_t>(record[0]) * kClassRecordBytes;
    if (record[0] == 0 || at + kClassRecordBytes > end) {
        error = "class id " + std::to_string(record[0]) + " not in the object data";
        return false;
    }
    const uint32_t package = Word(static_cast<size_t>(at));
    const uint32_t name = Word(static_cast<size_t>(at) + 4);
    if (name == 0 || name > names_.size() || package > names_.size()) {
        error = "class name index out of range";
        return false;
    }
    out = package != 0 ? names_[package - 1] + "." + names_[name - 1] : names_[name - 1];
    return true;
}

// Finds block `index` of a property region: blocks are a count and that many
// triplets, padded to 8 bytes; block 0 belongs to no object.
bool Subsystem::Block(size_t region, uint32_t index, size_t& pos, uint32_t& count, std::string& error) const {
    size_t start = 0, end = 0;
    Region(region, start, end);
    pos = start;
    for (uint32_t i = 0;; ++i) {
        if (end - pos < 4) {
            error = "property block " + std::to_string(index) + " not in the object data";
            return false;
        }
        count = Word(pos);
        if (count > (end - pos - 4) / 12) {
            error = "property count beyond the object data";
            return false;
        }
        if (i == index) return true;
        pos += static_cast<size_t>(RoundUp8(4 + 12 * static_cast<uint64_t>(count)));
        if (pos > end) pos = end;
    }
}

bool Subsystem::Defaults(uint32_t classId, std::vector<Property>& out) const {
    ArrayView all, entry;
    if (cells_.size() <= kFirstValueCell || !ParseArrayView(bytes_, cells_.back(), all) || all.cls != mxCELL ||
        classId >= all.count) {
        return false;
    }
    size_t at = all.childrenPos;
    for (uint32_t i = 0; i <= classId; ++i) {
        if (!ParseArrayView(bytes_, at, entry) || entry.end > all.end) return false;
        if (i < classId) at = entry.next;
    }
    if (entry.cls != mxSTRUCT || entry.count != 1) return false;
    size_t child = entry.childrenPos;
    for (const std::string& field : entry.fields) {
        ArrayView value;
        if (!ParseArrayView(bytes_, child, value) || value.end > entry.end) return false;
        Property p;
        p.name = field;
        p.hasValue = true;
        p.valuePos = child;
        out.push_back(std::move(p));
        child = value.next;
    }
    return true;
}

bool Subsystem::Properties(uint32_t objectId, std::vector<Property>& out, std::string& error) const {
    out.clear();
    uint32_t record[6];
    if (!Record(objectId, record, error)) return false;
    Defaults(record[0], out);   // a class without defaults has none to show
    const bool saved = record[3] != 0;
    size_t pos = 0;
    uint32_t count = 0;
    if (!Block(saved ? kSavedPropertyRegion : kPropertyRegion, saved ? record[3] : record[4], pos, count, error)) {
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = pos + 4 + 12 * static_cast<size_t>(i);
        const uint32_t nameIndex = Word(at), kind = Word(at + 4), value = Word(at + 8);
        if (nameIndex == 0 || nameIndex > names_.size()) {
            error = "property name index out of range";
            return false;
        }
        Property p;
        p.name = names_[nameIndex - 1];
        if (kind == 1) {
            if (static_cast<uint64_t>(value) + kFirstValueCell >= cells_.size()) {
                error = "property value " + std::to_string(value) + " not in the object data";
                return false;
            }
            p.hasValue = true;
            p.valuePos = cells_[value + kFirstValueCell];
        } else if (kind == 0 && value >= 1 && value <= names_.size()) {
            p.text = names_[value - 1];
        } else {
            p.text = std::to_string(value);
        }
        bool replaced = false;
        for (Property& existing : out) {
            if (existing.name == p.name) {
                existing = p;
                replaced = true;
            }
        }
        if (!replaced) out.push_back(std::move(p));
    }
    return true;
}

}  // namespace matlib

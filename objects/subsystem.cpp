#include "objects/subsystem.h"

#include <cstring>
#include <utility>

#include "codec/mat_format.h"
#include "codec/readers.h"

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

}  // namespace

uint32_t Subsystem::Word(size_t at) const { return Load32(bytes_.data + metaPos_ + at, bytes_.swapped); }

bool Subsystem::Load(HeldBytes payload, std::string& error) {
    held_ = std::move(payload);
    bytes_ = held_.View(false);
    if (bytes_.size < kSubsystemPreamble + kTagSize) {
        error = "subsystem data too short";
        return false;
    }
    const uint8_t* mark = bytes_.data + 2;
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
        // Version 3 (MATLAB R2018b and near it) uses six regions and leaves
        // the last two offsets 0: empty regions at the end.
        if (offsets_[r] == 0 && r >= 6 && version == 3) offsets_[r] = previous;
        if (offsets_[r] < previous || offsets_[r] > metaSize_) {
            error = "object metadata regions out of order";
            return false;
        }
        previous = offsets_[r];
    }
    // Names: NUL-terminated, between the offsets and the first region.
    const char* text = reinterpret_cast<const char*>(bytes_.data + metaPos_);
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
        pos += static_cast<size_t>(PaddedSize(4 + 12 * static_cast<uint64_t>(count)));
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

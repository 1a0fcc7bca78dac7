#include "update/subsystem_merge.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

#include "codec/array_view.h"
#include "codec/element_writer.h"
#include "codec/mat_format.h"
#include "codec/source_io.h"

namespace matlib {
namespace {

using namespace format;

constexpr uint32_t kObjectMarker = 0xDD000000;
constexpr size_t kRegionCount = 8;
constexpr size_t kNamesAt = 40;   // version, name count, eight offsets
enum Region { kClasses = 0, kSavedProperties = 1, kObjects = 2, kProperties = 3, kDynamicProperties = 4 };
constexpr uint32_t kFirstValueCell = 2;   // the metadata, then MATLAB's empty element
constexpr int kMaxDepth = 256;

void Store32(uint8_t* p, uint32_t value, bool swapped) {
    for (int i = 0; i < 4; ++i) p[swapped ? 3 - i : i] = static_cast<uint8_t>(value >> (8 * i));
}

using Words = std::vector<uint32_t>;
using Block = Words;   // a count's records, the count left out

// One file's subsystem data, taken apart.
struct Parts {
    const std::vector<uint8_t>* data = nullptr;
    Bytes bytes;
    ArrayView top, wrapper, cell;
    size_t wrapperPos = 0, cellPos = 0;
    std::vector<std::pair<size_t, size_t>> cells;   // each element's [start, next)
    uint32_t version = 0;
    std::vector<std::string> names;
    Words regions[kRegionCount];
    size_t tails = 0;    // per-class tables at the cell's end
    size_t values = 0;   // property values between the first two elements and the tails
};

bool Fail(std::string& error, std::string reason) {
    error = std::move(reason);
    return false;
}

bool Parse(const std::vector<uint8_t>& data, Parts& p, std::string& error) {
    p.data = &data;
    p.bytes = Bytes{data.data(), data.size(), false};
    if (data.size() < kSubsystemPreamble + kTagSize) return Fail(error, "subsystem data too short");
    const uint8_t* mark = data.data() + 2;
    if (mark[0] == kEndianBig[0] && mark[1] == kEndianBig[1]) {
        p.bytes.swapped = true;
    } else if (mark[0] != kEndianLittle[0] || mark[1] != kEndianLittle[1]) {
        return Fail(error, "subsystem data without endian indicator");
    }
    if (!ParseArrayView(p.bytes, kSubsystemPreamble, p.top) || p.top.cls != mxSTRUCT || p.top.count != 1 ||
        p.top.fields.size() != 1 || p.top.fields[0] != "MCOS") {
        return Fail(error, "subsystem data other than MATLAB's objects alone");
    }
    p.wrapperPos = p.top.childrenPos;
    if (!ParseArrayView(p.bytes, p.wrapperPos, p.wrapper) || p.wrapper.cls != mxOPAQUE ||
        p.wrapper.className != "FileWrapper__" || !ParseArrayView(p.bytes, p.wrapper.contentPos, p.cell) ||
        p.cell.cls != mxCELL || p.cell.next > p.wrapper.end) {
        return Fail(error, "subsystem data holds no MCOS object data");
    }
    p.cellPos = p.wrapper.contentPos;
    size_t at = p.cell.childrenPos;
    for (uint64_t i = 0; i < p.cell.count; ++i) {
        ArrayView element;
        if (!ParseArrayView(p.bytes, at, element) || element.next > p.cell.end) return Fail(error, "object data cell damaged");
        p.cells.push_back({at, element.next});
        at = element.next;
    }
    ArrayView meta;
    if (p.cells.empty() || !ParseArrayView(p.bytes, p.cells[0].first, meta) || meta.cls != mxUINT8 ||
        meta.realType != miUINT8 || meta.realBytes < kNamesAt || meta.realBytes % 4 != 0) {
        return Fail(error, "object metadata missing");
    }
    const uint8_t* m = data.data() + meta.realPos;
    auto word = [&](size_t at) { return Load32(m + at, p.bytes.swapped); };
    p.version = word(0);
    // The per-class tables at the cell's end: the defaults, the int32 table,
    // and since version 4 a cell of empty structs.
    p.tails = p.version == 4 ? 3 : p.version == 3 ? 2 : 0;
    if (p.tails == 0) return Fail(error, "object data of version " + std::to_string(p.version) + " is not merged");
    if (p.cells.size() < kFirstValueCell + p.tails) return Fail(error, "object data cell too short");
    p.values = p.cells.size() - kFirstValueCell - p.tails;
    size_t offsets[kRegionCount + 1];
    for (size_t r = 0; r < kRegionCount; ++r) offsets[r] = word(8 + 4 * r);
    offsets[kRegionCount] = meta.realBytes;
    // Version 3 leaves its last two offsets 0: those regions are empty.
    for (size_t r = 0; r < kRegionCount; ++r) {
        if (offsets[r] == 0 && r > 0) offsets[r] = offsets[r - 1];
    }
    for (size_t r = 0; r < kRegionCount; ++r) {
        const size_t end = r + 1 < kRegionCount && offsets[r + 1] != 0 ? offsets[r + 1] : meta.realBytes;
        if (offsets[r] < kNamesAt || offsets[r] > end || end > meta.realBytes || (end - offsets[r]) % 4 != 0) {
            return Fail(error, "object metadata regions out of order");
        }
        for (size_t at = offsets[r]; at < end; at += 4) p.regions[r].push_back(word(at));
    }
    const char* text = reinterpret_cast<const char*>(m);
    size_t pos = kNamesAt;
    for (uint32_t i = word(4); i > 0; --i) {
        if (pos >= offsets[0]) return Fail(error, "object metadata names cut short");
        const size_t length = strnlen(text + pos, offsets[0] - pos);
        p.names.emplace_back(text + pos, length);
        pos += length + 1;
    }
    return true;
}

// Blocks of a region: a count, then count records of `width` words, each
// block padded to 8 bytes.
bool Blocks(const Words& words, size_t width, std::vector<Block>& out) {
    for (size_t at = 0; at < words.size();) {
        const uint64_t count = words[at];
        if (count > (words.size() - at - 1) / width) return false;
        out.emplace_back(words.begin() + static_cast<std::ptrdiff_t>(at + 1),
                         words.begin() + static_cast<std::ptrdiff_t>(at + 1 + count * width));
        at += 1 + count * width;
        if (at % 2 != 0) ++at;
    }
    return true;
}

void AppendBlocks(const std::vector<Block>& blocks, size_t width, Words& out) {
    for (const Block& b : blocks) {
        out.push_back(static_cast<uint32_t>(b.size() / width));
        out.insert(out.end(), b.begin(), b.end());
        if (out.size() % 2 != 0) out.push_back(0);
    }
}

class Merger {
public:
    Merger(const Parts& base, const Parts& in, ObjectRenumbering& map) : base_(base), in_(in), map_(map) {}

    bool Run(std::vector<uint8_t>& merged, std::string& error) {
        if (base_.version != in_.version) {
            return Fail(error, "their objects were saved in two versions of MATLAB's object format (" +
                                   std::to_string(base_.version) + " and " + std::to_string(in_.version) + ")");
        }
        if (base_.bytes.swapped != in_.bytes.swapped) return Fail(error, "their subsystem data differ in byte order");
        names_ = base_.names;
        for (size_t i = 0; i < names_.size(); ++i) nameIndex_.emplace(names_[i], static_cast<uint32_t>(i + 1));
        Words regions[kRegionCount];
        if (!Classes(regions[kClasses], error) || !Objects(regions, error) || !Dynamic(regions[kDynamicProperties], error)) {
            return false;
        }
        for (size_t r = kDynamicProperties + 1; r < kRegionCount; ++r) {
            const Words& a = base_.regions[r];
            const Words& b = in_.regions[r];
            if (!a.empty() && !b.empty() && a != b) {
                return Fail(error, "their object data differ in a part whose meaning is not known (region " + std::to_string(r) + ")");
            }
            regions[r] = a.empty() ? b : a;
        }
        std::vector<uint8_t> cell;
        if (!Cell(Metadata(regions), cell, error)) return false;
        // The payload as the base's, its cell replaced: the struct's and the
        // wrapper's tags grow by what the cell grew.
        const std::vector<uint8_t>& b = *base_.data;
        const size_t oldCell = base_.cell.next - base_.cellPos;
        merged.assign(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(base_.cellPos));
        merged.insert(merged.end(), cell.begin(), cell.end());
        merged.insert(merged.end(), b.begin() + static_cast<std::ptrdiff_t>(base_.cell.next), b.end());
        for (size_t tag : {kSubsystemPreamble, base_.wrapperPos}) {
            const uint64_t size = Load32(merged.data() + tag + 4, base_.bytes.swapped) + cell.size() - oldCell;
            if (size > UINT32_MAX) return Fail(error, "the merged subsystem data is too large");
            Store32(merged.data() + tag + 4, static_cast<uint32_t>(size), base_.bytes.swapped);
        }
        return true;
    }

private:
    bool Name(uint32_t index, uint32_t& out, std::string& error) {
        if (index == 0) return out = 0, true;
        if (index > in_.names.size()) return Fail(error, "object metadata name index out of range");
        const std::string& name = in_.names[index - 1];
        auto found = nameIndex_.find(name);
        if (found == nameIndex_.end()) {
            names_.push_back(name);
            found = nameIndex_.emplace(name, static_cast<uint32_t>(names_.size())).first;
        }
        out = found->second;
        return true;
    }

    std::string ClassKey(const Parts& p, const Words& w, size_t c) {
        auto name = [&](uint32_t i) { return i >= 1 && i <= p.names.size() ? p.names[i - 1] : std::string(); };
        return name(w[4 * c]) + "." + name(w[4 * c + 1]);
    }

    // Classes of the same package and name are one; the others follow the base's.
    bool Classes(Words& out, std::string& error) {
        const Words& a = base_.regions[kClasses];
        const Words& b = in_.regions[kClasses];
        if (a.size() % 4 != 0 || b.size() % 4 != 0 || a.size() < 4 || b.size() < 4) return Fail(error, "object class table damaged");
        out = a;
        std::map<std::string, uint32_t> known;
        for (size_t c = 1; c < a.size() / 4; ++c) known.emplace(ClassKey(base_, a, c), static_cast<uint32_t>(c));
        map_.classes.assign(b.size() / 4, 0);
        for (size_t c = 1; c < b.size() / 4; ++c) {
            const auto found = known.find(ClassKey(in_, b, c));
            if (found != known.end()) {
                map_.classes[c] = found->second;
                continue;
            }
            uint32_t package = 0, name = 0;
            if (!Name(b[4 * c], package, error) || !Name(b[4 * c + 1], name, error)) return false;
            map_.classes[c] = static_cast<uint32_t>(out.size() / 4);
            appendedClasses_.push_back(c);
            out.insert(out.end(), {package, name, b[4 * c + 2], b[4 * c + 3]});
        }
        return true;
    }

    // A property block's triples (name, kind, value): names joined, kind 1
    // values (cell elements) after the base's.
    bool Properties(Block& block, std::string& error) {
        for (size_t t = 0; t + 3 <= block.size(); t += 3) {
            const uint32_t kind = block[t + 1];
            if (!Name(block[t], block[t], error)) return false;
            if (kind == 1) {
                block[t + 2] += static_cast<uint32_t>(base_.values);
            } else if (kind == 0) {
                if (!Name(block[t + 2], block[t + 2], error)) return false;
            } else if (kind != 2) {
                return Fail(error, "an object property of kind " + std::to_string(kind) + " is not merged");
            }
        }
        return true;
    }

    bool PropertyRegion(size_t r, Words& out, uint32_t& firstIncoming, std::string& error) {
        std::vector<Block> a, b;
        if (!Blocks(base_.regions[r], 3, a) || !Blocks(in_.regions[r], 3, b)) return Fail(error, "object property blocks damaged");
        firstIncoming = 1;
        if (a.empty() && b.empty()) return true;
        // A file whose objects use none leaves the region empty: block 0 alone.
        if (a.empty()) a.emplace_back();
        if (b.empty()) b.emplace_back();
        firstIncoming = static_cast<uint32_t>(a.size());
        for (size_t i = 1; i < b.size(); ++i) {
            if (!Properties(b[i], error)) return false;
            a.push_back(std::move(b[i]));
        }
        AppendBlocks(a, 3, out);
        return true;
    }

    bool Objects(Words* regions, std::string& error) {
        uint32_t savedAt = 0, propertiesAt = 0;
        if (!PropertyRegion(kSavedProperties, regions[kSavedProperties], savedAt, error) ||
            !PropertyRegion(kProperties, regions[kProperties], propertiesAt, error)) {
            return false;
        }
        const Words& a = base_.regions[kObjects];
        const Words& b = in_.regions[kObjects];
        if (a.size() % 6 != 0 || b.size() % 6 != 0 || a.empty() || b.empty()) return Fail(error, "object table damaged");
        baseObjects_ = a.size() / 6 - 1;
        incomingObjects_ = b.size() / 6 - 1;
        map_.objectOffset = static_cast<uint32_t>(baseObjects_);
        map_.objects = static_cast<uint32_t>(incomingObjects_);
        uint32_t lastOrder = 0;
        for (size_t k = 5; k < a.size(); k += 6) lastOrder = std::max(lastOrder, a[k]);
        Words& out = regions[kObjects];
        out = a;
        for (size_t o = 1; o <= incomingObjects_; ++o) {
            const uint32_t* r = b.data() + 6 * o;
            if (r[0] >= map_.classes.size()) return Fail(error, "object of an unknown class");
            // A block index past the region would point at nothing: kept as 0 then.
            out.insert(out.end(), {map_.classes[r[0]], r[1], r[2], r[3] != 0 ? r[3] - 1 + savedAt : 0,
                                   r[4] != 0 ? r[4] - 1 + propertiesAt : 0, r[5] != 0 ? r[5] + lastOrder : 0});
        }
        return true;
    }

    // One block per object id (0 included) listing its dynamic properties'
    // objects; a file without any may leave the region empty.
    bool Dynamic(Words& out, std::string& error) {
        std::vector<Block> a, b;
        if (!Blocks(base_.regions[kDynamicProperties], 1, a) || !Blocks(in_.regions[kDynamicProperties], 1, b)) {
            return Fail(error, "dynamic property blocks damaged");
        }
        if (a.empty() && b.empty()) return true;
        if (a.empty()) a.assign(baseObjects_ + 1, Block{});
        if (b.empty()) b.assign(incomingObjects_ + 1, Block{});
        if (a.size() != baseObjects_ + 1 || b.size() != incomingObjects_ + 1) return Fail(error, "dynamic property blocks damaged");
        for (size_t o = 1; o < b.size(); ++o) {
            for (uint32_t& id : b[o]) id += map_.objectOffset;
            a.push_back(std::move(b[o]));
        }
        AppendBlocks(a, 1, out);
        return true;
    }

    std::vector<uint8_t> Metadata(const Words* regions) {
        std::vector<uint8_t> m(kNamesAt);
        for (const std::string& name : names_) m.insert(m.end(), name.c_str(), name.c_str() + name.size() + 1);
        m.resize(PaddedSize(m.size()));
        const bool swapped = base_.bytes.swapped;
        Store32(m.data(), base_.version, swapped);
        Store32(m.data() + 4, static_cast<uint32_t>(names_.size()), swapped);
        for (size_t r = 0; r < kRegionCount; ++r) {
            // Version 3 leaves the offsets of the regions it does not use 0.
            const bool unused = base_.version == 3 && r >= 6 && regions[r].empty();
            Store32(m.data() + 8 + 4 * r, unused ? 0 : static_cast<uint32_t>(m.size()), swapped);
            for (uint32_t w : regions[r]) {
                m.resize(m.size() + 4);
                Store32(m.data() + m.size() - 4, w, swapped);
            }
        }
        return m;
    }

    bool Element(const ArrayHead& head, const uint8_t* data, uint32_t type, size_t bytes, std::vector<uint8_t>& out) {
        std::vector<uint8_t> body;
        if (!AppendArrayHead(head, base_.bytes.swapped, body)) return false;
        if (data != nullptr) {
            const SubelementTagBytes tag = SubelementTag(type, static_cast<uint32_t>(bytes), base_.bytes.swapped);
            body.insert(body.end(), tag.bytes.begin(), tag.bytes.begin() + static_cast<std::ptrdiff_t>(tag.size));
            body.insert(body.end(), data, data + bytes);
            body.resize(body.size() + SubelementPadding(bytes));
        }
        return Wrap(body, out);
    }

    bool Wrap(const std::vector<uint8_t>& body, std::vector<uint8_t>& out) {
        if (body.size() > UINT32_MAX) return false;
        const auto tag = StreamedTag(miMATRIX, static_cast<uint32_t>(body.size()), base_.bytes.swapped);
        out.insert(out.end(), tag.begin(), tag.end());
        out.insert(out.end(), body.begin(), body.end());
        return true;
    }

    void Copy(const Parts& p, size_t k, std::vector<uint8_t>& out) {
        const std::vector<uint8_t>& d = *p.data;
        out.insert(out.end(), d.begin() + static_cast<std::ptrdiff_t>(p.cells[k].first),
                   d.begin() + static_cast<std::ptrdiff_t>(p.cells[k].second));
    }

    bool CopyRenumbered(const Parts& p, size_t k, std::vector<uint8_t>& out, std::string& error) {
        std::vector<uint8_t> element;
        Copy(p, k, element);
        if (!RenumberObjects(element, p.bytes.swapped, true, map_, error)) return false;
        out.insert(out.end(), element.begin(), element.end());
        return true;
    }

    // A per-class table: the base's entries, then the incoming's for the
    // classes it adds. Cells of values (defaults may hold objects), or int32.
    bool Tail(size_t t, std::vector<uint8_t>& out, std::string& error) {
        const size_t ka = base_.cells.size() - base_.tails + t, kb = in_.cells.size() - in_.tails + t;
        ArrayView a, b;
        if (!ParseArrayView(base_.bytes, base_.cells[ka].first, a) || !ParseArrayView(in_.bytes, in_.cells[kb].first, b) ||
            a.cls != b.cls || a.count != base_.regions[kClasses].size() / 4 || b.count != in_.regions[kClasses].size() / 4) {
            return Fail(error, "object class tables damaged");
        }
        const mwSize dims[2] = {static_cast<mwSize>(a.count + appendedClasses_.size()), 1};
        ArrayHead head;
        head.classCode = a.cls;
        head.dims = dims;
        head.rank = 2;
        if (a.cls == mxCELL) {
            std::vector<size_t> starts[2];
            for (int side = 0; side < 2; ++side) {
                const Parts& p = side == 0 ? base_ : in_;
                const ArrayView& v = side == 0 ? a : b;
                size_t at = v.childrenPos;
                for (uint64_t i = 0; i < v.count; ++i) {
                    ArrayView child;
                    if (!ParseArrayView(p.bytes, at, child) || child.next > v.end) return Fail(error, "object class tables damaged");
                    starts[side].push_back(at);
                    at = child.next;
                }
                starts[side].push_back(at);
            }
            std::vector<uint8_t> body;
            if (!AppendArrayHead(head, base_.bytes.swapped, body)) return Fail(error, "object class tables too large");
            const std::vector<uint8_t>& da = *base_.data;
            body.insert(body.end(), da.begin() + static_cast<std::ptrdiff_t>(starts[0].front()),
                        da.begin() + static_cast<std::ptrdiff_t>(starts[0].back()));
            for (size_t c : appendedClasses_) {
                std::vector<uint8_t> entry(in_.data->begin() + static_cast<std::ptrdiff_t>(starts[1][c]),
                                           in_.data->begin() + static_cast<std::ptrdiff_t>(starts[1][c + 1]));
                if (!RenumberObjects(entry, in_.bytes.swapped, true, map_, error)) return false;
                body.insert(body.end(), entry.begin(), entry.end());
            }
            return Wrap(body, out) || Fail(error, "object class tables too large");
        }
        if (a.cls != mxINT32 || a.realType != miINT32 || b.realType != miINT32) return Fail(error, "object class tables of an unknown kind");
        std::vector<uint8_t> values(base_.data->begin() + static_cast<std::ptrdiff_t>(a.realPos),
                                    base_.data->begin() + static_cast<std::ptrdiff_t>(a.realPos + a.realBytes));
        for (size_t c : appendedClasses_) {
            const uint8_t* v = in_.data->data() + b.realPos + 4 * c;
            values.insert(values.end(), v, v + 4);
        }
        return Element(head, values.data(), miINT32, values.size(), out) || Fail(error, "object class tables too large");
    }

    bool Cell(const std::vector<uint8_t>& metadata, std::vector<uint8_t>& out, std::string& error) {
        std::vector<uint8_t> children;
        const mwSize metaDims[2] = {static_cast<mwSize>(metadata.size()), 1};
        ArrayHead meta;
        meta.classCode = mxUINT8;
        meta.dims = metaDims;
        meta.rank = 2;
        if (!Element(meta, metadata.data(), miUINT8, metadata.size(), children)) return Fail(error, "object metadata too large");
        for (size_t k = 1; k < kFirstValueCell + base_.values; ++k) Copy(base_, k, children);
        for (size_t k = kFirstValueCell; k < kFirstValueCell + in_.values; ++k) {
            if (!CopyRenumbered(in_, k, children, error)) return false;
        }
        for (size_t t = 0; t < base_.tails; ++t) {
            if (!Tail(t, children, error)) return false;
        }
        const uint64_t count = base_.cells.size() + in_.values;
        const bool row = base_.cell.dims.size() == 2 && base_.cell.dims[0] == 1 && base_.cell.dims[1] != 1;
        const mwSize dims[2] = {static_cast<mwSize>(row ? 1 : count), static_cast<mwSize>(row ? count : 1)};
        ArrayHead head;
        head.classCode = mxCELL;
        head.dims = dims;
        head.rank = 2;
        std::vector<uint8_t> body;
        if (!AppendArrayHead(head, base_.bytes.swapped, body)) return Fail(error, "object data too large");
        body.insert(body.end(), children.begin(), children.end());
        return Wrap(body, out) || Fail(error, "object data too large");
    }

    const Parts& base_;
    const Parts& in_;
    ObjectRenumbering& map_;
    std::vector<std::string> names_;
    std::map<std::string, uint32_t> nameIndex_;
    std::vector<size_t> appendedClasses_;   // incoming class ids that the base lacks, in order
    size_t baseObjects_ = 0, incomingObjects_ = 0;
};

// The id array of an object reference: [marker, ndims, dims..., ids..., class].
bool RenumberReference(std::vector<uint8_t>& e, bool swapped, const ArrayView& v, const ObjectRenumbering& map,
                       std::string& error) {
    if (v.realType != miUINT32 || v.realBytes < 16 || v.realPos + v.realBytes > e.size()) return true;
    uint8_t* w = e.data() + v.realPos;
    const size_t words = v.realBytes / 4;
    if (Load32(w, swapped) != kObjectMarker) return true;
    const uint64_t rank = Load32(w + 4, swapped);
    if (rank > words) return Fail(error, "object reference damaged");
    uint64_t count = 1;
    for (uint64_t d = 0; d < rank; ++d) {
        count *= Load32(w + 8 + 4 * d, swapped);
        if (count > words) return Fail(error, "object reference damaged");
    }
    if (2 + rank + count + 1 != words) return Fail(error, "object reference damaged");
    for (uint64_t k = 0; k < count; ++k) {
        uint8_t* id = w + 4 * (2 + rank + k);
        const uint32_t old = Load32(id, swapped);
        if (old > map.objects) return Fail(error, "a reference to object " + std::to_string(old) + ", which its file does not hold");
        if (old != 0) Store32(id, old + map.objectOffset, swapped);
    }
    uint8_t* cls = w + 4 * (words - 1);
    const uint32_t oldClass = Load32(cls, swapped);
    if (!map.classes.empty()) {
        if (oldClass >= map.classes.size()) return Fail(error, "object reference to an unknown class");
        Store32(cls, map.classes[oldClass], swapped);
    }
    return true;
}

bool RenumberAt(std::vector<uint8_t>& e, bool swapped, size_t pos, bool inSubsystem, int depth,
                const ObjectRenumbering& map, std::string& error) {
    if (depth > kMaxDepth) return Fail(error, "nested too deep");
    const Bytes bytes{e.data(), e.size(), swapped};
    ArrayView v;
    if (!ParseArrayView(bytes, pos, v)) return Fail(error, "damaged element");
    if (v.cls == 0) return true;   // MATLAB's empty element
    if (v.cls == mxOPAQUE) {
        ArrayView content;
        if (!ParseArrayView(bytes, v.contentPos, content)) return Fail(error, "damaged object");
        return content.cls != mxUINT32 || RenumberReference(e, swapped, content, map, error);
    }
    if (v.cls == mxFUNCTION) return RenumberAt(e, swapped, v.contentPos, inSubsystem, depth + 1, map, error);
    if (v.cls == mxUINT32) return !inSubsystem || RenumberReference(e, swapped, v, map, error);
    uint64_t children = 0;
    if (v.cls == mxCELL) children = v.count;
    if (v.cls == mxSTRUCT || v.cls == mxOBJECT) {
        if (v.fields.size() != 0 && v.count > (e.size() / kTagSize) / v.fields.size()) return Fail(error, "damaged struct");
        children = v.count * v.fields.size();
    }
    size_t at = v.childrenPos;
    for (uint64_t i = 0; i < children; ++i) {
        ArrayView child;
        if (at >= v.end || !ParseArrayView(bytes, at, child) || child.next > v.end) return Fail(error, "damaged element");
        if (!RenumberAt(e, swapped, at, inSubsystem, depth + 1, map, error)) return false;
        at = child.next;
    }
    return true;
}

}  // namespace

bool MergeSubsystems(const std::vector<uint8_t>& base, const std::vector<uint8_t>& incoming,
                     std::vector<uint8_t>& merged, ObjectRenumbering& renumbering, std::string& error) {
    Parts a, b;
    renumbering = ObjectRenumbering{};
    if (!Parse(base, a, error) || !Parse(incoming, b, error)) return false;
    try {
        return Merger(a, b, renumbering).Run(merged, error);
    } catch (const std::bad_alloc&) {
        return Fail(error, "not enough memory to merge the subsystem data");
    }
}

bool CheckSubsystemPayload(const std::vector<uint8_t>& payload, bool& swapped, std::string& error) {
    Parts parts;
    if (!Parse(payload, parts, error)) return false;
    // Element 1 is MATLAB's empty element: a bare tag.
    const auto [at, next] = parts.cells[1];
    if (next - at != kTagSize || Load32(payload.data() + at, parts.bytes.swapped) != miMATRIX ||
        Load32(payload.data() + at + 4, parts.bytes.swapped) != 0) {
        return Fail(error, "its second object data element is not the empty element");
    }
    swapped = parts.bytes.swapped;
    return true;
}

bool RenumberObjects(std::vector<uint8_t>& element, bool swapped, bool inSubsystem,
                     const ObjectRenumbering& renumbering, std::string& error) {
    if (renumbering.Identity()) return true;
    return RenumberAt(element, swapped, 0, inSubsystem, 0, renumbering, error);
}

}  // namespace matlib

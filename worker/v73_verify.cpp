// The check of a version 7.3 variable (kVerify), one walker in two parts.
// The storage part, before anything is read or copied: whether all of it
// and of #refs# keeps its bytes in this file. The whole part, the test
// operation's: every dataset of it and of everything its references reach
// (cells, struct arrays, #refs#, the subsystem data of objects) read whole
// through libhdf5, so that its filters inflate every chunk and verify every
// checksum; dimensions, sparse indexes and references checked against what
// they describe. Reads go a block at a time (a chunk, or a slab of a
// contiguous dataset, at most kBlockBytes), so memory stays bounded
// whatever the variable's size. Runs in the worker process (v73_hdf5.h).
#include <hdf5.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "codec/mat_format.h"
#include "v73client/v73_protocol.h"
#include "worker/v73_hdf5.h"
#include "worker/v73_objects.h"

namespace matlib::hdf5 {

namespace {

using namespace v73;

// Data read at a time; a dataset of references is read in smaller blocks,
// as each level of nesting holds its own.
constexpr size_t kBlockBytes = size_t{1} << 20;
constexpr size_t kReferenceBlockBytes = 32 * 1024;
// Links of one group looked at: more than any struct MATLAB can save.
constexpr size_t kMaxMembers = 65536;

// What each block of elements is handed to: k elements of memoryType at p.
using Visit = std::function<uint32_t(const uint8_t* p, size_t k)>;

// Reads every element of `dataset` as memoryType, a block at a time: a
// chunk each (its filters run once, its checksum verified), or for a
// dataset stored whole, slabs of its first dimensions. A chunk larger than
// the budget is read in parts. Chunks never written hold the fill value:
// where the values are not looked at (no visit) only the written chunks
// are read, so a dataset of 2^40 values never written reads at once.
uint32_t ReadEveryElement(hid_t dataset, hid_t memoryType, size_t budget, const Visit* visit) {
    Id space(H5Dget_space(dataset), H5Sclose);
    Id create(H5Dget_create_plist(dataset), H5Pclose);
    std::vector<hsize_t> dims;
    const size_t width = memoryType >= 0 ? H5Tget_size(memoryType) : 0;
    if (!space.ok() || !create.ok() || width == 0 || !SpaceDims(space.get(), dims)) return kDataUnreadable;
    const hssize_t points = H5Sget_simple_extent_npoints(space.get());
    const bool chunked = !dims.empty() && H5Pget_layout(create.get()) == H5D_CHUNKED;
    const bool writtenOnly = chunked && visit == nullptr;
    const uint64_t stored = H5Dget_storage_size(dataset);
    if (points < 0 || (!writtenOnly && !StoredBytesCouldMake(stored, static_cast<uint64_t>(points), width))) {
        return kDataUnreadable;
    }
    if (points == 0) return kWhole;
    std::vector<hsize_t> block = dims;
    if (chunked && H5Pget_chunk(create.get(), static_cast<int>(dims.size()), block.data()) != static_cast<int>(dims.size())) {
        return kDataUnreadable;
    }
    const std::vector<hsize_t> chunk = block;
    const size_t most = std::max<size_t>(1, budget / width);
    auto blockPoints = [&] {
        uint64_t n = 1;
        for (size_t d = 0; d < dims.size(); ++d) {
            if (__builtin_mul_overflow(n, std::max<hsize_t>(1, std::min(block[d], dims[d])), &n)) return UINT64_MAX;
        }
        return n;
    };
    for (size_t d = 0; d < dims.size() && blockPoints() > most;) {
        if (block[d] > 1 && dims[d] > 1) {
            block[d] = std::min(block[d], dims[d]);
            block[d] = (block[d] + 1) / 2;
        } else {
            ++d;
        }
    }
    if (!StoredDataSound(dataset)) return kDataUnreadable;
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(blockPoints(), most)) * width);
    // The elements of [low, high), a block at a time, the last dimension fastest.
    auto readBox = [&](const std::vector<hsize_t>& low, const std::vector<hsize_t>& high) -> uint32_t {
        std::vector<hsize_t> at = low, count(dims.size());
        for (;;) {
            uint64_t n = 1;
            for (size_t d = 0; d < dims.size(); ++d) {
                count[d] = std::min(block[d], high[d] - at[d]);
                n *= count[d];
            }
            Id memory(SelectBlock(space.get(), at, count), H5Sclose);
            if (!memory.ok() || ReadInside(dataset, memoryType, memory.get(), space.get(), buffer.data()) < 0) {
                return kDataUnreadable;
            }
            if (visit != nullptr) {
                if (const uint32_t found = (*visit)(buffer.data(), static_cast<size_t>(n)); found != kWhole) return found;
            }
            size_t d = dims.size();
            while (d > 0) {
                --d;
                at[d] += block[d];
                if (at[d] < high[d]) break;
                at[d] = low[d];
                if (d == 0) return kWhole;
            }
            if (dims.empty()) return kWhole;
        }
    };
    if (!writtenOnly) return readBox(std::vector<hsize_t>(dims.size(), 0), dims);
    std::vector<hsize_t> origins;
    if (!StoredChunkOrigins(dataset, dims.size(), origins)) return kDataUnreadable;
    std::vector<hsize_t> low(dims.size()), high(dims.size());
    for (size_t at = 0; at < origins.size(); at += dims.size()) {
        bool inside = true;
        for (size_t d = 0; d < dims.size(); ++d) {
            low[d] = origins[at + d] - origins[at + d] % chunk[d];
            high[d] = low[d] + std::min(chunk[d], dims[d] - std::min(low[d], dims[d]));
            inside = inside && low[d] < dims[d];
        }
        if (!inside) continue;   // beyond the dataspace: never read
        if (const uint32_t found = readBox(low, high); found != kWhole) return found;
    }
    return kWhole;
}

// Reads a dataset whose elements lie along one dimension (ir, jc) in order,
// a block at a time.
class Sequence {
public:
    explicit Sequence(hid_t dataset) : dataset_(dataset) {
        Id space(H5Dget_space(dataset), H5Sclose);
        std::vector<hsize_t> dims;
        if (!space.ok() || !SpaceDims(space.get(), dims)) return;
        // Elements along more than one dimension are no list of indexes.
        size_t longer = 0;
        total_ = 1;
        for (hsize_t d : dims) total_ *= d, longer += d != 1;
        sound_ = longer <= 1 && StoredBytesCouldMake(H5Dget_storage_size(dataset), total_, sizeof(uint64_t));
    }
    bool sound() const { return sound_; }
    uint64_t size() const { return total_; }
    // The next value; false at the end or when it cannot be read (failed()).
    bool Next(uint64_t& value) {
        if (failed_) return false;
        if (at_ == values_.size()) {
            if (done_ >= total_) return false;
            values_.resize(static_cast<size_t>(std::min<uint64_t>(total_ - done_, kBlockBytes / sizeof(uint64_t))));
            failed_ = (done_ == 0 && !StoredDataSound(dataset_)) ||
                      !ReadPoints(dataset_, H5T_NATIVE_UINT64, done_, values_.size(), values_.data());
            if (failed_) return false;
            done_ += values_.size();
            at_ = 0;
        }
        value = values_[at_++];
        return true;
    }
    bool failed() const { return failed_; }

private:
    hid_t dataset_;
    uint64_t total_ = 0, done_ = 0;
    std::vector<uint64_t> values_;
    size_t at_ = 0;
    bool sound_ = true, failed_ = false;
};

// A struct array's field keeps one reference per element, shaped like the array.
bool FieldShapeWrong(hid_t member, const mxArray& header) {
    if (!IsReferenceDataset(member) || AttributeExists(member, "MATLAB_class") != 0) return false;
    mxArray field;
    Id space(H5Dget_space(member), H5Sclose);
    return !space.ok() || !MatlabDims(space.get(), field) || field.dims != header.dims;
}

// The check of a variable (kVerify): one walk over the objects it reaches,
// each once (references may share targets, or lead in a circle), no deeper
// than kMaxNesting. Its storage part goes down the hard links and finds
// where each dataset keeps its bytes: a Refusal, kInside when all of it is
// in this file; it stops after kMaxWalkedObjects objects, and follows no
// soft link (where one is followed, the access lists refuse to leave the
// file). Its whole part goes down every link and every reference, reads
// every dataset and checks what MATLAB's layout says of it: a Damage.
class Check {
public:
    explicit Check(bool whole) : whole_(whole) {}

    // The object and everything it reaches; the storage part counts the
    // depth in groups only.
    uint32_t Object(hid_t object, size_t depth) {
        const H5I_type_t kind = H5Iget_type(object);
        // Deeper than the walks go is not taken for sound unread.
        if (depth > kMaxNesting && (whole_ || kind == H5I_GROUP)) {
            return whole_ ? uint32_t{kNestedTooDeep} : uint32_t{kTooDeep};
        }
        H5O_info_t info;
        if (H5Oget_info2(object, &info, H5O_INFO_BASIC) < 0) {
            return whole_ ? uint32_t{kObjectUnreadable} : uint32_t{kLinkOutside};
        }
        if (!seen_.insert(info.addr).second) return kWhole;
        if (!whole_) {
            if (++objects_ > kMaxWalkedObjects) return kTooMany;
            if (kind == H5I_DATASET) return StorageOf(object);
            return kind == H5I_GROUP ? Links(object, depth) : kInside;
        }
        mxArray header;
        const bool array = ObjectHeader(object, header);
        if (kind == H5I_GROUP) return array && header.sparse ? Sparse(object, header) : Members(object, header, array, depth);
        if (kind != H5I_DATASET) return kObjectUnreadable;
        // An empty array's dataset holds its dimensions, of which one is 0;
        // a struct without fields keeps its size that way too (a table's
        // CustomProps: 1x1).
        if (array && header.classId != mxSTRUCT_CLASS && IntegerAttribute(object, "MATLAB_empty", 0) != 0 &&
            mxGetNumberOfElements(&header) != 0) {
            return kDimensionsWrong;
        }
        if (IsReferenceDataset(object)) return References(object, depth);
        // Numbers are read as the class's own type (a stored type that is
        // none fails the read), anything else as its native type;
        // variable-length data (no MATLAB writer's) is not read.
        Id part(array && !header.sparse ? PartType(header.classId, header.complex, 0) : -1, H5Tclose);
        Id stored(H5Dget_type(object), H5Tclose);
        if (!stored.ok()) return kDataUnreadable;
        if (!part.ok() && (H5Tdetect_class(stored.get(), H5T_VLEN) > 0 || H5Tis_variable_str(stored.get()) > 0)) {
            return kWhole;
        }
        Id native(part.ok() ? -1 : H5Tget_native_type(stored.get(), H5T_DIR_DEFAULT), H5Tclose);
        const hid_t memory = part.ok() ? part.get() : native.get();
        return memory >= 0 ? ReadEveryElement(object, memory, kBlockBytes, nullptr) : kDataUnreadable;
    }

private:
    // Every reference of a dataset leads to an object, which is checked in turn.
    uint32_t References(hid_t dataset, size_t depth) {
        const Visit visit = [&](const uint8_t* p, size_t k) -> uint32_t {
            for (size_t i = 0; i < k; ++i) {
                hobj_ref_t reference;
                std::memcpy(&reference, p + i * sizeof reference, sizeof reference);
                Id target(OpenReferenced(dataset, reference), H5Oclose);
                if (!target.ok()) return kDanglingReference;
                if (const uint32_t found = Object(target.get(), depth + 1); found != kWhole) return found;
            }
            return kWhole;
        };
        return ReadEveryElement(dataset, H5T_STD_REF_OBJ, kReferenceBlockBytes, &visit);
    }

    // The members of a struct, an object, a function handle or any other
    // group. A struct array's fields are datasets of references shaped like
    // the array.
    uint32_t Members(hid_t group, const mxArray& header, bool array, size_t depth) {
        std::vector<Link> links;
        if (!HeaderReadable(group) || !ListLinks(group, kMaxMembers, links)) return kObjectUnreadable;
        const bool fieldsAreReferences = array && mxGetNumberOfElements(&header) != 1 &&
                                         (header.classId == mxSTRUCT_CLASS || header.classId == mxOBJECT_CLASS);
        for (const Link& link : links) {
            Id member(OpenLinked(group, link.name.c_str()), H5Oclose);
            if (!member.ok()) return kObjectUnreadable;
            if (fieldsAreReferences && FieldShapeWrong(member.get(), header)) return kDimensionsWrong;
            if (const uint32_t found = Object(member.get(), depth + 1); found != kWhole) return found;
        }
        return kWhole;
    }

    // The storage part's look at a group: each link as libhdf5 lists it
    // (listed first, the objects' lookups cost libhdf5 memory for each).
    // Hard links to datasets and groups, what keeps bytes or links, are
    // followed, each object once; soft links nowhere (where one is
    // followed, the access lists refuse to leave the file).
    uint32_t Links(hid_t group, size_t depth) {
        struct Walk {
            Check& check;
            size_t depth;
            uint32_t found = kInside;
        } walk{*this, depth};
        const H5L_iterate_t each = [](hid_t at, const char* name, const H5L_info_t* link, void* data) -> herr_t {
            auto& walk = *static_cast<Walk*>(data);
            if (link->type == H5L_TYPE_SOFT) return 0;
            H5O_info_t info;
            if (link->type != H5L_TYPE_HARD || H5Oget_info_by_name2(at, name, &info, H5O_INFO_BASIC, InsideLinks()) < 0) {
                walk.found = kLinkOutside;
                return 1;
            }
            if ((info.type != H5O_TYPE_DATASET && info.type != H5O_TYPE_GROUP) || walk.check.seen_.count(info.addr) != 0) {
                return 0;
            }
            Id member(Openable(at, info) ? H5Oopen_by_addr(at, info.addr) : -1, H5Oclose);
            walk.found = member.ok() ? walk.check.Object(member.get(), walk.depth + 1) : uint32_t{kLinkOutside};
            return walk.found == kInside ? 0 : 1;
        };
        const herr_t listed = H5Literate(group, H5_INDEX_NAME, H5_ITER_INC, nullptr, each, &walk);
        return listed < 0 ? uint32_t{kLinkOutside} : walk.found;
    }

    // Column starts rising from 0 to at most the stored values, each
    // column's rows inside the array and rising, data and ir of one size.
    uint32_t Sparse(hid_t group, const mxArray& header) {
        const uint64_t rows = header.dims[0], columns = mxGetN(&header);
        Id jcSet(OpenChildDataset(group, "jc"), H5Dclose);
        Id irSet(OpenChildDataset(group, "ir"), H5Dclose);
        if (!jcSet.ok()) return kSparseSizes;
        Sequence jc(jcSet.get());
        if (!jc.sound() || jc.size() != columns + 1) return kSparseSizes;
        Id dataSet(OpenChildDataset(group, "data"), H5Dclose);
        std::unique_ptr<Sequence> ir = irSet.ok() ? std::make_unique<Sequence>(irSet.get()) : nullptr;
        const uint64_t stored = ir != nullptr ? ir->size() : 0;
        if (stored > 0) {
            Id space(dataSet.ok() ? H5Dget_space(dataSet.get()) : -1, H5Sclose);
            if (!space.ok() || H5Sget_simple_extent_npoints(space.get()) != static_cast<hssize_t>(stored)) {
                return kSparseSizes;
            }
        }
        uint64_t start = 0, end = 0, k = 0;
        if (!jc.Next(start)) return jc.failed() ? kDataUnreadable : kSparseSizes;
        if (start != 0) return kSparseColumns;
        if (ir != nullptr && !ir->sound()) return kSparseSizes;
        for (uint64_t c = 0; c < columns; ++c, start = end) {
            if (!jc.Next(end)) return jc.failed() ? kDataUnreadable : kSparseSizes;
            if (end < start || end > stored) return kSparseColumns;
            for (uint64_t previous = 0; k < end; ++k) {
                uint64_t row = 0;
                if (!ir->Next(row)) return ir->failed() ? kDataUnreadable : kSparseSizes;
                if (row >= rows || (k > start && row <= previous)) return kSparseRows;
                previous = row;
            }
        }
        // The stored values past the last column's are read too.
        for (uint64_t row = 0; ir != nullptr && ir->Next(row);) {
        }
        if (ir != nullptr && ir->failed()) return kDataUnreadable;
        if (!dataSet.ok()) return kWhole;
        Id memory(PartType(header.classId, header.complex, 0), H5Tclose);
        return memory.ok() ? ReadEveryElement(dataSet.get(), memory.get(), kBlockBytes, nullptr) : kDataUnreadable;
    }

    const bool whole_;
    std::set<haddr_t> seen_;
    uint64_t objects_ = 0;
};

}  // namespace

uint32_t ScanObject(hid_t group, const char* name) {
    H5L_info_t link;
    if (H5Lget_info(group, name, &link, InsideLinks()) < 0) return kLinkOutside;
    if (link.type != H5L_TYPE_HARD) return link.type == H5L_TYPE_SOFT ? kInside : kLinkOutside;
    Id object(OpenLinked(group, name), H5Oclose);
    return object.ok() ? Check(false).Object(object.get(), 1) : kLinkOutside;
}

uint32_t ScanGroup(hid_t group) { return Check(false).Object(group, 1); }

uint32_t CheckInside(File& file, const mxArray& array) {
    uint32_t found = ScanObject(file.file, array.name.c_str());
    // Cells, structs and objects also hold references, whose targets are in
    // #refs#: that group is checked whole, once.
    if (found == kInside && MayHoldObjects(array.classId)) {
        if (file.referencesChecked < 0) {
            file.referencesChecked = H5Lexists(file.file, kReferencesGroup, InsideLinks()) > 0
                                         ? static_cast<int64_t>(ScanObject(file.file, kReferencesGroup))
                                         : int64_t{kInside};
        }
        found = static_cast<uint32_t>(file.referencesChecked);
    }
    return found;
}

uint32_t Verify(File& file, const mxArray& array) {
    Check check(true);
    const hid_t root = file.file;
    Id object(OpenLinked(root, array.name.c_str()), H5Oclose);
    if (!object.ok()) return kObjectUnreadable;
    const uint32_t found = check.Object(object.get(), 0);
    // Objects keep their values in the subsystem data: it is read too.
    if (found != kWhole || !MayHoldObjects(array.classId) || H5Lexists(root, kSubsystemGroup, InsideLinks()) <= 0) {
        return found;
    }
    Id subsystem(OpenLinked(root, kSubsystemGroup), H5Oclose);
    return subsystem.ok() ? check.Object(subsystem.get(), 0) : kObjectUnreadable;
}

}  // namespace matlib::hdf5

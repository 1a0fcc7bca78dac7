// The one walk from MATLAB's HDF5 layout to level-5 array elements (in this
// machine's byte order), with a budget and a sink, for two callers:
//
// - conversion: a whole variable as the element a version 7 file keeps
//   (uncompressed; a compressed target compresses it as it arrives), and
//   the subsystem data as the unnamed uint8 variable. A tag gives its
//   element's size first, and an element may be of any size: the first walk
//   reads only headers, field names and references and notes each array's
//   size in walk order; the second takes the sizes in that order and sends
//   the bytes as it reads them, numbers in runs of kRunBytes (a few
//   megabytes plus 8 bytes per array). A size found different the second
//   time (the file changed or reads otherwise), or anything unreadable,
//   fails the writing.
// - the viewer's image, in memory, which describe.cpp reads as the first
//   bytes of a level-5 variable (one describer for both formats): the first
//   kShownChildren elements of each cell and struct array, no deeper than
//   kMaxShownNesting, values of numeric arrays of at most kShortArray
//   elements and the first kShortText characters of a char row; other
//   arrays keep class and dimensions only. It stops at kMaxShownElementBytes
//   or `nodes` arrays: what is left out reads as not shown.
//
// Objects are opaque elements holding their metadata, function handles the
// struct of their fields, the subsystem data the struct MCOS holding the
// FileWrapper__ of its cell. Runs in the worker process (v73_hdf5.h).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "codec/convert.h"
#include "codec/element_writer.h"
#include "codec/mat_format.h"
#include "v73client/v73_protocol.h"
#include "worker/v73_hdf5.h"
#include "worker/v73_objects.h"

namespace matlib::hdf5 {

namespace {

using namespace format;
using namespace v73;

// The numbers of a dataset are read and sent in runs of about this size.
constexpr size_t kRunBytes = size_t{4} << 20;
// Bytes gathered before they go out as one piece.
constexpr size_t kPieceBytes = size_t{1} << 20;
constexpr uint64_t kAll = UINT64_MAX;
// A struct array's references read at a time, for each field: 32 KB.
constexpr uint64_t kReferencesRead = 4096;
constexpr uint8_t kLittlePreamble[kSubsystemPreamble] = {0x00, 0x01, kEndianLittle[0], kEndianLittle[1]};

// How much of a variable a walk writes. Every walk also stops at
// kMaxNesting arrays nested and kMaxWalkedObjects arrays (v73_objects.h),
// which bounds a file whose references lead in a circle.
struct Budget {
    bool exact;            // every value, or the walk fails (conversion); else what the text shows
    uint64_t children;     // elements shown of each cell and struct array
    size_t nesting;        // the describer's depth from which cells and structs show no elements
    uint64_t shortArray;   // numeric arrays of more elements go without values
    uint64_t shortText;    // characters shown of a char row (kAll: every char array whole)
    uint64_t bytes;        // an element past this is left out (conversion: fails)
    uint64_t nodes;        // arrays written at most
};
constexpr Budget kWhole{true, kAll, SIZE_MAX, kAll, kAll, kMaxLevel5Bytes, kAll};
// The viewer's image of a variable (nodes: the caller's).
constexpr Budget kShown{false, kShownChildren, kMaxShownNesting, kShortArray, kShortText, kMaxShownElementBytes, 0};

// Whether a tag can say the bytes of `count` values of `width` bytes each
// (at most 4 GB).
bool TagHolds(uint64_t count, uint64_t width) {
    uint64_t bytes = 0;
    return !__builtin_mul_overflow(count, width, &bytes) && bytes <= UINT32_MAX;
}

// The object #subsystem#/MCOS of the file (closed by the caller); negative when there is none.
hid_t OpenSubsystemData(hid_t file) {
    constexpr char kSubsystemData[] = "#subsystem#/MCOS";
    const bool present =
        H5Lexists(file, "#subsystem#", InsideLinks()) > 0 && H5Lexists(file, kSubsystemData, InsideLinks()) > 0;
    return present ? OpenLinked(file, kSubsystemData) : -1;
}

// The element that follows the MCOS struct in the subsystem data of every
// level-5 file MATLAB writes (the same 144 bytes in each, little-endian).
constexpr uint8_t kSubsystemTail[144] = {
    0x0e, 0x00, 0x00, 0x00, 0x88, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00,
    0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x00, 0x00, 0x58, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x02, 0x00, 0x00, 0x00, 0x58, 0x00, 0x00, 0x00, 0x00, 0x01, 0x49, 0x4d, 0x00, 0x00, 0x00, 0x00,
    0x0e, 0x00, 0x00, 0x00, 0x48, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00,
    0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x05, 0x00, 0x04, 0x00, 0x05, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00,
    0x4d, 0x43, 0x4f, 0x53, 0x00, 0x00, 0x00, 0x00, 0x0e, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
};

class Walker {
public:
    // The image: into `memory`, each element's size filled in as it closes.
    Walker(const Budget& budget, std::vector<uint8_t>& memory)
        : budget_(budget), nodesLeft_(budget.nodes), memory_(&memory) {}
    // Conversion: with sink null the first walk, which notes the sizes; with
    // a sink the second, which sends the bytes through it.
    Walker(std::vector<uint64_t>& sizes, PieceSink sink, void* context)
        : budget_(kWhole), nodesLeft_(kAll), sizes_(&sizes), sizing_(sink == nullptr), sink_(sink), context_(context) {}

    bool Variable(hid_t object, const mxArray& a) { return Element(object, a, a.name, 0) && Flush(); }

    // The element of `object` (header `a`) at the describer's `depth`.
    // False when it stopped short or could not be written: conversion fails
    // then; the image keeps what of it was written, or leaves it out (when it
    // could not begin or outgrew the room), and writes none of its siblings.
    bool Element(hid_t object, const mxArray& a, const std::string& name, size_t depth) {
        if (nesting_ > kMaxNesting) return Fail(kLevel5TooDeep);
        if (nodesLeft_ == 0) return false;
        --nodesLeft_;
        ++nesting_;
        const bool whole = Array(object, a, name, depth);
        --nesting_;
        return whole;
    }

    // The subsystem data as the unnamed uint8 variable of a version 7 file.
    bool SubsystemVariable(hid_t mcos) {
        if (!IsReferenceDataset(mcos)) return Fail(kLevel5Damaged);
        objects_ = true;
        const Mark outer = Open();
        if (!outer.ok) return false;
        // The uint8 data's length: the preamble and the struct element, whose
        // size the first walk noted next.
        const uint64_t inner = sizing_ ? 0 : PeekSize();
        const uint64_t length = kSubsystemPreamble + kTagSize + inner + sizeof kSubsystemTail;
        if (length > INT32_MAX) return Fail(kLevel5TooLarge);
        const mwSize dims[2] = {1, static_cast<mwSize>(length)};
        if (!Head({mxUINT8, 0, 0, dims, 2, "", {}})) return false;
        Tag(miUINT8, static_cast<uint32_t>(length));
        const uint64_t dataStart = count_;
        nesting_ = 2;   // the cell's elements lie in the variable's struct
        if (!Subsystem(mcos)) return false;
        // The struct's size is the one noted after the variable's.
        if (sizing_ && count_ - dataStart != kSubsystemPreamble + kTagSize + (*sizes_)[outer.slot + 1] + sizeof kSubsystemTail) {
            return Fail(kLevel5Damaged);
        }
        Pad(count_ - dataStart);
        return Close(outer) && Flush();
    }

    uint64_t bytes() const { return count_; }
    bool objects() const { return objects_; }
    uint32_t failure() const { return failure_; }

private:
    struct Mark {
        bool ok = false;
        size_t slot = 0;
        uint64_t start = 0;
    };

    bool Fail(uint32_t why) {
        if (failure_ == kLevel5Ok) failure_ = why;
        return false;
    }

    // An element the image leaves out: nothing of it stays.
    bool Drop(uint64_t start) {
        if (memory_ == nullptr) return false;
        memory_->resize(static_cast<size_t>(start));
        count_ = start;
        return false;
    }

    uint64_t PeekSize() const { return cursor_ < sizes_->size() ? (*sizes_)[cursor_] : 0; }

    // The miMATRIX tag of an element whose size is filled in (the image) or
    // noted (the first walk) at Close.
    Mark Open() {
        Mark mark;
        mark.start = count_;
        if (memory_ != nullptr) {
            Tag(miMATRIX, 0);
            mark.ok = true;
            return mark;
        }
        if (sizing_) {
            if (sizes_->size() >= kMaxWalkedObjects) {
                Fail(kLevel5TooMany);
                return mark;
            }
            mark.slot = sizes_->size();
            sizes_->push_back(0);
            Tag(miMATRIX, 0);
        } else {
            if (cursor_ >= sizes_->size()) {
                Fail(kLevel5Damaged);
                return mark;
            }
            mark.slot = cursor_++;
            Tag(miMATRIX, static_cast<uint32_t>((*sizes_)[mark.slot]));
        }
        mark.ok = failure_ == kLevel5Ok;
        return mark;
    }

    bool Close(const Mark& mark) {
        const uint64_t size = count_ - mark.start - kTagSize;
        if (memory_ != nullptr) {
            const auto word = static_cast<uint32_t>(size);
            std::memcpy(memory_->data() + mark.start + 4, &word, 4);
            return true;
        }
        if (failure_ != kLevel5Ok) return false;
        if (sizing_) {
            if (size > UINT32_MAX || count_ >= kMaxLevel5Bytes) return Fail(kLevel5TooLarge);
            (*sizes_)[mark.slot] = size;
            return true;
        }
        return size == (*sizes_)[mark.slot] || Fail(kLevel5Damaged);
    }

    void Put(const void* p, size_t n) {
        count_ += n;
        if (n == 0) return;
        const auto* bytes = static_cast<const uint8_t*>(p);
        if (memory_ != nullptr) {
            memory_->insert(memory_->end(), bytes, bytes + n);
            return;
        }
        if (sizing_ || !sending_) return;
        if (buffer_.size() + n > kPieceBytes && !Flush()) return;
        if (n >= kPieceBytes) {
            sending_ = sink_(context_, bytes, n);
            return;
        }
        buffer_.insert(buffer_.end(), bytes, bytes + n);
    }

    bool Flush() {
        if (sizing_) return failure_ == kLevel5Ok;
        if (sending_ && !buffer_.empty()) sending_ = sink_(context_, buffer_.data(), buffer_.size());
        buffer_.clear();
        if (!sending_) Fail(kLevel5Damaged);
        return sending_ && failure_ == kLevel5Ok;
    }

    // Subelements of 1 to 4 bytes take the small form, as MATLAB writes them.
    void Tag(uint32_t type, uint32_t size) {
        const auto tag = type == miMATRIX ? SubelementTagBytes{StreamedTag(type, size, false), kTagSize}
                                          : SubelementTag(type, size, false);
        Put(tag.bytes.data(), tag.size);
    }
    void Pad(uint64_t n) {
        Put(kZeroPadding, SubelementPadding(n));
    }
    void Sub(uint32_t type, const void* data, size_t n) {
        Tag(type, static_cast<uint32_t>(n));
        Put(data, n);
        Pad(n);
    }

    // An array's head (flags, dimensions, name, class name), as the engine
    // writes it; false when a dimension does not fit the level-5 format.
    bool Head(const ArrayHead& head) {
        std::vector<uint8_t> bytes;
        if (!AppendArrayHead(head, false, bytes)) return Fail(kLevel5TooLarge);
        Put(bytes.data(), bytes.size());
        return true;
    }

    bool Array(hid_t object, const mxArray& a, const std::string& name, size_t depth) {
        const uint64_t start = count_;
        const uint8_t cls = ClassCode(a);
        if (cls == 0) return Fail(kLevel5NoForm);
        if (budget_.exact && a.sparse && a.nzmax > UINT32_MAX) return Fail(kLevel5TooLarge);
        const Mark mark = Open();
        if (!mark.ok) return false;
        const uint8_t flags = (a.complex ? kFlagComplex : 0) | (a.global ? kFlagGlobal : 0) |
                              (a.logical ? kFlagLogical : 0);
        const auto nzmax = a.sparse ? static_cast<uint32_t>(std::min<size_t>(a.nzmax, UINT32_MAX)) : 0;
        if (cls == mxOPAQUE) objects_ = true;
        // A struct without its field names would be no element at all: the
        // image leaves it out, as one that does not fit.
        std::vector<std::string> fields;
        const bool hasFields = cls == mxSTRUCT || cls == mxOBJECT;
        if (!Head({cls, flags, nzmax, a.dims.data(), a.dims.size(), name, a.className}) ||
            (hasFields && !StructFields(object, a, fields))) {
            return Drop(start);
        }
        bool whole = false;
        switch (cls) {
            case mxCELL: whole = Cell(object, a, depth); break;
            case mxSTRUCT: case mxOBJECT: whole = Struct(object, a, fields, depth); break;
            case mxOPAQUE: whole = Opaque(object, a, depth); break;
            case mxFUNCTION: whole = Function(object, a, depth); break;
            case mxSPARSE: whole = !budget_.exact || Sparse(object, a); break;   // the image: class and size
            default: whole = budget_.exact ? Numbers(object, a) : ShownNumbers(object, a); break;
        }
        if (!budget_.exact && count_ > budget_.bytes) return Drop(start);   // past the room: left out
        if (budget_.exact && !whole) return false;
        return Close(mark) && whole;
    }

    bool Child(hid_t child, size_t depth) {
        if (child < 0) return Fail(kLevel5Damaged);
        Id owned(child, H5Oclose);
        mxArray header;
        if (!ObjectHeader(child, header)) return Fail(kLevel5Damaged);
        return Element(child, header, "", depth);
    }

    // The elements a dataset of references points at, all of them, as a cell of these dimensions.
    bool ReferenceCell(hid_t dataset, const std::vector<mwSize>& dims, size_t depth) {
        const Mark mark = Open();
        if (!mark.ok) return false;
        if (!Head({mxCELL, 0, 0, dims.data(), dims.size(), "", {}})) return false;
        size_t count = 1;
        for (mwSize d : dims) count *= d;
        for (size_t k = 0; k < count; ++k) {
            if (!Child(Referenced(dataset, k), depth)) return false;
        }
        return Close(mark);
    }

    // The version and endian indicator of a level-5 header padded to 8
    // bytes (little-endian), then a 1x1 struct whose field MCOS is an opaque
    // FileWrapper__ holding the cell of `mcos`'s elements.
    bool Subsystem(hid_t mcos) {
        Put(kLittlePreamble, kSubsystemPreamble);
        Id space(H5Dget_space(mcos), H5Sclose);
        const hssize_t count = space.ok() ? H5Sget_simple_extent_npoints(space.get()) : -1;
        if (count < 0 || count > INT32_MAX) return Fail(kLevel5Damaged);
        const SubsystemHeads& heads = SubsystemHeadBytes();
        const Mark top = Open();
        if (!top.ok) return false;
        Put(heads.top.data(), heads.top.size());
        const Mark wrapper = Open();
        if (!wrapper.ok) return false;
        Put(heads.wrapper.data(), heads.wrapper.size());
        // MATLAB's cell is N-by-1, its element 1 the empty element (a bare tag).
        const Mark cell = Open();
        const mwSize dims[2] = {static_cast<mwSize>(count), 1};
        if (!cell.ok || !Head({mxCELL, 0, 0, dims, 2, "", {}})) return false;
        for (hssize_t k = 0; k < count; ++k) {
            const hid_t child = Referenced(mcos, static_cast<uint64_t>(k));
            if (k == 1 && child >= 0 && IsCanonicalEmpty(child)) {
                H5Oclose(child);
                Tag(miMATRIX, 0);
                continue;
            }
            if (!Child(child, 0)) return false;
        }
        if (!Close(cell) || !Close(wrapper) || !Close(top)) return false;
        // Then, as in every level-5 file MATLAB writes, a uint8 1-by-88 array:
        // a preamble and a 1-by-1 struct whose field MCOS is the empty element
        // (its bytes are little-endian).
        Put(kSubsystemTail, sizeof kSubsystemTail);
        return true;
    }

    bool Cell(hid_t object, const mxArray& a, size_t depth) {
        if (depth >= budget_.nesting) return true;
        const uint64_t count = mxGetNumberOfElements(&a);
        if (count > 0 && !IsReferenceDataset(object)) return Fail(kLevel5Damaged);
        for (uint64_t k = 0; k < std::min(count, budget_.children); ++k) {
            if (!Child(Referenced(object, k), depth + 1)) return false;
        }
        return true;
    }

    // A struct's field names, when it has them and they fit.
    bool StructFields(hid_t object, const mxArray& a, std::vector<std::string>& fields) {
        if (!FieldNames(object, fields) && mxGetNumberOfElements(&a) > 0) return Fail(kLevel5Damaged);
        size_t longest = 0;
        for (const std::string& f : fields) longest = std::max(longest, f.size());
        return fields.size() * (longest + 1) <= budget_.bytes || Fail(kLevel5TooLarge);
    }

    // Field names, then per element each field's value: a 1-by-1 struct
    // holds its values itself, a struct array one reference per element.
    bool Struct(hid_t object, const mxArray& a, const std::vector<std::string>& fields, size_t depth) {
        const uint64_t count = mxGetNumberOfElements(&a);
        size_t longest = 0;
        for (const std::string& f : fields) longest = std::max(longest, f.size());
        const auto length = static_cast<int32_t>(longest + 1);
        std::vector<char> names(fields.size() * (longest + 1), '\0');
        for (size_t f = 0; f < fields.size(); ++f) std::memcpy(names.data() + f * (longest + 1), fields[f].data(), fields[f].size());
        Sub(miINT32, &length, sizeof length);
        Sub(miINT8, names.data(), names.size());
        if (depth >= budget_.nesting || fields.empty()) return true;
        // The describer nests a struct array's values one level deeper.
        const size_t inner = count > 1 ? depth + 2 : depth + 1;
        // Each field's references are read a batch at a time: a dataset
        // opened anew loses libhdf5's chunk cache, and one reference read
        // from a reopened chunked dataset inflated its whole chunk, for
        // every element (a struct array of 20,000 took a minute).
        const uint64_t shown = std::min(count, budget_.children);
        std::vector<std::vector<hobj_ref_t>> references(fields.size());
        std::vector<bool> perElement(fields.size());
        for (uint64_t k = 0; k < shown; ++k) {
            const uint64_t batch = std::min(kReferencesRead, shown - k);
            for (size_t f = 0; f < fields.size() && k % kReferencesRead == 0; ++f) {
                const char* field = fields[f].c_str();
                if (H5Lexists(object, field, InsideLinks()) <= 0) return Fail(kLevel5Damaged);
                Id value(OpenLinked(object, field), H5Oclose);
                if (!value.ok()) return Fail(kLevel5Damaged);
                // A field without a class of its own holds the elements' references.
                perElement[f] = IsReferenceDataset(value.get()) && AttributeExists(value.get(), "MATLAB_class") == 0;
                if (!perElement[f] && count != 1) return Fail(kLevel5Damaged);
                references[f].resize(static_cast<size_t>(batch));
                if (perElement[f] && !ReadPoints(value.get(), H5T_STD_REF_OBJ, k, references[f].size(), references[f].data())) {
                    return Fail(kLevel5Damaged);
                }
            }
            for (size_t f = 0; f < fields.size(); ++f) {
                const hid_t child = perElement[f] ? OpenReferenced(object, references[f][k % kReferencesRead])
                                                  : OpenLinked(object, fields[f].c_str());
                if (!Child(child, inner)) return false;
            }
        }
        return true;
    }

    // An object: its metadata (the uint32 column that names its objects in
    // the subsystem data); the subsystem's FileWrapper__ holds a cell. The
    // image reads at most kMaxObjectMetadata words, none when they do not read.
    bool Opaque(hid_t object, const mxArray& a, size_t depth) {
        const bool dataset = H5Iget_type(object) == H5I_DATASET;
        if (budget_.exact && !dataset) return Fail(kLevel5Damaged);
        Id space(dataset ? H5Dget_space(object) : -1, H5Sclose);
        const hssize_t count = space.ok() ? H5Sget_simple_extent_npoints(space.get()) : -1;
        std::vector<uint32_t> words;
        uint64_t shown = 0;
        if (budget_.exact) {
            if (count < 0 || count > INT32_MAX / 4) return Fail(kLevel5Damaged);
            if (IsReferenceDataset(object)) return ReferenceCell(object, {static_cast<mwSize>(count), 1}, depth + 1);
            shown = static_cast<uint64_t>(count);
        } else {
            words.resize(count > 0 && count <= kMaxObjectMetadata ? static_cast<size_t>(count) : 0);
            if (!words.empty() && !ReadPoints(object, H5T_NATIVE_UINT32, 0, words.size(), words.data())) words.clear();
            shown = words.size();
        }
        const Mark mark = Open();
        if (!mark.ok) return false;
        const mwSize dims[2] = {static_cast<mwSize>(shown), 1};
        if (!Head({mxUINT32, 0, 0, dims, 2, "", {}})) return false;
        if (budget_.exact) {
            Tag(miUINT32, static_cast<uint32_t>(shown * 4));
            mxArray column = a;
            column.classId = mxUINT32_CLASS;
            column.complex = false;
            if (!Run(object, column, 0, shown)) return false;
            Pad(shown * 4);
        } else {
            Sub(miUINT32, words.data(), words.size() * sizeof(uint32_t));
        }
        return Close(mark);
    }

    // A function handle: the 1x1 struct of its group's fields (matlabroot,
    // separator, sentinel, function_handle); in the image, without its field
    // names, class and size only.
    bool Function(hid_t object, const mxArray& a, size_t depth) {
        objects_ = true;
        if (budget_.exact && H5Iget_type(object) != H5I_GROUP) return Fail(kLevel5Damaged);
        if (nesting_ > kMaxNesting) return Fail(kLevel5TooDeep);
        std::vector<std::string> fields;
        if (!StructFields(object, a, fields)) return !budget_.exact;
        const Mark mark = Open();
        if (!mark.ok) return false;
        const mwSize one[2] = {1, 1};
        if (!Head({mxSTRUCT, 0, 0, one, 2, "", {}})) return false;
        ++nesting_;
        const bool whole = Struct(object, a, fields, depth);
        --nesting_;
        if (budget_.exact && !whole) return false;
        return Close(mark) && whole;
    }

    // The image's numbers and characters: the ones the text shows, or none.
    bool ShownNumbers(hid_t object, const mxArray& a) {
        const uint64_t count = mxGetNumberOfElements(&a);
        uint64_t shown = count <= budget_.shortArray ? count : 0;
        if (a.classId == mxCHAR_CLASS && budget_.shortText != kAll) {
            const bool row = a.dims.size() == 2 && a.dims[0] <= 1;
            shown = row ? std::min(count, budget_.shortText) : 0;
        }
        const size_t width = ClassElementSize(a.classId);
        uint64_t bytes = 0;
        if (__builtin_mul_overflow(shown, uint64_t{width}, &bytes) || bytes > budget_.bytes - std::min(budget_.bytes, count_)) {
            return false;   // more than the room: not read
        }
        for (int part = 0; part < (a.complex ? 2 : 1); ++part) {
            std::vector<uint8_t> values(static_cast<size_t>(bytes));
            Id type(PartType(a.classId, a.complex, part), H5Tclose);
            // Values that cannot be read are left out: the text says the data is damaged.
            if (shown > 0 && (!type.ok() || !ReadPoints(object, type.get(), 0, static_cast<size_t>(shown), values.data()))) {
                values.clear();
            }
            Sub(StoreType(a.classId), values.data(), values.size());
        }
        return true;
    }

    // Numbers, characters and logicals whole: each part's subelement.
    bool Numbers(hid_t object, const mxArray& a) {
        const uint64_t count = mxGetNumberOfElements(&a);
        const uint64_t width = ClassElementSize(a.classId);
        // Characters as MATLAB writes them: UTF-16 code units, typed so
        // (readers take miUINT16 text in their own code page).
        const uint32_t type = a.classId == mxCHAR_CLASS ? miUTF16 : StoreType(a.classId);
        if (width == 0 || type == 0) return Fail(kLevel5NoForm);
        if (count > 0 && H5Iget_type(object) != H5I_DATASET) return Fail(kLevel5Damaged);
        if (!TagHolds(count, width)) return Fail(kLevel5TooLarge);
        const auto bytes = static_cast<uint32_t>(count * width);
        for (int part = 0; part < (a.complex ? 2 : 1); ++part) {
            Tag(type, bytes);
            if (count > 0 && !Run(object, a, part, count)) return false;
            Pad(bytes);
        }
        return true;
    }

    // A sparse array: row indexes, column starts, values.
    bool Sparse(hid_t object, const mxArray& a) {
        const uint64_t columns = mxGetN(&a);
        const uint64_t stored = a.nzmax;
        if (!TagHolds(stored, 8) || columns >= UINT32_MAX || !TagHolds(columns + 1, 4) || a.dims[0] > INT32_MAX) {
            return Fail(kLevel5TooLarge);
        }
        const bool group = H5Iget_type(object) == H5I_GROUP;
        if (!group && stored > 0) return Fail(kLevel5Damaged);
        for (const char* name : {"ir", "jc"}) {
            const bool rows = name[0] == 'i';
            const uint64_t count = rows ? stored : columns + 1;
            Tag(miINT32, static_cast<uint32_t>(count * 4));
            if (!group || (rows && count == 0)) {
                // An empty sparse array (MATLAB_empty): no column holds anything.
                const std::vector<int32_t> zeros(static_cast<size_t>(rows ? 0 : count), 0);
                if (!zeros.empty()) Put(zeros.data(), zeros.size() * 4);
            } else if (!Indexes(object, name, count, rows ? a.dims[0] : stored)) {
                return false;
            }
            Pad(count * 4);
        }
        const mxClassID values = a.classId == mxLOGICAL_CLASS ? mxLOGICAL_CLASS : mxDOUBLE_CLASS;
        const uint64_t width = ClassElementSize(values);
        mxArray data = a;
        data.classId = values;
        for (int part = 0; part < (a.complex ? 2 : 1); ++part) {
            Tag(StoreType(values), static_cast<uint32_t>(stored * width));
            if (stored > 0) {
                Id dataset(OpenLinkedDataset(object, "data"), H5Dclose);
                if (!dataset.ok()) return Fail(kLevel5Damaged);
                if (!Run(dataset.get(), data, part, stored)) return false;
            }
            Pad(stored * width);
        }
        return true;
    }

    // Indexes as int32, each below `bound` (rows; column starts at most the stored values).
    bool Indexes(hid_t group, const char* name, uint64_t count, uint64_t bound) {
        if (sizing_) {
            count_ += count * 4;   // sizing: only the length counts
            return true;
        }
        Id dataset(OpenChildDataset(group, name), H5Dclose);
        if (!dataset.ok()) return Fail(kLevel5Damaged);
        std::vector<int32_t> words;
        const bool rows = name[0] == 'i';
        // Column starts rise from 0: a reader would take more values for a
        // column than it holds.
        uint64_t previous = 0;
        bool first = true;
        return Stream(dataset.get(), H5T_NATIVE_UINT64, 8, count, [&](const uint8_t* run, size_t n) {
            words.resize(n / 8);
            for (size_t i = 0; i < words.size(); ++i) {
                uint64_t v = 0;
                std::memcpy(&v, run + i * 8, 8);
                if (rows ? v >= bound : v > bound || v < previous || (first && v != 0)) return false;
                previous = v;
                first = false;
                words[i] = static_cast<int32_t>(v);
            }
            Put(words.data(), words.size() * 4);
            return sending_;
        });
    }

    // `count` elements of one part, read and sent run by run.
    bool Run(hid_t dataset, const mxArray& a, int part, uint64_t count) {
        const size_t width = ClassElementSize(a.classId);
        if (sizing_) {
            count_ += count * width;
            return true;
        }
        Id type(PartType(a.classId, a.complex, part), H5Tclose);
        if (!type.ok()) return Fail(kLevel5Damaged);
        return Stream(dataset, type.get(), width, count, [&](const uint8_t* run, size_t n) {
            Put(run, n);
            return sending_;
        });
    }

    // The chunks' extent along dimension `which` of a chunked dataset of
    // `rank` dimensions, or 0.
    static hsize_t ChunkExtent(hid_t dataset, size_t rank, size_t which) {
        Id create(H5Dget_create_plist(dataset), H5Pclose);
        hsize_t chunk[H5S_MAX_RANK];
        if (!create.ok() || rank > H5S_MAX_RANK || H5Pget_layout(create.get()) != H5D_CHUNKED ||
            H5Pget_chunk(create.get(), static_cast<int>(rank), chunk) != static_cast<int>(rank)) {
            return 0;
        }
        return chunk[which];
    }

    // Reads the dataset's `count` elements in C order (MATLAB's column-major
    // order) as memoryType, in runs: whole rows of the dimensions inside the
    // last one that holds more than a run, a part of it where one row does.
    template <typename Emit>
    bool Stream(hid_t dataset, hid_t memoryType, size_t width, uint64_t count, Emit emit) {
        Id space(H5Dget_space(dataset), H5Sclose);
        const int rank = space.ok() ? H5Sget_simple_extent_ndims(space.get()) : -1;
        if (rank < 0 || static_cast<size_t>(rank) > kMaxDimensions ||
            H5Sget_simple_extent_npoints(space.get()) != static_cast<hssize_t>(count)) {
            return Fail(kLevel5Damaged);
        }
        std::vector<hsize_t> dims(static_cast<size_t>(rank));
        if (rank > 0 && H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr) != rank) return Fail(kLevel5Damaged);
        // The dimensions' product, not only libhdf5's count (which may have
        // wrapped), is the count: no product of them below overflows.
        uint64_t product = 1;
        for (hsize_t d : dims) {
            if (__builtin_mul_overflow(product, uint64_t{d}, &product)) return Fail(kLevel5Damaged);
        }
        if (rank > 0 && product != count) return Fail(kLevel5Damaged);
        const uint64_t budget = std::max<uint64_t>(1, kRunBytes / width);
        std::vector<uint8_t> buffer;
        if (rank == 0) {
            if (count != 1) return Fail(kLevel5Damaged);
            buffer.resize(width);
            if (ReadInside(dataset, memoryType, H5S_ALL, H5S_ALL, buffer.data()) < 0) return Fail(kLevel5Damaged);
            return emit(buffer.data(), width) || Fail(kLevel5Damaged);
        }
        if (count == 0) return true;
        // Trailing dimensions go whole as far as a run holds them; the run
        // steps along the dimension before them (split).
        size_t whole = dims.size();
        uint64_t inner = 1;
        while (whole > 0 && inner * dims[whole - 1] <= budget) inner *= dims[--whole];
        if (whole == 0) {
            buffer.resize(static_cast<size_t>(count * width));
            if (ReadInside(dataset, memoryType, H5S_ALL, H5S_ALL, buffer.data()) < 0) return Fail(kLevel5Damaged);
            return emit(buffer.data(), buffer.size()) || Fail(kLevel5Damaged);
        }
        if (!StoredDataSound(dataset)) return Fail(kLevel5Damaged);
        const size_t split = whole - 1;
        uint64_t steps = std::max<uint64_t>(1, budget / inner);
        // A run that ends inside a band of chunks leaves those chunks to be
        // inflated again by the next run once they outgrow libhdf5's chunk
        // cache (1 MB): runs take whole bands where one fits.
        const hsize_t band = ChunkExtent(dataset, dims.size(), split);
        if (band > 1 && steps > band) steps -= steps % band;
        uint64_t outer = 1;
        for (size_t d = 0; d < split; ++d) outer *= dims[d];
        std::vector<hsize_t> start(dims.size(), 0), counts(dims.begin(), dims.end());
        for (size_t d = 0; d < split; ++d) counts[d] = 1;
        buffer.resize(static_cast<size_t>(std::min<uint64_t>(steps, dims[split]) * inner * width));
        for (uint64_t o = 0; o < outer; ++o) {
            uint64_t rest = o;
            for (size_t d = split; d-- > 0;) {
                start[d] = rest % dims[d];
                rest /= dims[d];
            }
            for (hsize_t j = 0; j < dims[split]; j += counts[split]) {
                start[split] = j;
                counts[split] = static_cast<hsize_t>(std::min<uint64_t>(steps, dims[split] - j));
                const hsize_t points = counts[split] * inner;
                Id memory(SelectBlock(space.get(), start, counts), H5Sclose);
                if (!memory.ok() || ReadInside(dataset, memoryType, memory.get(), space.get(), buffer.data()) < 0) {
                    return Fail(kLevel5Damaged);
                }
                if (!emit(buffer.data(), static_cast<size_t>(points * width))) return Fail(kLevel5Damaged);
            }
        }
        return true;
    }

    const Budget& budget_;
    uint64_t nodesLeft_;
    size_t nesting_ = 0;                          // arrays around the one being written
    std::vector<uint8_t>* memory_ = nullptr;      // the image
    std::vector<uint64_t>* sizes_ = nullptr;      // conversion: the sizes noted by the first walk
    size_t cursor_ = 0;
    bool sizing_ = false;
    PieceSink sink_ = nullptr;
    void* context_ = nullptr;
    bool sending_ = true;
    uint64_t count_ = 0;
    bool objects_ = false;
    uint32_t failure_ = kLevel5Ok;
    std::vector<uint8_t> buffer_;
};

}  // namespace

bool Level5Image(File& file, uint64_t index, std::vector<uint64_t>& sizes, Level5Plan& plan, PieceSink sink,
                 void* context) {
    const bool variable = index != kLevel5Subsystem;
    mxArray header;
    if (variable && ReadHeader(file, index, header) != HeaderStatus::Ok) return false;
    Id object(variable ? OpenLinked(file.file, header.name.c_str()) : OpenSubsystemData(file.file), H5Oclose);
    if (variable && !object.ok()) return false;
    if (sink == nullptr) sizes.clear();
    Walker walker(sizes, sink, context);
    const bool written =
        object.ok() && (variable ? walker.Variable(object.get(), header) : walker.SubsystemVariable(object.get()));
    plan.bytes = walker.bytes();
    plan.objects = walker.objects();
    plan.failure = written ? kLevel5Ok : (walker.failure() != kLevel5Ok ? walker.failure() : kLevel5Damaged);
    if (written && plan.bytes >= kMaxLevel5Bytes) plan.failure = kLevel5TooLarge;
    return written;
}

bool ContentsImage(File& file, const mxArray& array, uint64_t nodes, std::vector<uint8_t>& out) {
    out.clear();
    Id object(OpenLinked(file.file, array.name.c_str()), H5Oclose);
    if (!object.ok()) return false;
    Budget budget = kShown;
    budget.nodes = nodes;
    Walker walker(budget, out);
    walker.Element(object.get(), array, "", 0);
    return !out.empty();
}

}  // namespace matlib::hdf5

// A whole version 7.3 variable written as the level-5 array element that a
// version 7 file keeps (little-endian, uncompressed; the reader compresses
// it as it arrives when its target is compressed), and the file's subsystem
// data as the unnamed uint8 variable of a version 7 file.
//
// Level-5 tags give each element's size before its data, and an element may
// be of any size: the variable is walked twice. The first walk reads only
// headers, field names and references and notes each array's size in walk
// order; the second walks the same way, takes the sizes in that order and
// sends the bytes as it reads them, the numbers in runs of kRunBytes. Memory
// stays at a few megabytes plus 8 bytes per array, whatever the data's size.
// A size found different in the second walk (the file changed, a damaged
// object read otherwise the second time) ends the writing as failed.
//
// The forms are those of v73_image.cpp (which writes the part of a
// variable the viewer shows): objects as opaque elements holding their
// metadata, function handles as the struct of their fields, the subsystem
// data as the struct MCOS holding the FileWrapper__ of its cell.
// Runs in the worker process (v73_hdf5.h).
#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "codec/convert.h"
#include "codec/element_writer.h"
#include "codec/mat_format.h"
#include "v73client/v73_protocol.h"
#include "worker/v73_objects.h"

namespace matlib::hdf5 {

namespace {

using namespace format;
using namespace v73;

// The numbers of a dataset are read and sent in runs of about this size.
constexpr size_t kRunBytes = size_t{4} << 20;
// Bytes gathered before they go out as one piece.
constexpr size_t kPieceBytes = size_t{1} << 20;
// Arrays nested inside each other and in one variable (8 bytes of notes
// each in the worker): the walks' budget, kMaxNesting and kMaxWalkedObjects
// (v73_objects.h), which also bounds a file whose references lead in a circle.
constexpr char kSubsystemData[] = "#subsystem#/MCOS";

// Whether a tag can say the bytes of `count` values of `width` bytes each
// (at most 4 GB).
bool TagHolds(uint64_t count, uint64_t width) {
    uint64_t bytes = 0;
    return !__builtin_mul_overflow(count, width, &bytes) && bytes <= UINT32_MAX;
}

class Level5Writer {
public:
    Level5Writer(std::vector<uint64_t>& sizes, bool sizing, PieceSink sink, void* context)
        : sizes_(sizes), sizing_(sizing), sink_(sink), context_(context) {}

    bool Variable(hid_t object, const mxArray& a) { return Element(object, a, a.name, 0) && Flush(); }

    // The unnamed uint8 variable: the version and endian indicator of a
    // level-5 header padded to 8 bytes, then a 1x1 struct whose field MCOS
    // is an opaque FileWrapper__ holding the cell of `mcos`'s elements.
    bool Subsystem(hid_t mcos) {
        if (!IsReferenceDataset(mcos)) return Fail(kLevel5Damaged);
        objects_ = true;
        const Mark outer = Open();
        if (!outer.ok) return false;
        // The uint8 data's length: the preamble and the struct element, whose
        // size the first walk noted next.
        const uint64_t inner = sizing_ ? 0 : PeekSize();
        const uint64_t length = kSubsystemPreamble + kTagSize + inner;
        if (length > INT32_MAX) return Fail(kLevel5TooLarge);
        const mwSize dims[2] = {1, static_cast<mwSize>(length)};
        if (!Head({mxUINT8, 0, 0, dims, 2, "", {}})) return false;
        Tag(miUINT8, static_cast<uint32_t>(length));
        const uint64_t dataStart = count_;
        const uint8_t preamble[kSubsystemPreamble] = {0x00, 0x01, kEndianLittle[0], kEndianLittle[1]};
        Put(preamble, sizeof preamble);
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
        if (!ReferenceCell(mcos, {1, static_cast<mwSize>(count)}, 1) || !Close(wrapper) || !Close(top)) return false;
        if (sizing_ && count_ - dataStart != kSubsystemPreamble + kTagSize + sizes_[top.slot]) return Fail(kLevel5Damaged);
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

    uint64_t PeekSize() const { return cursor_ < sizes_.size() ? sizes_[cursor_] : 0; }

    // The miMATRIX tag of an element whose size the first walk notes at Close.
    Mark Open() {
        Mark mark;
        mark.start = count_;
        if (sizing_) {
            if (sizes_.size() >= kMaxWalkedObjects) {
                Fail(kLevel5TooMany);
                return mark;
            }
            mark.slot = sizes_.size();
            sizes_.push_back(0);
            Tag(miMATRIX, 0);
        } else {
            if (cursor_ >= sizes_.size()) {
                Fail(kLevel5Damaged);
                return mark;
            }
            mark.slot = cursor_++;
            Tag(miMATRIX, static_cast<uint32_t>(sizes_[mark.slot]));
        }
        mark.ok = failure_ == kLevel5Ok;
        return mark;
    }

    bool Close(const Mark& mark) {
        if (failure_ != kLevel5Ok) return false;
        const uint64_t size = count_ - mark.start - kTagSize;
        if (sizing_) {
            if (size > UINT32_MAX || count_ >= kMaxLevel5Bytes) return Fail(kLevel5TooLarge);
            sizes_[mark.slot] = size;
            return true;
        }
        return size == sizes_[mark.slot] || Fail(kLevel5Damaged);
    }

    void Put(const void* p, size_t n) {
        count_ += n;
        if (sizing_ || n == 0 || !sending_) return;
        const auto* bytes = static_cast<const uint8_t*>(p);
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

    // An array's head (flags, dimensions, name, class name), as the engine writes it.
    bool Head(const ArrayHead& head) {
        std::vector<uint8_t> bytes;
        if (!AppendArrayHead(head, false, bytes)) return Fail(kLevel5TooLarge);
        Put(bytes.data(), bytes.size());
        return true;
    }

    bool Element(hid_t object, const mxArray& a, const std::string& name, size_t depth) {
        if (depth > kMaxNesting) return Fail(kLevel5TooDeep);
        const uint8_t cls = ClassCode(a);
        if (cls == 0) return Fail(kLevel5NoForm);
        const Mark mark = Open();
        if (!mark.ok) return false;
        const uint8_t flags = (a.complex ? kFlagComplex : 0) | (a.global ? kFlagGlobal : 0) |
                              (a.logical ? kFlagLogical : 0);
        if (a.sparse && a.nzmax > UINT32_MAX) return Fail(kLevel5TooLarge);
        if (cls == mxOPAQUE) objects_ = true;
        if (!Head({cls, flags, a.sparse ? static_cast<uint32_t>(a.nzmax) : 0, a.dims.data(), a.dims.size(), name, a.className})) {
            return false;
        }
        bool body = false;
        switch (cls) {
            case mxCELL: body = Cell(object, a, depth); break;
            case mxSTRUCT: case mxOBJECT: body = Struct(object, a, depth); break;
            case mxOPAQUE: body = Opaque(object, a, depth); break;
            case mxFUNCTION: body = Function(object, a, depth); break;
            case mxSPARSE: body = Sparse(object, a); break;
            default: body = Numbers(object, a); break;
        }
        return body && Close(mark);
    }

    bool Child(hid_t child, size_t depth) {
        if (child < 0) return Fail(kLevel5Damaged);
        Id owned(child, H5Oclose);
        mxArray header;
        if (!ObjectHeader(child, header)) return Fail(kLevel5Damaged);
        return Element(child, header, "", depth);
    }

    // The elements a dataset of references points at, as a cell of these dimensions.
    bool ReferenceCell(hid_t dataset, const std::vector<mwSize>& dims, size_t depth) {
        const Mark mark = Open();
        if (!mark.ok) return false;
        if (!Head({mxCELL, 0, 0, dims.data(), dims.size(), "", {}})) return false;
        size_t count = 1;
        for (mwSize d : dims) count *= d;
        for (size_t k = 0; k < count; ++k) {
            if (!Child(Referenced(dataset, k), depth + 1)) return false;
        }
        return Close(mark);
    }

    bool Cell(hid_t object, const mxArray& a, size_t depth) {
        const size_t count = mxGetNumberOfElements(&a);
        if (count > 0 && !IsReferenceDataset(object)) return Fail(kLevel5Damaged);
        for (size_t k = 0; k < count; ++k) {
            if (!Child(Referenced(object, k), depth + 1)) return false;
        }
        return true;
    }

    // Field names, then per element each field's value: a 1-by-1 struct
    // holds its values itself, a struct array one reference per element.
    bool Struct(hid_t object, const mxArray& a, size_t depth) {
        std::vector<std::string> fields;
        const uint64_t count = mxGetNumberOfElements(&a);
        if (!FieldNames(object, fields) && count > 0) return Fail(kLevel5Damaged);
        size_t longest = 0;
        for (const std::string& f : fields) longest = std::max(longest, f.size());
        if (fields.size() * (longest + 1) > UINT32_MAX) return Fail(kLevel5TooLarge);
        const auto length = static_cast<int32_t>(longest + 1);
        std::vector<char> names(fields.size() * (longest + 1), '\0');
        for (size_t f = 0; f < fields.size(); ++f) std::memcpy(names.data() + f * (longest + 1), fields[f].data(), fields[f].size());
        Sub(miINT32, &length, sizeof length);
        Sub(miINT8, names.data(), names.size());
        if (fields.empty()) return true;
        for (uint64_t k = 0; k < count; ++k) {
            for (const std::string& field : fields) {
                if (H5Lexists(object, field.c_str(), InsideLinks()) <= 0) return Fail(kLevel5Damaged);
                Id value(OpenLinked(object, field.c_str()), H5Oclose);
                if (!value.ok()) return Fail(kLevel5Damaged);
                // A field without a class of its own holds the elements' references.
                const bool perElement =
                    IsReferenceDataset(value.get()) && AttributeExists(value.get(), "MATLAB_class") == 0;
                if (!perElement && count != 1) return Fail(kLevel5Damaged);
                if (!Child(perElement ? Referenced(value.get(), k) : OpenLinked(object, field.c_str()),
                           depth + 1)) {
                    return false;
                }
            }
        }
        return true;
    }

    // An object: its metadata (the uint32 column that names its objects in
    // the subsystem data); the subsystem's FileWrapper__ holds a cell.
    bool Opaque(hid_t object, const mxArray& a, size_t depth) {
        if (H5Iget_type(object) != H5I_DATASET) return Fail(kLevel5Damaged);
        Id space(H5Dget_space(object), H5Sclose);
        const hssize_t count = space.ok() ? H5Sget_simple_extent_npoints(space.get()) : -1;
        if (count < 0 || count > INT32_MAX / 4) return Fail(kLevel5Damaged);
        if (IsReferenceDataset(object)) return ReferenceCell(object, {static_cast<mwSize>(count), 1}, depth);
        const Mark mark = Open();
        if (!mark.ok) return false;
        const mwSize dims[2] = {static_cast<mwSize>(count), 1};
        if (!Head({mxUINT32, 0, 0, dims, 2, "", {}})) return false;
        Tag(miUINT32, static_cast<uint32_t>(count * 4));
        mxArray words = a;
        words.classId = mxUINT32_CLASS;
        words.complex = false;
        if (!Run(object, words, 0, static_cast<uint64_t>(count))) return false;
        Pad(static_cast<uint64_t>(count) * 4);
        return Close(mark);
    }

    // A function handle: the 1x1 struct of its group's fields (matlabroot,
    // separator, sentinel, function_handle).
    bool Function(hid_t object, const mxArray& a, size_t depth) {
        objects_ = true;
        if (H5Iget_type(object) != H5I_GROUP) return Fail(kLevel5Damaged);
        mxArray fields = a;
        fields.classId = mxSTRUCT_CLASS;
        fields.className = "struct";
        fields.dims = {1, 1};
        fields.global = false;
        return Element(object, fields, "", depth + 1);
    }

    // Numbers, characters and logicals: each part's subelement.
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
        if (H5Lexists(group, name, InsideLinks()) <= 0) return Fail(kLevel5Damaged);
        Id dataset(OpenLinkedDataset(group, name), H5Dclose);
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
        const uint64_t steps = std::max<uint64_t>(1, budget / inner);
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
                Id memory(H5Screate_simple(1, &points, nullptr), H5Sclose);
                if (!memory.ok() ||
                    H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start.data(), nullptr, counts.data(), nullptr) < 0 ||
                    ReadInside(dataset, memoryType, memory.get(), space.get(), buffer.data()) < 0) {
                    return Fail(kLevel5Damaged);
                }
                if (!emit(buffer.data(), static_cast<size_t>(points * width))) return Fail(kLevel5Damaged);
            }
        }
        return true;
    }

    std::vector<uint64_t>& sizes_;
    size_t cursor_ = 0;
    bool sizing_;
    PieceSink sink_;
    void* context_;
    bool sending_ = true;
    uint64_t count_ = 0;
    bool objects_ = false;
    uint32_t failure_ = kLevel5Ok;
    std::vector<uint8_t> buffer_;
};

}  // namespace

bool WriteLevel5(hid_t file, hid_t object, const mxArray* array, std::vector<uint64_t>& sizes, Level5Plan& plan,
                 PieceSink sink, void* context) {
    const bool sizing = sink == nullptr;
    if (sizing) sizes.clear();
    Level5Writer writer(sizes, sizing, sink, context);
    bool written = false;
    if (array != nullptr) {
        written = writer.Variable(object, *array);
    } else if (H5Lexists(file, "#subsystem#", InsideLinks()) > 0 && H5Lexists(file, kSubsystemData, InsideLinks()) > 0) {
        Id mcos(OpenLinked(file, kSubsystemData), H5Oclose);
        written = mcos.ok() && writer.Subsystem(mcos.get());
    }
    plan.bytes = writer.bytes();
    plan.objects = writer.objects();
    plan.failure = written ? kLevel5Ok : (writer.failure() != kLevel5Ok ? writer.failure() : kLevel5Damaged);
    if (written && plan.bytes >= kMaxLevel5Bytes) plan.failure = kLevel5TooLarge;
    return written;
}

}  // namespace matlib::hdf5

// MATLAB's layout of a version 7.3 file, read through libhdf5 once the
// guard (v73_hdf5_guard.cpp) has found each object sound.
//
// Each variable is a top-level dataset or group with the attribute
// MATLAB_class; names beginning with '#' (#refs#, #subsystem#) hold what
// variables refer to and are no variables. HDF5 keeps the dimensions in C
// order, so MATLAB's are the dataset's reversed, and MATLAB's column-major
// element k is the dataset's element k in C order. Complex data is a compound
// of "real" and "imag"; MATLAB_empty = 1 marks a dataset that holds the
// dimensions of an empty array instead of data; a sparse array is a group
// with MATLAB_sparse = its rows and the datasets data, ir and jc.
//
// Worker process only (v73_hdf5.h), one thread.
#include <hdf5.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "codec/convert.h"
#include "codec/element_writer.h"
#include "codec/mat_format.h"
#include "codec/readers.h"
#include "worker/v73_hdf5.h"
#include "worker/v73_objects.h"

namespace matlib::hdf5 {

namespace {

using namespace format;

// A string attribute (fixed length or variable), or false when absent or no
// short string.
bool StringAttribute(hid_t object, const char* name, std::string& out) {
    // Opened without asking first whether it exists: the attributes looked
    // for this way (a class name) nearly always do, and asking costs a walk
    // of the header's attributes more for each listed variable.
    if (!HeaderReadable(object)) return false;
    Id attribute(H5Aopen(object, name, H5P_DEFAULT), H5Aclose);
    if (!attribute.ok()) return false;
    Id type(H5Aget_type(attribute.get()), H5Tclose);
    Id space(H5Aget_space(attribute.get()), H5Sclose);
    if (!type.ok() || !space.ok() || H5Tget_class(type.get()) != H5T_STRING ||
        H5Sget_simple_extent_npoints(space.get()) != 1) {
        return false;
    }
    Id memory(H5Tcopy(H5T_C_S1), H5Tclose);
    if (!memory.ok()) return false;
    if (H5Tis_variable_str(type.get()) > 0) {
        char* text = nullptr;
        if (H5Tset_size(memory.get(), H5T_VARIABLE) < 0 || H5Aread(attribute.get(), memory.get(), &text) < 0 ||
            text == nullptr) {
            return false;
        }
        const size_t length = strnlen(text, kMaxClassNameLength + 1);
        const bool fits = length <= kMaxClassNameLength;
        if (fits) out.assign(text, length);
        H5free_memory(text);
        return fits;
    }
    const size_t size = H5Tget_size(type.get());
    if (size == 0 || size > kMaxClassNameLength) return false;
    std::vector<char> text(size + 1, '\0');
    if (H5Tset_size(memory.get(), size + 1) < 0 || H5Aread(attribute.get(), memory.get(), text.data()) < 0) {
        return false;
    }
    out.assign(text.data(), strnlen(text.data(), size));
    return true;
}

}  // namespace

uint64_t IntegerAttribute(hid_t object, const char* name, uint64_t missing) {
    if (AttributeExists(object, name) <= 0) return missing;
    Id attribute(H5Aopen(object, name, H5P_DEFAULT), H5Aclose);
    if (!attribute.ok()) return missing;
    Id type(H5Aget_type(attribute.get()), H5Tclose);
    Id space(H5Aget_space(attribute.get()), H5Sclose);
    uint64_t value = 0;
    if (!type.ok() || !space.ok() || H5Tget_class(type.get()) != H5T_INTEGER ||
        H5Sget_simple_extent_npoints(space.get()) != 1 ||
        H5Aread(attribute.get(), H5T_NATIVE_UINT64, &value) < 0) {
        return missing;
    }
    return value;
}

namespace {

// ---- classes and dimensions -------------------------------------------------------

struct ClassName {
    const char* name;
    mxClassID id;
};
constexpr ClassName kClasses[] = {
    {"double", mxDOUBLE_CLASS}, {"single", mxSINGLE_CLASS}, {"int8", mxINT8_CLASS},
    {"uint8", mxUINT8_CLASS},   {"int16", mxINT16_CLASS},   {"uint16", mxUINT16_CLASS},
    {"int32", mxINT32_CLASS},   {"uint32", mxUINT32_CLASS}, {"int64", mxINT64_CLASS},
    {"uint64", mxUINT64_CLASS}, {"char", mxCHAR_CLASS},     {"logical", mxLOGICAL_CLASS},
    {"cell", mxCELL_CLASS},     {"struct", mxSTRUCT_CLASS}, {"function_handle", mxFUNCTION_CLASS},
    // MATLAB's [] inside a cell or struct: 0x0 double in a level-5 file.
    {"canonical empty", mxDOUBLE_CLASS},
};

mxClassID ClassOfName(const std::string& name) {
    for (const ClassName& c : kClasses) {
        if (name == c.name) return c.id;
    }
    return mxUNKNOWN_CLASS;
}

// The class of a dataset that carries no MATLAB_class (written by a plain
// HDF5 program): its stored numbers.
mxClassID ClassOfType(hid_t type) {
    const size_t size = H5Tget_size(type);
    switch (H5Tget_class(type)) {
        case H5T_FLOAT: return size == 4 ? mxSINGLE_CLASS : mxDOUBLE_CLASS;
        case H5T_INTEGER: {
            const bool isSigned = H5Tget_sign(type) == H5T_SGN_2;
            switch (size) {
                case 1: return isSigned ? mxINT8_CLASS : mxUINT8_CLASS;
                case 2: return isSigned ? mxINT16_CLASS : mxUINT16_CLASS;
                case 4: return isSigned ? mxINT32_CLASS : mxUINT32_CLASS;
                case 8: return isSigned ? mxINT64_CLASS : mxUINT64_CLASS;
                default: return mxUNKNOWN_CLASS;
            }
        }
        case H5T_REFERENCE: return mxCELL_CLASS;
        default: return mxUNKNOWN_CLASS;
    }
}

// The type libhdf5 converts the class's elements into: its own C type.
hid_t MemoryType(mxClassID id) {
    switch (id) {
        case mxDOUBLE_CLASS: return H5T_NATIVE_DOUBLE;
        case mxSINGLE_CLASS: return H5T_NATIVE_FLOAT;
        case mxINT8_CLASS: return H5T_NATIVE_INT8;
        case mxUINT8_CLASS: case mxLOGICAL_CLASS: return H5T_NATIVE_UINT8;
        case mxINT16_CLASS: return H5T_NATIVE_INT16;
        case mxUINT16_CLASS: case mxCHAR_CLASS: return H5T_NATIVE_UINT16;
        case mxINT32_CLASS: return H5T_NATIVE_INT32;
        case mxUINT32_CLASS: return H5T_NATIVE_UINT32;
        case mxINT64_CLASS: return H5T_NATIVE_INT64;
        case mxUINT64_CLASS: return H5T_NATIVE_UINT64;
        default: return -1;
    }
}

bool IsComplexType(hid_t type) {
    return H5Tget_class(type) == H5T_COMPOUND && H5Tget_nmembers(type) == 2 &&
           H5Tget_member_index(type, "real") >= 0 && H5Tget_member_index(type, "imag") >= 0;
}

}  // namespace

bool SpaceDims(hid_t space, std::vector<hsize_t>& out) {
    const H5S_class_t kind = H5Sget_simple_extent_type(space);
    out.clear();
    if (kind == H5S_SCALAR) return true;
    if (kind != H5S_SIMPLE) return false;
    const int rank = H5Sget_simple_extent_ndims(space);
    if (rank < 0 || static_cast<size_t>(rank) > kMaxDimensions) return false;
    out.resize(static_cast<size_t>(rank));
    return rank == 0 || H5Sget_simple_extent_dims(space, out.data(), nullptr) == rank;
}


namespace {

// MATLAB's dimensions: at least two, trailing singletons beyond the second
// dropped, their product within size_t.
bool SetMatlabDims(mxArray& array, std::vector<mwSize> dims) {
    while (dims.size() < 2) dims.push_back(1);
    while (dims.size() > 2 && dims.back() == 1) dims.pop_back();
    size_t product = 1;
    for (mwSize d : dims) {
        if (__builtin_mul_overflow(product, d, &product)) return false;
    }
    array.dims = std::move(dims);
    return true;
}

}  // namespace

bool MatlabDims(hid_t space, mxArray& array) {
    std::vector<hsize_t> c;
    if (!SpaceDims(space, c)) return false;
    return SetMatlabDims(array, std::vector<mwSize>(c.rbegin(), c.rend()));
}

namespace {

// Up to `limit` values of a small dataset, converted to uint64.
bool SmallValues(hid_t dataset, hssize_t limit, std::vector<uint64_t>& out) {
    Id space(H5Dget_space(dataset), H5Sclose);
    if (!space.ok()) return false;
    const hssize_t n = H5Sget_simple_extent_npoints(space.get());
    if (n < 0 || n > limit) return false;
    out.resize(static_cast<size_t>(n));
    return n == 0 || ReadInside(dataset, H5T_NATIVE_UINT64, H5S_ALL, H5S_ALL, out.data()) >= 0;
}

hssize_t PointsOf(hid_t object, const char* child) {
    Id dataset(OpenChildDataset(object, child), H5Dclose);
    Id space(dataset.ok() ? H5Dget_space(dataset.get()) : -1, H5Sclose);
    return space.ok() ? H5Sget_simple_extent_npoints(space.get()) : -1;
}

// A struct array keeps each field as a dataset of references shaped like
// the array (without a class of its own); a 1-by-1 struct keeps the values
// themselves.
bool StructDims(hid_t group, mxArray& array) {
    H5G_info_t info;
    if (!HeaderReadable(group) || H5Gget_info(group, &info) < 0) return false;
    if (info.nlinks > 0) {
        H5O_info_t at;
        const bool openable =
            H5Oget_info_by_idx2(group, ".", H5_INDEX_NAME, H5_ITER_INC, 0, &at, H5O_INFO_BASIC, InsideLinks()) >= 0 &&
            Openable(group, at);
        Id first(openable ? H5Oopen_by_idx(group, ".", H5_INDEX_NAME, H5_ITER_INC, 0, InsideLinks()) : -1, H5Oclose);
        if (first.ok() && H5Iget_type(first.get()) == H5I_DATASET && AttributeExists(first.get(), "MATLAB_class") == 0) {
            Id type(H5Dget_type(first.get()), H5Tclose);
            Id space(H5Dget_space(first.get()), H5Sclose);
            if (type.ok() && space.ok() && H5Tget_class(type.get()) == H5T_REFERENCE) {
                return MatlabDims(space.get(), array);
            }
        }
    }
    return SetMatlabDims(array, {1, 1});
}

bool ReadGroupHeader(hid_t group, mxArray& array) {
    const uint64_t rows = IntegerAttribute(group, "MATLAB_sparse", UINT64_MAX);
    if (rows != UINT64_MAX) {
        // Sparse: rows from the attribute, columns from jc (one start per
        // column and the end), nzmax from ir.
        const hssize_t starts = PointsOf(group, "jc");
        const hssize_t stored = PointsOf(group, "ir");
        if (starts < 1 || (array.classId != mxDOUBLE_CLASS && array.classId != mxLOGICAL_CLASS)) return false;
        array.sparse = true;
        array.nzmax = stored > 0 ? static_cast<size_t>(stored) : 0;
        Id data(OpenChildDataset(group, "data"), H5Dclose);
        Id type(data.ok() ? H5Dget_type(data.get()) : -1, H5Tclose);
        array.complex = type.ok() && IsComplexType(type.get());
        return SetMatlabDims(array, {rows, static_cast<mwSize>(starts - 1)});
    }
    if (array.classId == mxUNKNOWN_CLASS && array.className.empty()) array.classId = mxSTRUCT_CLASS;
    if (array.classId == mxUNKNOWN_CLASS) array.classId = mxOBJECT_CLASS;   // an object with fields
    if (array.classId == mxSTRUCT_CLASS || array.classId == mxOBJECT_CLASS) return StructDims(group, array);
    return SetMatlabDims(array, {1, 1});
}

bool ReadDatasetHeader(hid_t dataset, mxArray& array) {
    Id type(H5Dget_type(dataset), H5Tclose);
    Id space(H5Dget_space(dataset), H5Sclose);
    if (!type.ok() || !space.ok()) return false;
    if (array.className.empty()) array.classId = ClassOfType(type.get());
    if (IntegerAttribute(dataset, "MATLAB_empty", 0) != 0) {
        // The dataset holds the dimensions, in MATLAB's order.
        std::vector<uint64_t> dims;
        if (!SmallValues(dataset, kMaxDimensions, dims)) return false;
        array.nzmax = 0;
        if (IntegerAttribute(dataset, "MATLAB_sparse", UINT64_MAX) != UINT64_MAX) array.sparse = true;
        return SetMatlabDims(array, std::vector<mwSize>(dims.begin(), dims.end()));
    }
    array.complex = IsComplexType(type.get());
    if (array.classId == mxUNKNOWN_CLASS && !array.className.empty()) {
        // An object (string, datetime, table ...): its values are in the
        // subsystem data; the dataset is its metadata, which gives its size.
        array.classId = mxOPAQUE_CLASS;
        std::vector<uint64_t> meta;
        if (SmallValues(dataset, kMaxObjectMetadata, meta) && meta.size() >= 4 && meta[0] == kObjectMarker &&
            meta[1] >= 2 && meta[1] <= kMaxDimensions && meta[1] + 2 <= meta.size()) {
            return SetMatlabDims(array, std::vector<mwSize>(meta.begin() + 2, meta.begin() + 2 + meta[1]));
        }
        return SetMatlabDims(array, {1, 1});
    }
    return MatlabDims(space.get(), array);
}

}  // namespace

bool ObjectHeader(hid_t object, mxArray& array) {
    const H5I_type_t kind = H5Iget_type(object);
    array.className.clear();
    if (StringAttribute(object, "MATLAB_class", array.className)) {
        array.classId = ClassOfName(array.className);
    }
    array.logical = array.classId == mxLOGICAL_CLASS;
    array.global = IntegerAttribute(object, "MATLAB_global", 0) != 0;
    bool ok = false;
    if (kind == H5I_GROUP) ok = ReadGroupHeader(object, array);
    if (kind == H5I_DATASET) ok = ReadDatasetHeader(object, array);
    if (!ok) return false;
    // Objects keep the class name the file gives; every other class its own.
    const bool isObject = array.classId == mxOPAQUE_CLASS || array.classId == mxOBJECT_CLASS;
    if (!isObject || array.className.empty()) array.className = OwnClassName(array.classId);
    if (array.className.empty()) array.className = "unknown";   // no MATLAB class, no numbers
    return true;
}

hid_t PartType(mxClassID id, bool complex, int part) {
    const hid_t element = MemoryType(id);
    if (element < 0 || !complex) return part == 0 ? H5Tcopy(element) : -1;
    const hid_t compound = H5Tcreate(H5T_COMPOUND, H5Tget_size(element));
    if (compound < 0) return -1;
    if (H5Tinsert(compound, part == 0 ? "real" : "imag", 0, element) < 0) {
        H5Tclose(compound);
        return -1;
    }
    return compound;
}

namespace {

// Whether the dataset `name` of `group` (absent: when it may be) stores
// enough to make `count` elements.
bool PartCouldHold(hid_t group, const char* name, uint64_t count) {
    if (H5Lexists(group, name, InsideLinks()) <= 0) return count == 0;
    Id dataset(OpenLinkedDataset(group, name), H5Dclose);
    return dataset.ok() && StoredDataCouldHold(dataset.get(), count);
}

}  // namespace

bool StoredCouldMake(File& file, const mxArray& array) {
    Id object(OpenLinked(file.file, array.name.c_str()), H5Oclose);
    if (!object.ok()) return false;
    const uint64_t count = mxGetNumberOfElements(&array);
    // A sparse array stored as a dataset is an empty one (MATLAB_empty): it
    // can hold no elements.
    if (H5Iget_type(object.get()) == H5I_DATASET) {
        return count == 0 || (!array.sparse && StoredDataCouldHold(object.get(), count));
    }
    if (!array.sparse || H5Iget_type(object.get()) != H5I_GROUP) return false;
    return PartCouldHold(object.get(), "jc", uint64_t{mxGetN(&array)} + 1) &&
           PartCouldHold(object.get(), "ir", array.nzmax) && PartCouldHold(object.get(), "data", array.nzmax);
}

namespace {

// A regular block of a dataspace: where it starts, how far it reaches.
struct Block {
    std::vector<hsize_t> start, counts;
};

// Elements [from, to) of the dataspace's C order as regular blocks, in that
// order, within the block whose coordinates before dimension d are
// start[0 .. d): at most two runs a dimension deeper and one block of whole
// rows of dimension d.
void RunBlocks(const std::vector<hsize_t>& dims, size_t d, std::vector<hsize_t>& start, uint64_t from, uint64_t to,
               std::vector<Block>& blocks) {
    if (from >= to) return;
    uint64_t inner = 1;   // elements of one index of dimension d
    for (size_t k = d + 1; k < dims.size(); ++k) inner *= dims[k];
    uint64_t low = from / inner;
    const uint64_t high = to / inner;
    if (low == high || from % inner != 0) {
        start[d] = low;
        const uint64_t end = low == high ? to : (low + 1) * inner;
        RunBlocks(dims, d + 1, start, from - low * inner, end - low * inner, blocks);
        if (low == high) return;
        ++low;
    }
    if (low < high) {
        Block block{{start.begin(), start.begin() + static_cast<std::ptrdiff_t>(d)}, std::vector<hsize_t>(d, 1)};
        block.start.push_back(low);
        block.counts.push_back(high - low);
        for (size_t k = d + 1; k < dims.size(); ++k) {
            block.start.push_back(0);
            block.counts.push_back(dims[k]);
        }
        blocks.push_back(std::move(block));
    }
    if (to % inner == 0) return;
    start[d] = high;
    RunBlocks(dims, d + 1, start, 0, to - high * inner, blocks);
}

// Moves elements [first, first + count) of a dataset in C order (the last
// dimension fastest) between the file and `memory`, a regular block at a
// time (SelectBlock): a union of blocks, or a list of each element's
// coordinates, libhdf5 would map onto its chunks an element at a time.
template <typename Byte, typename Move>
bool EachBlock(hid_t dataset, hid_t memoryType, uint64_t first, size_t count, Byte* memory, Move move) {
    Id space(H5Dget_space(dataset), H5Sclose);
    std::vector<hsize_t> dims;
    const hssize_t total = space.ok() ? H5Sget_simple_extent_npoints(space.get()) : -1;
    const size_t width = H5Tget_size(memoryType);
    if (total < 0 || width == 0 || !SpaceDims(space.get(), dims) || first > static_cast<uint64_t>(total) ||
        count > static_cast<uint64_t>(total) - first) {
        return false;
    }
    if (count == 0) return true;
    // All of them: the whole dataspace.
    if (dims.empty() || (first == 0 && count == static_cast<uint64_t>(total))) return move(H5S_ALL, H5S_ALL, memory);
    std::vector<Block> blocks;
    std::vector<hsize_t> start(dims.size(), 0);
    RunBlocks(dims, 0, start, first, first + count, blocks);
    for (const Block& block : blocks) {
        Id shape(SelectBlock(space.get(), block.start, block.counts), H5Sclose);
        if (!shape.ok() || !move(shape.get(), space.get(), memory)) return false;
        uint64_t points = 1;
        for (hsize_t n : block.counts) points *= n;
        memory += points * width;
    }
    return true;
}

}  // namespace

hid_t SelectBlock(hid_t space, const std::vector<hsize_t>& start, const std::vector<hsize_t>& counts) {
    if (counts.empty()) {
        const hsize_t one = 1;
        return H5Sselect_all(space) < 0 ? -1 : H5Screate_simple(1, &one, nullptr);
    }
    if (start.size() != counts.size() ||
        H5Sselect_hyperslab(space, H5S_SELECT_SET, start.data(), nullptr, counts.data(), nullptr) < 0) {
        return -1;
    }
    return H5Screate_simple(static_cast<int>(counts.size()), counts.data(), nullptr);
}

bool ReadPoints(hid_t dataset, hid_t memoryType, uint64_t first, size_t count, void* out) {
    return EachBlock(dataset, memoryType, first, count, static_cast<uint8_t*>(out),
                     [&](hid_t memorySpace, hid_t fileSpace, uint8_t* to) {
                         return ReadInside(dataset, memoryType, memorySpace, fileSpace, to) >= 0;
                     });
}

// Writes elements [first, first + count) of a dataset in C order, as
// ReadPoints reads them.
bool WritePoints(hid_t dataset, hid_t memoryType, uint64_t first, size_t count, const void* data) {
    return EachBlock(dataset, memoryType, first, count, static_cast<const uint8_t*>(data),
                     [&](hid_t memorySpace, hid_t fileSpace, const uint8_t* from) {
                         return H5Dwrite(dataset, memoryType, memorySpace, fileSpace, H5P_DEFAULT, from) >= 0;
                     });
}

size_t ReadElements(File& file, const mxArray& array, int part, uint64_t first, size_t count,
                    std::vector<uint8_t>& raw) {
    const size_t total = mxGetNumberOfElements(&array);
    if (first >= total || (part == 1 && !array.complex)) return 0;
    count = static_cast<size_t>(std::min<uint64_t>(count, total - first));
    Id dataset(OpenLinkedDataset(file.file, array.name.c_str()), H5Dclose);
    Id space(dataset.ok() ? H5Dget_space(dataset.get()) : -1, H5Sclose);
    if (!space.ok() || H5Sget_simple_extent_npoints(space.get()) != static_cast<hssize_t>(total)) return 0;
    Id type(PartType(array.classId, array.complex, part), H5Tclose);
    raw.resize(count * ClassElementSize(array.classId));
    return type.ok() && ReadPoints(dataset.get(), type.get(), first, count, raw.data()) ? count : 0;
}

// ---- what the walk to level-5 elements (v73_to_level5.cpp) reads: class codes,
// a struct's field names, the elements a dataset of references points at,
// the heads around the subsystem data

namespace {

using namespace format;

// Fields of one struct: more than any struct MATLAB can save (its names
// alone would pass kMaxShownElementBytes long before).
constexpr hssize_t kMaxFields = 65536;

}  // namespace

// The level-5 class code and data type of a class; 0 when it has none.
uint8_t ClassCode(const mxArray& a) {
    if (a.sparse) return mxSPARSE;
    switch (a.classId) {
        case mxCELL_CLASS: return mxCELL;
        case mxSTRUCT_CLASS: return mxSTRUCT;
        case mxOBJECT_CLASS: return mxOBJECT;
        case mxCHAR_CLASS: return mxCHAR;
        case mxLOGICAL_CLASS: return mxUINT8;
        case mxFUNCTION_CLASS: return mxFUNCTION;
        case mxOPAQUE_CLASS: return mxOPAQUE;
        default: return a.classId >= mxDOUBLE_CLASS && a.classId <= mxUINT64_CLASS ? static_cast<uint8_t>(a.classId) : 0;
    }
}

const SubsystemHeads& SubsystemHeadBytes() {
    static const SubsystemHeads heads = [] {
        SubsystemHeads made;
        // A 1x1 struct whose one field is MCOS, and the opaque FileWrapper__ in it.
        const mwSize one[2] = {1, 1};
        AppendArrayHead({mxSTRUCT, 0, 0, one, 2, "", {}}, false, made.top);
        const int32_t fieldLength = sizeof kTypeSystem;
        ElementWriter top{&made.top, false};
        top.Element(miINT32, &fieldLength, 1, sizeof fieldLength);
        top.Element(miINT8, kTypeSystem, sizeof kTypeSystem, 1);
        AppendArrayHead({mxOPAQUE, 0, 0, nullptr, 0, "", "FileWrapper__"}, false, made.wrapper);
        return made;
    }();
    return heads;
}

bool ListLinks(hid_t group, size_t most, std::vector<Link>& out) {
    struct Listing {
        std::vector<Link>& links;
        size_t most;
    } listing{out, most};
    const H5L_iterate_t collect = [](hid_t, const char* name, const H5L_info_t* info, void* data) -> herr_t {
        auto& to = *static_cast<Listing*>(data);
        if (to.links.size() >= to.most) return -1;
        try {
            to.links.push_back({name, info->type});
        } catch (const std::bad_alloc&) {
            return -1;
        }
        return 0;
    };
    out.clear();
    return H5Literate(group, H5_INDEX_NAME, H5_ITER_INC, nullptr, collect, &listing) >= 0;
}

// A struct's field names in their order: MATLAB_fields (each name a
// variable-length run of characters), else the group's links by name (MATLAB
// keeps a long list of fields in a dataset of its own, which is not read).
bool FieldNames(hid_t object, std::vector<std::string>& out) {
    out.clear();
    // An empty struct (MATLAB_empty, whatever its size) is a dataset of its
    // dimensions, with MATLAB_fields when it has fields.
    if (H5Iget_type(object) == H5I_DATASET && AttributeExists(object, "MATLAB_empty") > 0 &&
        AttributeExists(object, "MATLAB_fields") <= 0) {
        return true;
    }
    Id attribute(AttributeExists(object, "MATLAB_fields") > 0 ? H5Aopen(object, "MATLAB_fields", H5P_DEFAULT) : -1, H5Aclose);
    Id type(attribute.ok() ? H5Aget_type(attribute.get()) : -1, H5Tclose);
    Id space(attribute.ok() ? H5Aget_space(attribute.get()) : -1, H5Sclose);
    if (!type.ok() || !space.ok() || H5Tget_class(type.get()) != H5T_VLEN) {
        std::vector<Link> links;
        const bool listed = H5Iget_type(object) == H5I_GROUP && HeaderReadable(object) &&
                            ListLinks(object, static_cast<size_t>(kMaxFields), links);
        for (Link& link : links) out.push_back(std::move(link.name));
        return listed;
    }
    Id base(H5Tget_super(type.get()), H5Tclose);
    const hssize_t count = H5Sget_simple_extent_npoints(space.get());
    if (!base.ok() || H5Tget_size(base.get()) != 1 || count < 0 || count > kMaxFields) return false;
    Id memory(H5Tvlen_create(base.get()), H5Tclose);
    std::vector<hvl_t> names(static_cast<size_t>(count));
    if (!memory.ok() || (count > 0 && H5Aread(attribute.get(), memory.get(), names.data()) < 0)) return false;
    bool sound = true;
    for (const hvl_t& name : names) {
        const char* text = static_cast<const char*>(name.p);
        sound = sound && name.len <= kMaxNameLength && (text != nullptr || name.len == 0);
        if (sound) out.emplace_back(text != nullptr ? text : "", text != nullptr ? strnlen(text, name.len) : 0);
    }
    if (count > 0) H5Dvlen_reclaim(memory.get(), space.get(), H5P_DEFAULT, names.data());
    return sound;
}

bool IsReferenceDataset(hid_t object) {
    if (H5Iget_type(object) != H5I_DATASET) return false;
    Id type(H5Dget_type(object), H5Tclose);
    return type.ok() && H5Tget_class(type.get()) == H5T_REFERENCE;
}

// The object that element k of a dataset of references points at; the
// caller closes it. Negative when there is none.
hid_t Referenced(hid_t dataset, uint64_t k) {
    hobj_ref_t reference = 0;
    if (!IsReferenceDataset(dataset) || !ReadPoints(dataset, H5T_STD_REF_OBJ, k, 1, &reference)) return -1;
    return OpenReferenced(dataset, reference);
}

bool IsCanonicalEmpty(hid_t object) {
    std::string cls;
    return StringAttribute(object, "MATLAB_class", cls) && cls == "canonical empty";
}

}  // namespace matlib::hdf5

// How MATLAB's layout is read for the walk to level-5 elements
// (v73_to_level5.cpp): class codes, a struct's field names, the elements a
// dataset of references points at, and the heads around the subsystem data.
// Runs in the worker process (v73_hdf5.h).
#include <cstring>
#include <string>
#include <vector>

#include "codec/element_writer.h"
#include "codec/mat_format.h"
#include "worker/v73_objects.h"

namespace matlib::hdf5 {

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

static herr_t CollectLink(hid_t, const char* name, const H5L_info_t*, void* data) {
    auto* names = static_cast<std::vector<std::string>*>(data);
    if (names->size() >= static_cast<size_t>(kMaxFields)) return -1;
    names->emplace_back(name);
    return 0;
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
        return H5Iget_type(object) == H5I_GROUP && HeaderReadable(object) &&
               H5Literate(object, H5_INDEX_NAME, H5_ITER_INC, nullptr, CollectLink, &out) >= 0;
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

}  // namespace matlib::hdf5

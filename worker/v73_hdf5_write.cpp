// The pieces of MATLAB's version 7.3 layout (v73_hdf5_write.h).
#include "worker/v73_hdf5_write.h"

#include <algorithm>

#include "worker/v73_hdf5.h"
#include "worker/v73_objects.h"

namespace matlib::v73 {

using hdf5::Id;

// Datasets of at least this many bytes are chunked and deflated (level 3),
// in chunks of about kChunkBytes that follow the elements' order.
constexpr uint64_t kChunkedFrom = 16 * 1024;
constexpr uint64_t kChunkBytes = 256 * 1024;
constexpr unsigned kDeflateLevel = 3;

// ---- attributes -------------------------------------------------------------------

bool StringAttribute(hid_t object, const char* name, const std::string& value) {
    Id type(H5Tcopy(H5T_C_S1), H5Tclose);
    Id space(H5Screate(H5S_SCALAR), H5Sclose);
    if (!type.ok() || !space.ok() || H5Tset_size(type.get(), std::max<size_t>(value.size(), 1)) < 0) return false;
    Id attribute(H5Acreate2(object, name, type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
    std::string stored = value;
    stored.resize(std::max<size_t>(value.size(), 1), '\0');
    return attribute.ok() && H5Awrite(attribute.get(), type.get(), stored.data()) >= 0;
}

bool IntegerAttribute(hid_t object, const char* name, hid_t fileType, uint64_t value) {
    Id space(H5Screate(H5S_SCALAR), H5Sclose);
    Id attribute(space.ok() ? H5Acreate2(object, name, fileType, space.get(), H5P_DEFAULT, H5P_DEFAULT) : -1,
                 H5Aclose);
    return attribute.ok() && H5Awrite(attribute.get(), H5T_NATIVE_UINT64, &value) >= 0;
}

bool FieldsAttribute(hid_t object, const std::vector<std::string>& fields) {
    Id character(H5Tcopy(H5T_C_S1), H5Tclose);
    Id type(character.ok() ? H5Tvlen_create(character.get()) : -1, H5Tclose);
    const hsize_t count = fields.size();
    Id space(H5Screate_simple(1, &count, nullptr), H5Sclose);
    if (!type.ok() || !space.ok()) return false;
    Id attribute(H5Acreate2(object, "MATLAB_fields", type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
    std::vector<hvl_t> names(fields.size());
    for (size_t i = 0; i < fields.size(); ++i) {
        names[i].len = fields[i].size();
        names[i].p = const_cast<char*>(fields[i].data());
    }
    return attribute.ok() && H5Awrite(attribute.get(), type.get(), names.data()) >= 0;
}

bool ClassAttributes(hid_t object, mxClassID id, const std::string& className) {
    if (!StringAttribute(object, "MATLAB_class", className)) return false;
    if (id == mxCHAR_CLASS) return IntegerAttribute(object, "MATLAB_int_decode", H5T_STD_I32LE, 2);
    if (id == mxLOGICAL_CLASS) return IntegerAttribute(object, "MATLAB_int_decode", H5T_STD_I32LE, 1);
    return true;
}

// ---- classes and types -----------------------------------------------------------

namespace {

hid_t FileElementType(mxClassID id) {
    switch (id) {
        case mxDOUBLE_CLASS: return H5T_IEEE_F64LE;
        case mxSINGLE_CLASS: return H5T_IEEE_F32LE;
        case mxINT8_CLASS: return H5T_STD_I8LE;
        case mxUINT8_CLASS: case mxLOGICAL_CLASS: return H5T_STD_U8LE;
        case mxINT16_CLASS: return H5T_STD_I16LE;
        case mxUINT16_CLASS: case mxCHAR_CLASS: return H5T_STD_U16LE;
        case mxINT32_CLASS: return H5T_STD_I32LE;
        case mxUINT32_CLASS: return H5T_STD_U32LE;
        case mxINT64_CLASS: return H5T_STD_I64LE;
        case mxUINT64_CLASS: return H5T_STD_U64LE;
        default: return -1;
    }
}

}  // namespace

hid_t FileType(mxClassID id, bool complex) {
    const hid_t element = FileElementType(id);
    if (element < 0 || !complex) return element < 0 ? -1 : H5Tcopy(element);
    const size_t width = H5Tget_size(element);
    const hid_t compound = H5Tcreate(H5T_COMPOUND, 2 * width);
    if (compound < 0) return -1;
    if (H5Tinsert(compound, "real", 0, element) < 0 || H5Tinsert(compound, "imag", width, element) < 0) {
        H5Tclose(compound);
        return -1;
    }
    return compound;
}

// ---- datasets written in element order ------------------------------------------------

hid_t CreateDataset(hid_t parent, const std::string& name, hid_t type, const std::vector<hsize_t>& dims,
                    bool resizable, Layout& layout) {
    layout = Layout{};
    layout.dims = dims;
    for (hsize_t d : dims) {
        if (__builtin_mul_overflow(layout.total, d, &layout.total)) return -1;
    }
    const size_t width = H5Tget_size(type);
    Id create(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
    if (!create.ok() || H5Pset_obj_track_times(create.get(), false) < 0) return -1;
    uint64_t bytes = 0;
    if (__builtin_mul_overflow(layout.total, uint64_t{width}, &bytes)) return -1;
    if (layout.total > 0 && (bytes >= kChunkedFrom || resizable)) {
        std::vector<hsize_t> chunk(dims.size(), 1);
        uint64_t per = 1;
        size_t chunkedDim = SIZE_MAX;
        for (size_t d = dims.size(); d-- > 0;) {
            if (per * dims[d] * width <= kChunkBytes) {
                chunk[d] = dims[d];
                per *= dims[d];
                continue;
            }
            chunk[d] = std::max<uint64_t>(1, kChunkBytes / (per * width));
            chunkedDim = d;
            break;
        }
        layout.chunked = chunkedDim != SIZE_MAX;
        if (layout.chunked) {
            layout.run = chunk[chunkedDim] * per;
            layout.group = dims[chunkedDim] * per;
        }
        if (H5Pset_chunk(create.get(), static_cast<int>(dims.size()), chunk.data()) < 0 ||
            H5Pset_deflate(create.get(), kDeflateLevel) < 0) {
            return -1;
        }
    }
    Id space(H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr), H5Sclose);
    if (!space.ok()) return -1;
    return H5Dcreate2(parent, name.c_str(), type, space.get(), H5P_DEFAULT, create.get(), H5P_DEFAULT);
}

}  // namespace matlib::v73

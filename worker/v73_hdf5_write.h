// The pieces of MATLAB's version 7.3 layout that the writer of level-5
// variables (v73_from_level5.cpp) puts together: attributes, the file types
// of MATLAB's classes, and datasets whose values are written in element
// order. Worker process only (v73_hdf5.h).
#pragma once

#include <hdf5.h>

#include <cstdint>
#include <string>
#include <vector>

#include "codec/array.h"

namespace matlib::v73 {

bool StringAttribute(hid_t object, const char* name, const std::string& value);
bool IntegerAttribute(hid_t object, const char* name, hid_t fileType, uint64_t value);
// MATLAB_fields: each name a variable-length run of characters.
bool FieldsAttribute(hid_t object, const std::vector<std::string>& fields);
// MATLAB_class, and for char and logical the decoding of their integers.
bool ClassAttributes(hid_t object, mxClassID id, const std::string& className);

// The type the file keeps a class's elements in (closed by the caller).
hid_t FileType(mxClassID id, bool complex);

// A dataset and where its chunks start in element order: chunks span the
// fastest dimensions whole, so that each holds a run of consecutive elements,
// and values are written chunk by chunk.
struct Layout {
    std::vector<hsize_t> dims;   // C order
    uint64_t total = 1;
    bool chunked = false;
    uint64_t run = 0, group = 0;   // elements per chunk, elements per step of the chunked dimension

    // The last chunk start at or before element `e` (e itself when not chunked).
    uint64_t Boundary(uint64_t e) const {
        if (!chunked || e >= total || run == 0) return e;
        const uint64_t within = e % group;
        return e - within + within / run * run;
    }
};

// Creates a dataset of `type` with these dimensions (C order); `resizable`
// lets a one-dimensional one shrink later (sparse indexes).
hid_t CreateDataset(hid_t parent, const std::string& name, hid_t type, const std::vector<hsize_t>& dims,
                    bool resizable, Layout& layout);

}  // namespace matlib::v73

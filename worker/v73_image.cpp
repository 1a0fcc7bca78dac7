// What a version 7.3 struct, cell or object holds, written as the level-5
// array element that the viewer's text is made from: describe.cpp reads it
// as it reads the first bytes of a level-5 variable, so both formats have
// one describer and the same text.
//
// Only what that text can show is read: the first kShownChildren elements of
// each cell and struct array, no deeper than kMaxShownNesting, the values of
// numeric arrays of at most kShortArray elements and the first kShortText
// characters of a char row; every other array keeps its class and
// dimensions without data. The element stops growing at
// kMaxShownElementBytes or after `nodes` arrays: what is left out then reads
// as not shown, as the part of a level-5 variable beyond the bytes read.
//
// The subsystem data (#subsystem#/MCOS: references to the object metadata
// and to the objects' property values) is written whole, in the form a
// level-5 file keeps it, up to kMaxDecodedSubsystemBytes; the describer
// decodes it as it decodes a level-5 file's.
// Runs in the worker process (v73_hdf5.h).
#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "codec/convert.h"
#include "codec/element_writer.h"
#include "codec/mat_format.h"
#include "codec/source_io.h"
#include "worker/v73_objects.h"

namespace matlib::hdf5 {

namespace {

using namespace format;

// Fields of one struct: more than any struct MATLAB can save (its names
// alone would pass kMaxShownElementBytes long before).
constexpr hssize_t kMaxFields = 65536;
constexpr char kSubsystemData[] = "#subsystem#/MCOS";

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

namespace {


class ImageWriter {
public:
    // whole: every element and every value (the subsystem data), else what
    // the text shows.
    ImageWriter(uint64_t nodes, size_t maxBytes, bool whole, std::vector<uint8_t>& out)
        : nodesLeft_(nodes), maxBytes_(maxBytes), whole_(whole), out_(out) {}

    // The subsystem data: the version and endian indicator of a level-5
    // header, padded to 8 bytes, then a 1x1 struct whose field MCOS is an
    // opaque FileWrapper__ holding the cell of `mcos`'s elements.
    bool Subsystem(hid_t mcos) {
        const uint8_t preamble[kSubsystemPreamble] = {0x00, 0x01, kEndianLittle[0], kEndianLittle[1]};
        const uint8_t swappedPreamble[kSubsystemPreamble] = {0x01, 0x00, kEndianBig[0], kEndianBig[1]};
        w_.Bytes(std::endian::native == std::endian::little ? preamble : swappedPreamble, kSubsystemPreamble);
        Id space(H5Dget_space(mcos), H5Sclose);
        const hssize_t count = space.ok() ? H5Sget_simple_extent_npoints(space.get()) : -1;
        if (count < 0 || count > INT32_MAX) return false;
        const SubsystemHeads& heads = SubsystemHeadBytes();
        const size_t top = w_.Begin(miMATRIX);
        w_.Bytes(heads.top.data(), heads.top.size());
        const size_t wrapper = w_.Begin(miMATRIX);
        w_.Bytes(heads.wrapper.data(), heads.wrapper.size());
        const size_t cell = w_.Begin(miMATRIX);
        const mwSize dims[2] = {1, static_cast<mwSize>(count)};
        if (!AppendArrayHead({mxCELL, 0, 0, dims, 2, "", {}}, false, out_)) return false;
        for (hssize_t k = 0; k < count; ++k) {
            if (!Child(Referenced(mcos, static_cast<uint64_t>(k)), 0)) return false;
        }
        w_.End(cell);
        w_.End(wrapper);
        w_.End(top);
        return out_.size() <= maxBytes_;
    }

    // Appends the element of `object` (header `a`) at the describer's
    // `depth`. False when the element stopped short or could not be written
    // (then nothing of it stays): its siblings are not written either.
    bool Element(hid_t object, const mxArray& a, size_t depth) {
        const size_t start = out_.size();
        if (nodesLeft_ == 0) return false;
        --nodesLeft_;
        const uint8_t cls = ClassCode(a);
        // A struct without its field names would be no element at all: it
        // goes whole, as one whose header does not fit.
        std::vector<std::string> fields;
        const bool hasFields = cls == mxSTRUCT || cls == mxOBJECT;
        if (cls == 0 || (hasFields && !StructFields(object, a, fields)) || !Header(a, cls)) {
            out_.resize(start);
            return false;
        }
        const bool whole = hasFields ? Struct(object, a, fields, depth) : Body(object, a, cls, depth);
        if (out_.size() > maxBytes_) {
            out_.resize(start);   // past the room: it goes whole
            return false;
        }
        w_.End(start);
        return whole;
    }

private:
    // Array flags, dimensions, name (and an object's class name). False
    // when a dimension does not fit the level-5 format.
    bool Header(const mxArray& a, uint8_t cls) {
        w_.Begin(miMATRIX);
        const uint8_t flags = (a.complex ? kFlagComplex : 0) | (a.global ? kFlagGlobal : 0) |
                              (a.logical ? kFlagLogical : 0);
        const auto nzmax = static_cast<uint32_t>(std::min<size_t>(a.nzmax, UINT32_MAX));
        return AppendArrayHead({cls, flags, nzmax, a.dims.data(), a.dims.size(), "", a.className}, false, out_);
    }

    bool Body(hid_t object, const mxArray& a, uint8_t cls, size_t depth) {
        switch (cls) {
            case mxCELL: return Cell(object, a, depth);
            case mxOPAQUE: return Opaque(object);
            case mxSPARSE: return true;   // shown by class and size
            case mxFUNCTION: return Handle(object, a, depth);
            default: return Data(object, a);
        }
    }

    // A function handle: the struct MATLAB keeps its text in (its level-5
    // form holds it the same way); without field names, class and size only.
    bool Handle(hid_t object, const mxArray& a, size_t depth) {
        std::vector<std::string> fields;
        if (!StructFields(object, a, fields)) return true;
        const size_t start = out_.size();
        const size_t inner = w_.Begin(miMATRIX);
        const mwSize dims[2] = {1, 1};
        if (!AppendArrayHead({mxSTRUCT, 0, 0, dims, 2, "", {}}, false, out_)) {
            out_.resize(start);
            return true;
        }
        const bool whole = Struct(object, a, fields, depth);
        w_.End(inner);
        return whole;
    }

    // Numbers and characters: the ones the text shows, or none.
    bool Data(hid_t object, const mxArray& a) {
        const size_t count = mxGetNumberOfElements(&a);
        size_t shown = count <= kShortArray || whole_ ? count : 0;
        if (a.classId == mxCHAR_CLASS && !whole_) {
            const bool row = a.dims.size() == 2 && a.dims[0] <= 1;
            shown = row ? std::min(count, kShortText) : 0;
        }
        const size_t width = ClassElementSize(a.classId);
        size_t bytes = 0;
        if (__builtin_mul_overflow(shown, width, &bytes) || bytes > maxBytes_ - std::min(maxBytes_, out_.size())) {
            return false;   // more than the room: not read
        }
        for (int part = 0; part < (a.complex ? 2 : 1); ++part) {
            std::vector<uint8_t> values(shown * width);
            Id type(PartType(a.classId, a.complex, part), H5Tclose);
            // Values that cannot be read are left out: the text says the data is damaged.
            if (shown > 0 && (!type.ok() || !ReadPoints(object, type.get(), 0, shown, values.data()))) values.clear();
            w_.Element(StoreType(a.classId), values.data(), values.size(), 1);
        }
        return true;
    }

    // An object: its metadata (the uint32 array that names its objects in the
    // subsystem data) as the content of an opaque element.
    bool Opaque(hid_t object) {
        Id space(H5Iget_type(object) == H5I_DATASET ? H5Dget_space(object) : -1, H5Sclose);
        const hssize_t count = space.ok() ? H5Sget_simple_extent_npoints(space.get()) : -1;
        std::vector<uint32_t> words(count > 0 && count <= kMaxObjectMetadata ? static_cast<size_t>(count) : 0);
        if (!words.empty() && !ReadPoints(object, H5T_NATIVE_UINT32, 0, words.size(), words.data())) words.clear();
        const size_t at = w_.Begin(miMATRIX);
        const mwSize dims[2] = {words.size(), 1};
        if (!AppendArrayHead({mxUINT32, 0, 0, dims, 2, "", {}}, false, out_)) return false;
        w_.Element(miUINT32, words.data(), words.size() * sizeof(uint32_t), 1);
        w_.End(at);
        return true;
    }

    // The element the describer nests at `depth` when its parent is at depth.
    bool Child(hid_t child, size_t depth) {
        if (child < 0) return false;
        Id owned(child, H5Oclose);
        mxArray header;
        return ObjectHeader(child, header) && Element(child, header, depth);
    }

    bool Cell(hid_t object, const mxArray& a, size_t depth) {
        if (depth >= kMaxShownNesting) return true;
        const uint64_t count = mxGetNumberOfElements(&a);
        const uint64_t shown = whole_ ? count : std::min<uint64_t>(count, kShownChildren);
        for (uint64_t k = 0; k < shown; ++k) {
            if (!Child(Referenced(object, k), depth + 1)) return false;
        }
        return true;
    }

    // A struct's field names, when it has them and they fit.
    bool StructFields(hid_t object, const mxArray& a, std::vector<std::string>& fields) const {
        if (!FieldNames(object, fields) && mxGetNumberOfElements(&a) > 0) return false;
        size_t longest = 0;
        for (const std::string& f : fields) longest = std::max(longest, f.size());
        return fields.size() * (longest + 1) <= maxBytes_;
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
        w_.Element(miINT32, &length, sizeof length, 1);
        w_.Element(miINT8, names.data(), names.size(), 1);
        if (depth >= kMaxShownNesting || fields.empty()) return true;
        const size_t inner = count > 1 ? depth + 2 : depth + 1;
        for (uint64_t k = 0; k < (whole_ ? count : std::min<uint64_t>(count, kShownChildren)); ++k) {
            for (const std::string& field : fields) {
                if (H5Lexists(object, field.c_str(), InsideLinks()) <= 0) return false;
                Id value(OpenLinked(object, field.c_str()), H5Oclose);
                if (!value.ok()) return false;
                // A field without a class of its own holds the elements' references.
                const bool perElement = IsReferenceDataset(value.get()) && AttributeExists(value.get(), "MATLAB_class") == 0;
                if (!perElement && count != 1) return false;
                if (!Child(perElement ? Referenced(value.get(), k) : OpenLinked(object, field.c_str()), inner)) {
                    return false;
                }
            }
        }
        return true;
    }

    uint64_t nodesLeft_;
    size_t maxBytes_;
    bool whole_;
    std::vector<uint8_t>& out_;
    ElementWriter w_{&out_, false};   // this machine's byte order
};

}  // namespace

bool WriteContents(hid_t object, const mxArray& array, uint64_t nodes, std::vector<uint8_t>& out) {
    out.clear();
    ImageWriter writer(nodes, kMaxShownElementBytes, false, out);
    writer.Element(object, array, 0);
    return !out.empty();
}

bool WriteSubsystem(hid_t file, std::vector<uint8_t>& out) {
    out.clear();
    if (H5Lexists(file, "#subsystem#", InsideLinks()) <= 0 || H5Lexists(file, kSubsystemData, InsideLinks()) <= 0) {
        return false;
    }
    Id mcos(OpenLinked(file, kSubsystemData), H5Oclose);
    // Each array takes at least a tag: the bytes bound the arrays.
    ImageWriter writer(kMaxDecodedSubsystemBytes / kTagSize, kMaxDecodedSubsystemBytes, true, out);
    return mcos.ok() && IsReferenceDataset(mcos.get()) && writer.Subsystem(mcos.get());
}

}  // namespace matlib::hdf5

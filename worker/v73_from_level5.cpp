// The worker that writes a new version 7.3 file: variables copied from other
// version 7.3 files (CopyInto) and level-5 array elements written as MATLAB
// writes them into a version 7.3 file. The element arrives on the channel in
// pieces and is read forward once; its numbers are converted and written a
// few megabytes at a time, whatever the variable's size.
//
// MATLAB's layout: a numeric array is a dataset of its class's type with the
// dimensions reversed (HDF5 keeps C order), complex data a compound of
// "real" and "imag"; char is uint16 and logical uint8, each with
// MATLAB_int_decode; an empty array is a uint64 dataset of its dimensions
// with MATLAB_empty = 1; a sparse array a group (MATLAB_sparse = its rows)
// with the datasets data, ir and jc; a cell a dataset of references to
// arrays in #refs#; a 1-by-1 struct a group of its fields, a struct array a
// group of one dataset of references per field; MATLAB_fields names the
// fields, MATLAB_class every array's class, MATLAB_global a global variable.
// An object (MCOS) is the uint32 dataset of the words that name it in the
// subsystem data, of its class and MATLAB_object_decode 3; a function
// handle the group of its struct's fields (decode 1); an old-style class()
// object a struct's group of its class (decode 2). The subsystem data's
// cell goes into #refs#, #subsystem#/MCOS referring to its elements.
#include <hdf5.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "codec/convert.h"
#include "codec/mat_format.h"
#include "codec/readers.h"
#include "codec/source_io.h"
#include "v73client/v73_protocol.h"
#include "os/file_io.h"
#include "worker/v73_hdf5.h"
#include "worker/v73_hdf5_write.h"
#include "worker/v73_objects.h"

namespace matlib::v73 {

namespace {

using namespace format;
using hdf5::Id;

// Deeper nesting than this is no array MATLAB saves.
constexpr int kMaxDepth = 64;
// Converted values held before they are written, and the read-ahead of the channel.
constexpr size_t kValueBuffer = size_t{4} << 20;
constexpr size_t kReadAhead = 64 * 1024;

// The bytes of one element as they arrive, counted from its tag: the
// codec's parser reads them forward only (a read before what was read fails).
class Incoming final : public ElementInput {
public:
    Incoming(platform::WorkerEnd& end, uint64_t length) : end_(end), length_(length), left_(length), buffer_(kReadAhead) {}
    uint64_t length() const { return length_; }

    bool Read(uint64_t pos, void* out, size_t n) override {
        if (pos < position_) return false;
        auto* bytes = static_cast<uint8_t*>(out);
        uint64_t skip = pos - position_;
        while (skip > 0 || n > 0) {
            if (at_ == have_ && !Fill()) return false;
            const size_t ready = have_ - at_;
            const size_t step = skip > 0 ? static_cast<size_t>(std::min<uint64_t>(skip, ready)) : std::min(n, ready);
            if (skip > 0) {
                skip -= step;
            } else {
                std::memcpy(bytes, buffer_.data() + at_, step);
                bytes += step;
                n -= step;
            }
            at_ += step;
            position_ += step;
        }
        return true;
    }
    // Whatever of the element is still on its way, so that the next request
    // is read where it starts; false when the channel failed.
    bool Drain() {
        at_ = have_;
        while (left_ > 0) {
            const size_t step = static_cast<size_t>(std::min<uint64_t>(left_, kReadAhead));
            if (!end_.Receive(buffer_.data(), step)) return broken_ = true, false;
            left_ -= step;
        }
        return !broken_;
    }

private:
    bool Fill() {
        if (left_ == 0 || broken_) return false;
        const size_t step = static_cast<size_t>(std::min<uint64_t>(left_, kReadAhead));
        if (!end_.Receive(buffer_.data(), step)) return broken_ = true, false;
        left_ -= step;
        at_ = 0;
        have_ = step;
        return true;
    }

    platform::WorkerEnd& end_;
    const uint64_t length_;
    uint64_t left_;
    std::vector<uint8_t> buffer_;
    size_t at_ = 0, have_ = 0;
    uint64_t position_ = 0;
    bool broken_ = false;
};

bool Damaged() {
    hdf5::SetRefusal(kElementDamaged);
    return false;
}

// A subelement's data whole (small ones only: dimensions, names), at most `most` bytes.
bool ReadWhole(Incoming& in, const SubElement& sub, size_t most, std::vector<uint8_t>& out) {
    if (sub.bytes > most) return Damaged();
    out.resize(sub.bytes);
    return ReadSubElementData(in, sub, out.data(), out.size()) || Damaged();
}

// A check of converted values before they are written (sparse indexes).
using Check = std::function<bool(const uint8_t* values, size_t count)>;

// What the element writer keeps for one file.
struct Output {
    hid_t file = -1;
    hid_t refs = -1;   // #refs#, opened when first needed
    uint64_t refNumber = 0;
    std::string canonical;   // the canonical empty element's name in #refs#, once made
    // The element or subsystem data being written holds objects: written as
    // MATLAB writes such (H5PATH, [] as the canonical empty, a struct of one
    // field without MATLAB_fields, a 1-by-1 struct without fields as [1 1]).
    bool objects = false;
    std::vector<uint8_t> values, stored;
    bool swapped = false;
    std::vector<hdf5::OwnLink> links;   // the rewritten file's own links, made by kFinish

    ~Output() {
        if (refs >= 0) H5Gclose(refs);
    }

    // Converts `count` stored values of one subelement (type `type`) into
    // the class `id` and writes them as elements [0, count) of one part of
    // the dataset; the subelement's further values are skipped.
    bool Stream(Incoming& in, const SubElement& sub, mxClassID id, hid_t dataset, hid_t memoryType, const Layout& layout,
                uint64_t count, const Check& check) {
        const size_t storedWidth = DataTypeSize(sub.type);
        const mxClassID as = id == mxCHAR_CLASS ? mxUINT16_CLASS : id;
        const size_t width = ClassElementSize(as);
        if (storedWidth == 0 || width == 0 || sub.bytes % storedWidth != 0 || sub.bytes / storedWidth < count) {
            return Damaged();
        }
        const bool direct = !swapped && storedWidth == width && sub.type == StoreType(as);
        const size_t capacity = kValueBuffer / width;
        values.resize(capacity * width);
        if (!direct) stored.resize(std::min<size_t>(capacity, kValueBuffer / storedWidth) * storedWidth);
        uint64_t written = 0, done = 0;   // elements written, elements in hand from `written` on: done - written
        const uint8_t* smallAt = sub.smallData;
        uint64_t from = sub.dataPos;
        while (done < count) {
            const size_t held = static_cast<size_t>(done - written);
            const size_t step = static_cast<size_t>(std::min<uint64_t>(count - done, capacity - held));
            uint8_t* to = values.data() + held * width;
            if (direct && !sub.small) {
                if (!in.Read(from, to, step * width)) return Damaged();
                from += step * width;
            } else {
                const size_t take = std::min(step, stored.empty() ? step : stored.size() / storedWidth);
                const uint8_t* source = smallAt;
                if (!sub.small) {
                    if (!in.Read(from, stored.data(), take * storedWidth)) return Damaged();
                    from += take * storedWidth;
                    source = stored.data();
                }
                for (size_t i = 0; i < take; ++i) StoreAsClass(to + i * width, as, source + i * storedWidth, sub.type, swapped);
                if (sub.small) smallAt += take * storedWidth;
                if (take < step) {
                    done += take;
                    continue;
                }
            }
            done += step;
            const size_t inHand = static_cast<size_t>(done - written);
            if (done < count && inHand < capacity) continue;
            uint64_t upTo = done == count ? done : layout.Boundary(done);
            if (upTo <= written) upTo = done;
            const size_t writing = static_cast<size_t>(upTo - written);
            if ((check && !check(values.data(), writing)) ||
                !hdf5::WritePoints(dataset, memoryType, written, writing, values.data())) {
                return false;
            }
            std::memmove(values.data(), values.data() + writing * width, (inHand - writing) * width);
            written = upTo;
        }
        if (written < done) {
            const size_t writing = static_cast<size_t>(done - written);
            if ((check && !check(values.data(), writing)) ||
                !hdf5::WritePoints(dataset, memoryType, written, writing, values.data())) {
                return false;
            }
        }
        return true;
    }

    hid_t References() {
        if (refs < 0) refs = hdf5::OpenOrMakeReferences(file);
        return refs;
    }

    // #refs#' canonical empty element (made once, "a" where free): what
    // MATLAB's empty element in the subsystem data's cell refers to.
    bool CanonicalEmpty(hobj_ref_t& reference) {
        const hid_t group = References();
        if (group < 0) return false;
        if (canonical.empty()) {
            const htri_t taken = H5Lexists(group, "a", H5P_DEFAULT);
            if (taken < 0) return false;
            const std::string name = taken == 0 ? "a" : NextReference();
            const hsize_t two = 2;
            const uint64_t dims[2] = {0, 0};
            Id space(H5Screate_simple(1, &two, nullptr), H5Sclose);
            Id dataset(space.ok() ? H5Dcreate2(group, name.c_str(), H5T_STD_U64LE, space.get(), H5P_DEFAULT,
                                               H5P_DEFAULT, H5P_DEFAULT)
                                  : -1,
                       H5Dclose);
            // MATLAB puts MATLAB_empty before MATLAB_class here.
            if (!dataset.ok() || H5Dwrite(dataset.get(), H5T_NATIVE_UINT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, dims) < 0 ||
                !IntegerAttribute(dataset.get(), "MATLAB_empty", H5T_STD_U8LE, 1) ||
                !StringAttribute(dataset.get(), "MATLAB_class", "canonical empty")) {
                return false;
            }
            canonical = name;
        }
        return H5Rcreate(&reference, group, canonical.c_str(), H5R_OBJECT, -1) >= 0;
    }

    // A name in #refs# not yet taken, in MATLAB's style (a, b, ..., z, ba,
    // ...; where objects are written, a ... z, A ... Z as MATLAB names them,
    // then ba ...).
    std::string NextReference() {
        static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
        const uint64_t base = objects ? 52 : 26;
        for (;;) {
            std::string name;
            uint64_t n = refNumber++;
            do {
                name.insert(name.begin(), kLetters[n % base]);
                n /= base;
            } while (n > 0);
            if (H5Lexists(refs, name.c_str(), H5P_DEFAULT) == 0) return name;
        }
    }
};

bool SoundName(const std::string& name) {
    return !name.empty() && name != "." && name.find('/') == std::string::npos && name[0] != '#' &&
           name.find('\0') == std::string::npos;
}

// An object's class name: one that no reader takes for an array of MATLAB's
// own classes (a file naming its object "double" is damaged).
bool ObjectClassName(const std::string& name) {
    if (name.empty() || name.find('\0') != std::string::npos || name == "canonical empty") return false;
    for (int id = mxCELL_CLASS; id <= mxFUNCTION_CLASS; ++id) {
        if (name == OwnClassName(static_cast<mxClassID>(id))) return false;
    }
    return true;
}

// An empty array: its dimensions, MATLAB's order, as a uint64 dataset (an
// empty char or logical array without MATLAB_int_decode, as MATLAB writes it).
bool WriteEmpty(hid_t parent, const std::string& name, mxClassID, const std::string& className,
                const std::vector<uint64_t>& dims, const std::vector<std::string>* fields, int64_t sparseRows) {
    Layout layout;
    Id type(H5Tcopy(H5T_STD_U64LE), H5Tclose);
    Id dataset(type.ok() ? CreateDataset(parent, name, type.get(), {dims.size()}, false, layout) : -1, H5Dclose);
    return dataset.ok() &&
           H5Dwrite(dataset.get(), H5T_NATIVE_UINT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, dims.data()) >= 0 &&
           StringAttribute(dataset.get(), "MATLAB_class", className) &&
           IntegerAttribute(dataset.get(), "MATLAB_empty", H5T_STD_U8LE, 1) &&
           (fields == nullptr || FieldsAttribute(dataset.get(), *fields)) &&
           (sparseRows < 0 || IntegerAttribute(dataset.get(), "MATLAB_sparse", H5T_STD_U64LE,
                                               static_cast<uint64_t>(sparseRows)));
}

// An array's dimensions in C order, as HDF5 keeps them.
std::vector<hsize_t> CDims(const ArrayHeader& header) { return {header.dims.rbegin(), header.dims.rend()}; }

class Hdf5ArrayWriter {
public:
    Hdf5ArrayWriter(Output& out, Incoming& in) : out_(out), in_(in) {}

    // The variable `name`: the array element that the incoming bytes hold.
    bool Variable(hid_t root, const std::string& name) {
        SubElement tag;
        if (!ReadSubElement(in_, 0, in_.length(), out_.swapped, tag) || tag.small || tag.type != miMATRIX) return Damaged();
        at_ = tag.dataPos;
        return Array(tag.dataPos + tag.bytes, root, name, 0, true, {});
    }

private:
    // The array whose content (after its tag) runs from at_ to `end`, as
    // `name` in `parent`; h5path: its H5PATH, where objects are written as
    // MATLAB writes them (out_.objects).
    bool Array(uint64_t end, hid_t parent, const std::string& name, int depth, bool top, const std::string& h5path) {
        if (depth > kMaxDepth) return Damaged();
        // An element without content: MATLAB's [] inside a cell or struct.
        if (at_ == end) {
            return WriteEmpty(parent, name, mxDOUBLE_CLASS, "double", {0, 0}, nullptr, -1) && Located(parent, name, h5path);
        }
        ArrayHeader header;
        if (!ReadArrayHeader(in_, out_.swapped, at_, end, header)) return Damaged();
        at_ = header.dataPos;
        const bool object = header.code == mxOBJECT || header.code == mxFUNCTION || header.code == mxOPAQUE;
        if (!object && header.dims.size() < 2) return Damaged();
        // The H5PATH of its members: MATLAB's path of the group, its own
        // name put after its H5PATH without a separator.
        const std::string members = top ? "/" + name : h5path + name;
        bool written = false;
        switch (header.code) {
            case mxCELL: written = Cell(end, parent, name, header, depth); break;
            case mxSTRUCT: written = Struct(end, parent, name, header, depth, members); break;
            case mxSPARSE: written = Sparse(end, parent, name, header); break;
            case mxOPAQUE: written = Opaque(end, parent, name, header); break;
            case mxFUNCTION: written = Function(end, parent, name, depth, members); break;
            case mxOBJECT:
                if (!ObjectClassName(header.className)) return Damaged();
                written = Struct(end, parent, name, header, depth, members, header.className, 2);
                break;
            default:
                if (header.code == mxCHAR || (header.code >= mxDOUBLE && header.code <= mxUINT64)) {
                    written = Numeric(end, parent, name, header);
                } else {
                    return Damaged();
                }
        }
        if (!written || !Located(parent, name, h5path)) return false;
        if (top && header.global) {
            Id object(H5Oopen(parent, name.c_str(), H5P_DEFAULT), H5Oclose);
            if (!object.ok() || !IntegerAttribute(object.get(), "MATLAB_global", H5T_STD_U8LE, 1)) return false;
        }
        at_ = end;
        return true;
    }

    // The next subelement, up to `end`; at_ moves past it.
    bool Next(uint64_t end, SubElement& sub) {
        if (!ReadSubElement(in_, at_, end, out_.swapped, sub)) return Damaged();
        at_ = sub.next;
        return true;
    }

    // objectClass: the words of an object of that class (MATLAB_object_decode 3).
    bool Numeric(uint64_t end, hid_t parent, const std::string& name, const ArrayHeader& header,
                 const std::string& objectClass = {}) {
        const mxClassID id = header.code == mxCHAR ? mxCHAR_CLASS
                             : header.logical        ? mxLOGICAL_CLASS
                                                     : static_cast<mxClassID>(header.code);
        const bool complex = header.complex && id != mxCHAR_CLASS && id != mxLOGICAL_CLASS;
        if (header.count == 0) return WriteEmpty(parent, name, id, OwnClassName(id), header.dims, nullptr, -1);
        Id type(FileType(id, complex), H5Tclose);
        Layout layout;
        Id dataset(type.ok() ? CreateDataset(parent, name, type.get(), CDims(header), false, layout) : -1, H5Dclose);
        if (!dataset.ok()) return false;
        const bool classed = objectClass.empty()
                                 ? ClassAttributes(dataset.get(), id, OwnClassName(id))
                                 : StringAttribute(dataset.get(), "MATLAB_class", objectClass) &&
                                       IntegerAttribute(dataset.get(), "MATLAB_object_decode", H5T_STD_I32LE, 3);
        if (!classed) return false;
        for (int part = 0; part < (complex ? 2 : 1); ++part) {
            SubElement sub;
            if (!Next(end, sub)) return false;
            Id memory(hdf5::PartType(id, complex, part), H5Tclose);
            if (!memory.ok()) return false;
            if (id == mxCHAR_CLASS && (sub.type == miUTF8 || sub.type == miUTF32)) {
                if (!Text(sub, dataset.get(), header.count)) return false;
                continue;
            }
            if (!out_.Stream(in_, sub, id, dataset.get(), memory.get(), layout, header.count, nullptr)) return false;
            if (sub.bytes / DataTypeSize(sub.type) != header.count) return Damaged();
        }
        return true;
    }

    // Characters stored as UTF-8 or UTF-32: MATLAB's UTF-16 units, one per element.
    bool Text(const SubElement& sub, hid_t dataset, uint64_t count) {
        std::vector<uint8_t> bytes;
        if (!ReadWhole(in_, sub, 1u << 30, bytes)) return false;
        std::vector<uint16_t> units;
        for (size_t i = 0; i < bytes.size();) {
            uint32_t c = 0;
            if (sub.type == miUTF32) {
                if (bytes.size() - i < 4) return Damaged();
                c = Load32(bytes.data() + i, out_.swapped);
                i += 4;
            } else {
                const uint8_t b = bytes[i];
                const size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
                if (n == 0 || bytes.size() - i < n) return Damaged();
                c = n == 1 ? b : b & (0x7f >> n);
                for (size_t k = 1; k < n; ++k) c = c << 6 | (bytes[i + k] & 0x3f);
                i += n;
            }
            if (c >= 0x10000 && c <= 0x10ffff) {
                units.push_back(static_cast<uint16_t>(0xd800 + ((c - 0x10000) >> 10)));
                units.push_back(static_cast<uint16_t>(0xdc00 + ((c - 0x10000) & 0x3ff)));
            } else {
                units.push_back(static_cast<uint16_t>(c > 0xffff ? 0xfffd : c));
            }
        }
        if (units.size() != count) return Damaged();
        return hdf5::WritePoints(dataset, H5T_NATIVE_UINT16, 0, units.size(), units.data());
    }

    bool Sparse(uint64_t end, hid_t parent, const std::string& name, const ArrayHeader& header) {
        const bool logical = header.logical;
        const bool complex = header.complex && !logical;
        const mxClassID id = logical ? mxLOGICAL_CLASS : mxDOUBLE_CLASS;
        if (header.dims.size() != 2) return Damaged();
        const uint64_t rows = header.dims[0], columns = header.dims[1];
        // Empty or not, a group: its column starts (all 0 when nothing is stored).
        Id group(hdf5::CreateUntimedGroup(parent, name.c_str()), H5Gclose);
        if (!group.ok() || !ClassAttributes(group.get(), id, OwnClassName(id)) ||
            !IntegerAttribute(group.get(), "MATLAB_sparse", H5T_STD_U64LE, rows)) {
            return false;
        }
        SubElement ir, jc;
        if (!Next(end, ir) || DataTypeSize(ir.type) == 0) return Damaged();
        const uint64_t stored = ir.bytes / DataTypeSize(ir.type);
        Id index(H5Tcopy(H5T_STD_U64LE), H5Tclose);
        Layout irLayout, jcLayout;
        Id irSet(stored > 0 ? CreateDataset(group.get(), "ir", index.get(), {stored}, true, irLayout) : -1, H5Dclose);
        // Rows beyond the array count only where the column starts use them
        // (MATLAB stores a row index even for an array without entries).
        uint64_t seen = 0, firstOutside = UINT64_MAX;
        const Check rowsInside = [&](const uint8_t* values, size_t n) {
            for (size_t i = 0; i < n; ++i, ++seen) {
                uint64_t v;
                std::memcpy(&v, values + i * 8, 8);
                if (v >= rows && firstOutside == UINT64_MAX) firstOutside = seen;
            }
            return true;
        };
        if (stored > 0 && (!irSet.ok() || !out_.Stream(in_, ir, mxUINT64_CLASS, irSet.get(), H5T_NATIVE_UINT64,
                                                       irLayout, stored, rowsInside))) {
            return false;
        }
        if (!Next(end, jc) || DataTypeSize(jc.type) == 0 ||
            jc.bytes / DataTypeSize(jc.type) != columns + 1) {
            return Damaged();
        }
        uint64_t last = 0;
        bool firstStart = true;
        const Check rising = [&](const uint8_t* values, size_t n) {
            for (size_t i = 0; i < n; ++i) {
                uint64_t v;
                std::memcpy(&v, values + i * 8, 8);
                if ((firstStart && v != 0) || v < last || v > stored) return Damaged();
                firstStart = false;
                last = v;
            }
            return true;
        };
        Id jcSet(CreateDataset(group.get(), "jc", index.get(), {columns + 1}, false, jcLayout), H5Dclose);
        if (!jcSet.ok() ||
            !out_.Stream(in_, jc, mxUINT64_CLASS, jcSet.get(), H5T_NATIVE_UINT64, jcLayout, columns + 1, rising)) {
            return false;
        }
        const uint64_t nonzeros = last;
        if (firstOutside < nonzeros) return Damaged();
        // Only the stored values the column starts use.
        if (nonzeros < stored) {
            const hsize_t size = nonzeros;
            if (nonzeros == 0 ? H5Ldelete(group.get(), "ir", H5P_DEFAULT) < 0 : H5Dset_extent(irSet.get(), &size) < 0) {
                return false;
            }
        }
        if (nonzeros == 0) return true;
        Id type(FileType(id, complex), H5Tclose);
        Layout layout;
        Id data(type.ok() ? CreateDataset(group.get(), "data", type.get(), {nonzeros}, false, layout) : -1, H5Dclose);
        if (!data.ok()) return false;
        for (int part = 0; part < (complex ? 2 : 1); ++part) {
            SubElement sub;
            Id memory(hdf5::PartType(id, complex, part), H5Tclose);
            if (!Next(end, sub) || !memory.ok()) return false;
            // MATLAB tags a sparse logical array's values miDOUBLE but
            // stores one byte per value.
            if (logical && sub.type == miDOUBLE && sub.bytes == nonzeros) sub.type = miUINT8;
            if (!out_.Stream(in_, sub, id, data.get(), memory.get(), layout, nonzeros, nullptr)) {
                return false;
            }
        }
        return true;
    }

    // MATLAB's H5PATH on an array inside a variable that holds objects.
    bool Located(hid_t parent, const std::string& name, const std::string& h5path) {
        if (!out_.objects || h5path.empty()) return true;
        Id object(H5Oopen(parent, name.c_str(), H5P_DEFAULT), H5Oclose);
        return object.ok() && StringAttribute(object.get(), "H5PATH", h5path);
    }

    // The next array inside a cell or struct: its tag, then the array as `name` in `parent`.
    bool Child(uint64_t end, hid_t parent, const std::string& name, int depth, const std::string& h5path) {
        SubElement tag;
        if (!ReadSubElement(in_, at_, end, out_.swapped, tag)) return Damaged();
        return ChildOfTag(tag, parent, name, depth, h5path);
    }
    // ... its tag read already (the bytes are read forward once).
    bool ChildOfTag(const SubElement& tag, hid_t parent, const std::string& name, int depth, const std::string& h5path) {
        if (tag.small || tag.type != miMATRIX) return Damaged();
        at_ = tag.dataPos;
        if (!Array(tag.dataPos + tag.bytes, parent, name, depth + 1, false, h5path)) return false;
        at_ = tag.next;
        return true;
    }

    // An array inside a cell or struct array: in #refs#, referred to. Where
    // objects are written as MATLAB writes them, MATLAB's empty element (a
    // bare tag) refers to #refs#' canonical empty.
    bool Referred(uint64_t end, int depth, hobj_ref_t& reference) {
        SubElement tag;
        if (!ReadSubElement(in_, at_, end, out_.swapped, tag)) return Damaged();
        if (out_.objects && !tag.small && tag.type == miMATRIX && tag.bytes == 0) {
            at_ = tag.next;
            return out_.CanonicalEmpty(reference);
        }
        const hid_t refs = out_.References();
        if (refs < 0) return false;
        const std::string name = out_.NextReference();
        return ChildOfTag(tag, refs, name, depth, "/#refs#/" + name) &&
               H5Rcreate(&reference, refs, name.c_str(), H5R_OBJECT, -1) >= 0;
    }

    bool ReferenceDataset(hid_t parent, const std::string& name, const ArrayHeader& header,
                          const std::vector<hobj_ref_t>& references, const char* className) {
        Layout layout;
        Id type(H5Tcopy(H5T_STD_REF_OBJ), H5Tclose);
        Id dataset(type.ok() ? CreateDataset(parent, name, type.get(), CDims(header), false, layout) : -1, H5Dclose);
        return dataset.ok() &&
               H5Dwrite(dataset.get(), H5T_STD_REF_OBJ, H5S_ALL, H5S_ALL, H5P_DEFAULT, references.data()) >= 0 &&
               (className == nullptr || StringAttribute(dataset.get(), "MATLAB_class", className));
    }

    bool Cell(uint64_t end, hid_t parent, const std::string& name, const ArrayHeader& header, int depth) {
        if (header.count == 0) return WriteEmpty(parent, name, mxCELL_CLASS, "cell", header.dims, nullptr, -1);
        // Each element takes a tag at least.
        if (header.count > (end - at_) / 8) return Damaged();
        std::vector<hobj_ref_t> references(static_cast<size_t>(header.count));
        for (hobj_ref_t& reference : references) {
            if (!Referred(end, depth, reference)) return false;
        }
        return ReferenceDataset(parent, name, header, references, "cell");
    }

    // className and decode: an old-style object's class (decode 2) or a
    // function handle's struct (decode 1); a plain struct has no decode.
    bool Struct(uint64_t end, hid_t parent, const std::string& name, const ArrayHeader& header, int depth,
                const std::string& members, const std::string& className = "struct", int decode = 0) {
        SubElement sub;
        std::vector<uint8_t> bytes;
        if (!Next(end, sub) || (sub.type != miINT32 && sub.type != miUINT32) || sub.bytes != 4 ||
            !ReadWhole(in_, sub, 4, bytes)) {
            return Damaged();
        }
        const uint32_t width = Load32(bytes.data(), out_.swapped);
        if (!Next(end, sub) || (sub.type != miINT8 && sub.type != miUINT8 && sub.type != miUTF8) ||
            (width == 0 ? sub.bytes != 0 : sub.bytes % width != 0) || width > kMaxNameLength + 1 ||
            !ReadWhole(in_, sub, 64u << 20, bytes)) {
            return Damaged();
        }
        std::vector<std::string> fields;
        for (size_t at = 0; width > 0 && at < bytes.size(); at += width) {
            const auto* text = reinterpret_cast<const char*>(bytes.data() + at);
            fields.emplace_back(text, strnlen(text, width));
            if (!SoundName(fields.back())) {
                hdf5::SetRefusal(kBadName);
                return false;
            }
            if (std::count(fields.begin(), fields.end(), fields.back()) > 1) {
                hdf5::SetRefusal(kNameTaken);
                return false;
            }
        }
        // MATLAB keeps a 1-by-1 struct without fields as an empty array [1 1].
        if (fields.empty() && (header.count != 1 || (out_.objects && className == "struct"))) {
            return WriteEmpty(parent, name, mxSTRUCT_CLASS, className, header.dims, nullptr, -1);
        }
        if (header.count == 0) return WriteEmpty(parent, name, mxSTRUCT_CLASS, className, header.dims, &fields, -1);
        Id group(hdf5::CreateUntimedGroup(parent, name.c_str()), H5Gclose);
        // MATLAB names the fields of a 1-by-1 struct; a struct array's are its datasets.
        if (!group.ok() || !StringAttribute(group.get(), "MATLAB_class", className) ||
            (decode != 0 && !IntegerAttribute(group.get(), "MATLAB_object_decode", H5T_STD_I32LE, decode)) ||
            (fields.size() > (out_.objects ? 1u : 0u) && header.count == 1 && !FieldsAttribute(group.get(), fields))) {
            return false;
        }
        if (header.count == 1) {
            for (const std::string& field : fields) {
                if (!Child(end, group.get(), field, depth, members)) return false;
            }
            return true;
        }
        uint64_t references = 0;
        if (__builtin_mul_overflow(header.count, uint64_t{fields.size()}, &references) ||
            references > (end - at_) / 8) {
            return Damaged();
        }
        std::vector<std::vector<hobj_ref_t>> values(fields.size(), std::vector<hobj_ref_t>(header.count));
        for (uint64_t e = 0; e < header.count; ++e) {
            for (size_t f = 0; f < fields.size(); ++f) {
                if (!Referred(end, depth, values[f][e])) return false;
            }
        }
        for (size_t f = 0; f < fields.size(); ++f) {
            if (!ReferenceDataset(group.get(), fields[f], header, values[f], nullptr)) return false;
        }
        return true;
    }

    // The array element whose tag starts at `pos` (inside `end`): its
    // header read, at_ at its content, `inner` where it ends.
    bool Enter(uint64_t pos, uint64_t end, ArrayHeader& header, uint64_t& inner) {
        SubElement tag;
        if (!ReadSubElement(in_, pos, end, out_.swapped, tag) || tag.small || tag.type != miMATRIX) return Damaged();
        inner = tag.dataPos + tag.bytes;
        if (!ReadArrayHeader(in_, out_.swapped, tag.dataPos, inner, header)) return Damaged();
        at_ = header.dataPos;
        return true;
    }

    // An object of MATLAB's own class system (MCOS): the uint32 words that
    // name it in the subsystem data. Another system's (Java) has no such form.
    bool Opaque(uint64_t end, hid_t parent, const std::string& name, const ArrayHeader& header) {
        if (header.typeSystem != "MCOS") {
            hdf5::SetRefusal(kHoldsObject);
            return false;
        }
        if (!ObjectClassName(header.className) || header.className == "FileWrapper__") return Damaged();
        ArrayHeader words;
        uint64_t inner = 0;
        if (!Enter(at_, end, words, inner)) return false;
        if (words.code != mxUINT32 || words.complex || words.count == 0 || words.dims.size() != 2) return Damaged();
        return Numeric(inner, parent, name, words, header.className);
    }

    // A function handle: its 1-by-1 struct (matlabroot, separator,
    // sentinel, function_handle) as a group of class function_handle.
    bool Function(uint64_t end, hid_t parent, const std::string& name, int depth, const std::string& members) {
        ArrayHeader inner;
        uint64_t innerEnd = 0;
        if (!Enter(at_, end, inner, innerEnd)) return false;
        if (inner.code != mxSTRUCT || inner.count != 1) return Damaged();
        return Struct(innerEnd, parent, name, inner, depth + 1, members, "function_handle", 1);
    }

public:
    // A level-5 file's subsystem data (its unnamed uint8 variable's bytes:
    // 8 bytes of preamble, then a 1-by-1 struct whose field MCOS is an
    // opaque FileWrapper__ holding a cell): the cell's elements into #refs#
    // in order, element 1 (MATLAB's empty element) as #refs#' canonical
    // empty, and #subsystem#/MCOS referring to them. What follows the
    // struct (an 88-byte element MATLAB adds) has no version 7.3 form.
    bool Subsystem(hid_t root) {
        constexpr uint64_t kPreamble = 8;
        const uint64_t end = in_.length();
        ArrayHeader top, wrapper, cell;
        uint64_t topEnd = 0, wrapperEnd = 0, cellEnd = 0;
        SubElement sub;
        std::vector<uint8_t> bytes;
        if (end < kPreamble || !Enter(kPreamble, end, top, topEnd)) return false;
        if (top.code != mxSTRUCT || top.count != 1 || !Next(topEnd, sub) || sub.bytes != 4 ||
            !ReadWhole(in_, sub, 4, bytes)) {
            return Damaged();
        }
        const uint32_t width = Load32(bytes.data(), out_.swapped);
        if (!Next(topEnd, sub) || sub.bytes != width || !ReadWhole(in_, sub, 64, bytes) ||
            std::string(reinterpret_cast<const char*>(bytes.data()), strnlen(reinterpret_cast<const char*>(bytes.data()), bytes.size())) != "MCOS") {
            return Damaged();
        }
        if (!Enter(at_, topEnd, wrapper, wrapperEnd)) return false;
        if (wrapper.code != mxOPAQUE || wrapper.className != "FileWrapper__" || !Enter(at_, wrapperEnd, cell, cellEnd)) {
            return Damaged();
        }
        // Each element takes a tag at least; element 1 is the empty element.
        if (cell.code != mxCELL || cell.count < 2 || cell.count > (cellEnd - at_) / 8) return Damaged();
        std::vector<hobj_ref_t> references(static_cast<size_t>(cell.count));
        for (size_t k = 0; k < references.size(); ++k) {
            if (k == 1) {
                if (!Next(cellEnd, sub) || sub.small || sub.type != miMATRIX || sub.bytes != 0) return Damaged();
                if (!out_.CanonicalEmpty(references[k])) return false;
            } else if (!Referred(cellEnd, 0, references[k])) {
                return false;
            }
        }
        const htri_t taken = H5Lexists(root, hdf5::kSubsystemGroup, H5P_DEFAULT);
        if (taken != 0) {
            if (taken > 0) hdf5::SetRefusal(kSubsystemTwice);
            return false;
        }
        Id group(hdf5::CreateUntimedGroup(root, hdf5::kSubsystemGroup), H5Gclose);
        if (!group.ok() || !ReferenceDataset(group.get(), "MCOS", cell, references, "FileWrapper__")) return false;
        Id mcos(H5Oopen(group.get(), "MCOS", H5P_DEFAULT), H5Oclose);
        return mcos.ok() && IntegerAttribute(mcos.get(), "MATLAB_object_decode", H5T_STD_I32LE, 3);
    }

private:
    Output& out_;
    Incoming& in_;
    uint64_t at_ = 0;   // where the next subelement starts
};

// The element of variable `name`: its tag, then its array at the top of the file.
bool WriteElement(Output& out, Incoming& in, const std::string& name) {
    if (!SoundName(name)) {
        hdf5::SetRefusal(kBadName);
        return false;
    }
    const htri_t taken = H5Lexists(out.file, name.c_str(), H5P_DEFAULT);
    if (taken != 0) {
        if (taken > 0) hdf5::SetRefusal(kNameTaken);
        return false;
    }
    Id root(H5Gopen2(out.file, "/", H5P_DEFAULT), H5Gclose);
    return root.ok() && Hdf5ArrayWriter(out, in).Variable(root.get(), name);
}

}  // namespace

void ServeWriter(platform::WorkerEnd& end, const Request& create, platform::NativeFile file,
                 const WriterAnswers& answers) {
    (void)create;
    uint8_t userBlock[kV73UserBlockSize];
    answers.startWork(answers.context);
    if (!end.Receive(userBlock, sizeof userBlock)) return;
    Output out;
    try {
        // (Never libhdf5's own driver: it would take the number for a path.)
        const hid_t driver = hdf5::DescriptorDriver();
        out.file = file != platform::kNoFile && driver >= 0 ? hdf5::CreateV73File(std::to_string(file), driver) : -1;
    } catch (const std::bad_alloc&) {
        out.file = -1;
    }
    if (!answers.send(answers.context, out.file >= 0) || out.file < 0) return;
    Request request;
    platform::NativeFile passed = platform::kNoFile;
    while (end.ReceiveRequest(&request, sizeof request, passed)) {
        answers.startWork(answers.context);
        bool ok = false;
        bool inStep = true;
        try {
            switch (request.operation) {
                case kCopyInto: {
                    std::vector<uint64_t> indexes(static_cast<size_t>(std::min<uint64_t>(request.count, kMaxVariables)));
                    inStep = request.count <= kMaxVariables &&
                             end.Receive(indexes.data(), indexes.size() * sizeof(uint64_t));
                    hdf5::FilePtr source;
                    if (inStep && passed != platform::kNoFile && out.file >= 0) {
                        source = hdf5::Open(std::to_string(passed), hdf5::DescriptorDriver());
                    }
                    ok = source && hdf5::CopyInto(*source, out.file, indexes, (request.part & kWithoutSubsystem) == 0) &&
                         ((request.part & kOwnLinks) == 0 || hdf5::ReadOwnLinks(*source, out.links));
                    break;
                }
                case kAddElement: {
                    std::string name(static_cast<size_t>(std::min<uint64_t>(request.first, kMaxNameLength)), '\0');
                    inStep = request.first <= kMaxNameLength && end.Receive(name.data(), name.size());
                    if (!inStep) break;
                    Incoming in(end, request.count);
                    out.swapped = (request.part & kSwapped) != 0;
                    out.objects = (request.part & kHoldsObjects) != 0;
                    ok = out.file >= 0 && WriteElement(out, in, name);
                    inStep = in.Drain();
                    break;
                }
                case kAddSubsystem: {
                    Incoming in(end, request.count);
                    out.swapped = (request.part & kSwapped) != 0;
                    out.objects = true;
                    Id root(out.file >= 0 ? H5Gopen2(out.file, "/", H5P_DEFAULT) : -1, H5Gclose);
                    ok = request.count <= kMaxCarriedSubsystemBytes && root.ok() &&
                         Hdf5ArrayWriter(out, in).Subsystem(root.get());
                    inStep = in.Drain();
                    break;
                }
                case kFinish:
                    if (out.refs >= 0) H5Gclose(out.refs);
                    out.refs = -1;
                    // The rewritten file's own links after the scan: they
                    // are its own, not anything a copied variable brought.
                    ok = out.file >= 0 && hdf5::KeepsInside(out.file) && hdf5::MakeOwnLinks(out.file, out.links);
                    ok = out.file >= 0 && H5Fclose(out.file) >= 0 && ok &&
                         platform::FileSystem().writeNativeAt(file, 0, userBlock, sizeof userBlock) ==
                             static_cast<int64_t>(sizeof userBlock);
                    out.file = -1;
                    break;
                default: inStep = false;
            }
        } catch (const std::bad_alloc&) {
            ok = false;
        }
        platform::CloseNativeFile(passed);
        passed = platform::kNoFile;
        if (!inStep || !answers.send(answers.context, ok)) break;
    }
    if (out.refs >= 0) H5Gclose(out.refs);
    out.refs = -1;
    if (out.file >= 0) H5Fclose(out.file);
}

}  // namespace matlib::v73

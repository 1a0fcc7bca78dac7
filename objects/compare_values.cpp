// Two arrays compared as MATLAB's isequaln compares them (mxCompareValues):
// class, size and values, NaN equal to NaN; struct fields as a set; cells
// element by element; objects by their properties decoded from each file's
// subsystem data; function handles by their text. Both arrays are read as
// the level-5 elements the viewer reads, within its caps, so that a version
// 7 variable and its version 7.3 twin compare alike.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "codec/mat_format.h"
#include "codec/readers.h"
#include "matlib/mat.h"
#include "objects/subsystem.h"
#include "v73client/v73_reader.h"

namespace matlib {
namespace {

using namespace format;

enum Verdict { kSame = 0, kDiffer = 1, kUntold = 2, kBroken = 3 };

// One array's side: its element, and its file's subsystem data once needed.
class Side {
public:
    explicit Side(const mxArray& array) : array_(array) {}

    bool Load(const ArrayView*& top) {
        bool swapped = false;
        if (array_.format->element->kind == ElementSource::kConverted) {
            // Version 7.3: the whole level-5 element its worker makes (the
            // viewer's image leaves out what the text does not show, such as a
            // function handle's text), when it fits the viewer's cap.
            uint64_t size = 0;
            bool objects = false;
            V73Level5Reader reader;
            if (!array_.format->element->plan(array_, false, size, objects) || size > kMaxShownElementBytes ||
                !reader.Start(array_, false) || reader.total() != size) {
                return false;
            }
            element_.resize(static_cast<size_t>(size));
            if (!reader.Read(element_.data(), element_.size())) return false;
        } else if (!array_.format->shownElement(array_, 3 * kMaxShownElementBytes, element_, swapped)) {
            // The room of text the viewer's whole cap can show: the element is
            // then read up to that cap (kMaxShownElementBytes), never further.
            return false;
        }
        bytes_ = Bytes{element_.data(), element_.size(), swapped};
        top = &top_;
        return ParseArrayView(bytes_, 0, top_);
    }
    const Bytes& bytes() const { return bytes_; }
    // Null when the file's subsystem data cannot be had (then damaged).
    const Subsystem* subsystem() {
        if (loaded_) return subsystem_.get();
        loaded_ = true;
        HeldBytes payload;
        const char* reason = nullptr;
        auto decoded = std::make_unique<Subsystem>();
        std::string error;
        if (array_.format->subsystemPayload(array_, kMaxDecodedSubsystemBytes, payload, reason) && decoded->Load(std::move(payload), error)) {
            subsystem_ = std::move(decoded);
        }
        return subsystem_.get();
    }

private:
    const mxArray& array_;
    std::vector<uint8_t> element_;
    Bytes bytes_;
    ArrayView top_;
    bool loaded_ = false;
    std::unique_ptr<Subsystem> subsystem_;
};

// MATLAB's subscript of element k: "(3)" in a vector, "(2,1)" otherwise.
std::string Subscript(const std::vector<uint64_t>& dims, uint64_t k, char open, char close) {
    const bool vector = dims.size() == 2 && (dims[0] == 1 || dims[1] == 1);
    std::string text(1, open);
    if (vector) return text + std::to_string(k + 1) + close;
    for (size_t i = 0; i < dims.size(); ++i) {
        const bool last = i + 1 == dims.size();
        const uint64_t sub = last || dims[i] == 0 ? k : k % dims[i];
        if (!last && dims[i] != 0) k /= dims[i];
        text += (i ? "," : "") + std::to_string(sub + 1);
    }
    return text + close;
}

std::string DimsText(const std::vector<uint64_t>& dims) {
    std::string text;
    for (size_t i = 0; i < dims.size(); ++i) text += (i ? "x" : "") + std::to_string(dims[i]);
    return text.empty() ? "0x0" : text;
}

bool IsNumber(uint8_t cls) { return cls >= mxDOUBLE && cls <= mxUINT64; }

class Comparer {
public:
    Comparer(Side& a, Side& b) : a_(a), b_(b) {}

    std::string where, why;

    Verdict Values(const Bytes& ba, const ArrayView& va, const Bytes& bb, const ArrayView& vb, const std::string& path,
                   size_t depth) {
        if (depth > kMaxShownNesting) return Untold(path, "nested too deep to compare");
        ObjectRef ra, rb;
        // Inside the subsystem data, objects are referred to by their metadata array.
        if (InSubsystem(a_, ba) && InSubsystem(b_, bb) && ParseObjectRef(ba, va, ra) && ParseObjectRef(bb, vb, rb)) {
            return Objects(ra, rb, path, depth);
        }
        const uint8_t ca = va.cls == 0 ? uint8_t{mxDOUBLE} : va.cls, cb = vb.cls == 0 ? uint8_t{mxDOUBLE} : vb.cls;
        if (ca != cb || va.logical != vb.logical || va.className != vb.className) {
            return Differ(path, std::string("class ") + ClassText(va) + " / " + ClassText(vb));
        }
        // A bare tag is MATLAB's 0x0 empty double.
        const std::vector<uint64_t> da = va.cls == 0 ? std::vector<uint64_t>{0, 0} : va.dims;
        const std::vector<uint64_t> db = vb.cls == 0 ? std::vector<uint64_t>{0, 0} : vb.dims;
        if (da != db) return Differ(path, "size " + DimsText(da) + " / " + DimsText(db));
        if (va.cls == 0 || vb.cls == 0 || va.count == 0) return kSame;
        switch (ca) {
            case mxCHAR: return Text(ba, va, bb, vb, path);
            case mxCELL: return Children(ba, va, bb, vb, path, depth);
            case mxSTRUCT: case mxOBJECT: return Children(ba, va, bb, vb, path, depth);
            case mxOPAQUE: return Opaque(ba, va, bb, vb, path, depth);
            case mxFUNCTION: return Function(ba, va, bb, vb, path);
            case mxSPARSE: return Sparse(path);
            default: return IsNumber(ca) ? Numbers(ba, va, bb, vb, path) : Untold(path, "its class is not compared");
        }
    }

private:
    static const char* ClassText(const ArrayView& v) {
        static const char* const kNames[] = {"double", "cell", "struct", "object", "char", "sparse", "double",
                                             "single", "int8", "uint8", "int16", "uint16", "int32", "uint32",
                                             "int64", "uint64", "function_handle", "opaque"};
        if (!v.className.empty()) return v.className.c_str();
        if (v.logical) return "logical";
        return v.cls < sizeof kNames / sizeof kNames[0] ? kNames[v.cls] : "unknown";
    }
    static bool InSubsystem(Side& side, const Bytes& b) {
        const Subsystem* sub = side.subsystem();
        return sub != nullptr && b.data == sub->bytes().data;
    }

    Verdict Differ(const std::string& path, const std::string& reason) {
        where = path;
        why = reason;
        return kDiffer;
    }
    Verdict Untold(const std::string& path, const std::string& reason) {
        where = path;
        why = reason;
        return kUntold;
    }
    Verdict Broken(const std::string& path, const std::string& reason) {
        where = path;
        why = reason;
        return kBroken;
    }

    // Numbers compare by value, NaN equal to NaN; a missing imaginary part is 0.
    Verdict Numbers(const Bytes& ba, const ArrayView& va, const Bytes& bb, const ArrayView& vb, const std::string& path) {
        const bool wide = va.cls == mxINT64 || va.cls == mxUINT64;
        for (uint64_t k = 0; k < va.count; ++k) {
            bool same = true;
            if (wide) {
                const size_t sa = DataTypeSize(va.realType), sb = DataTypeSize(vb.realType);
                if (sa == 0 || sb == 0 || k >= va.realBytes / sa || k >= vb.realBytes / sb) {
                    return Untold(path, "its values are not all held");
                }
                same = LoadInt64(ba.data + va.realPos + k * sa, va.realType, ba.swapped) ==
                       LoadInt64(bb.data + vb.realPos + k * sb, vb.realType, bb.swapped);
            } else {
                double ra = 0, rb = 0;
                if (!ViewNumber(ba, va, false, k, ra) || !ViewNumber(bb, vb, false, k, rb)) {
                    return Untold(path, "its values are not all held");
                }
                same = ra == rb || (std::isnan(ra) && std::isnan(rb));
            }
            double ia = 0, ib = 0;
            if (va.complex && !ViewNumber(ba, va, true, k, ia)) return Untold(path, "its values are not all held");
            if (vb.complex && !ViewNumber(bb, vb, true, k, ib)) return Untold(path, "its values are not all held");
            same = same && (ia == ib || (std::isnan(ia) && std::isnan(ib)));
            if (!same) return Differ(path + Subscript(va.dims, k, '(', ')'), "values differ");
        }
        return kSame;
    }

    Verdict Text(const Bytes& ba, const ArrayView& va, const Bytes& bb, const ArrayView& vb, const std::string& path) {
        const size_t units = static_cast<size_t>(va.count);
        if (ViewText(ba, va, units) != ViewText(bb, vb, units)) return Differ(path, "text differs");
        return kSame;
    }

    // Sparse arrays nested in others are held by their header only.
    Verdict Sparse(const std::string& path) { return Untold(path, "a sparse array inside another is not compared"); }

    // Cells element by element; structs and objects field by field, the
    // fields as a set (their order does not count).
    Verdict Children(const Bytes& ba, const ArrayView& va, const Bytes& bb, const ArrayView& vb,
                     const std::string& path, size_t depth) {
        const bool cell = va.cls == mxCELL;
        const size_t perA = cell ? 1 : va.fields.size(), perB = cell ? 1 : vb.fields.size();
        std::vector<size_t> mapping(perA);
        if (!cell) {
            if (perA != perB) return Differ(path, "fields differ");
            for (size_t f = 0; f < perA; ++f) {
                size_t g = 0;
                while (g < perB && vb.fields[g] != va.fields[f]) ++g;
                if (g == perB) return Differ(path, "field " + va.fields[f] + " only in the first");
                mapping[f] = g;
            }
        }
        std::vector<ArrayView> childrenB(perB);
        size_t atA = va.childrenPos, atB = vb.childrenPos;
        for (uint64_t k = 0; k < va.count; ++k) {
            for (size_t g = 0; g < perB; ++g) {
                if (!ParseArrayView(bb, atB, childrenB[g]) || childrenB[g].end > vb.end) {
                    return Untold(path, "its elements are not all held");
                }
                atB = childrenB[g].next;
            }
            const std::string element =
                cell ? path + Subscript(va.dims, k, '{', '}') : va.count > 1 ? path + Subscript(va.dims, k, '(', ')') : path;
            for (size_t f = 0; f < perA; ++f) {
                ArrayView child;
                if (!ParseArrayView(ba, atA, child) || child.end > va.end) {
                    return Untold(path, "its elements are not all held");
                }
                atA = child.next;
                const std::string inner = cell ? element : element + "." + va.fields[f];
                const Verdict v = Values(ba, child, bb, childrenB[mapping[f]], inner, depth + 1);
                if (v != kSame) return v;
            }
        }
        return kSame;
    }

    // Function handles by their text: the function and its type (where
    // MATLAB was installed does not count).
    Verdict Function(const Bytes& ba, const ArrayView& va, const Bytes& bb, const ArrayView& vb,
                     const std::string& path) {
        std::string ta, tb;
        if (!HandleText(ba, va, ta) || !HandleText(bb, vb, tb)) return Untold(path, "its text cannot be read");
        return ta == tb ? kSame : Differ(path, "function handles differ");
    }
    // The handle's function and type.
    static bool HandleText(const Bytes& b, const ArrayView& v, std::string& out) {
        ArrayView content, handle, part;
        if (!ParseArrayView(b, v.contentPos, content) || content.cls != mxSTRUCT ||
            !ViewField(b, content, "function_handle", handle) || handle.cls != mxSTRUCT) {
            return false;
        }
        for (const char* name : {"function", "type"}) {
            if (!ViewField(b, handle, name, part)) return false;
            out += ViewText(b, part, static_cast<size_t>(part.count)) + '\n';
        }
        return true;
    }

    Verdict Opaque(const Bytes& ba, const ArrayView& va, const Bytes& bb, const ArrayView& vb, const std::string& path,
                   size_t depth) {
        ArrayView ma, mb;
        ObjectRef ra, rb;
        if (!ParseArrayView(ba, va.contentPos, ma) || !ParseObjectRef(ba, ma, ra) ||
            !ParseArrayView(bb, vb.contentPos, mb) || !ParseObjectRef(bb, mb, rb)) {
            return Untold(path, "its object metadata cannot be read");
        }
        return Objects(ra, rb, path, depth);
    }

    // Objects by class and properties; the properties as a set.
    Verdict Objects(const ObjectRef& ra, const ObjectRef& rb, const std::string& path, size_t depth) {
        const Subsystem* sa = a_.subsystem();
        const Subsystem* sb = b_.subsystem();
        if (sa == nullptr || sb == nullptr) return Broken(path, "the subsystem data cannot be read");
        if (ra.dims != rb.dims || ra.ids.size() != rb.ids.size()) {
            return Differ(path, "size " + DimsText(ra.dims) + " / " + DimsText(rb.dims));
        }
        std::string error;
        for (size_t k = 0; k < ra.ids.size(); ++k) {
            const std::string element = ra.ids.size() > 1 ? path + Subscript(ra.dims, k, '(', ')') : path;
            std::string ca, cb;
            std::vector<Subsystem::Property> pa, pb;
            if (!sa->ClassName(ra.ids[k], ca, error) || !sb->ClassName(rb.ids[k], cb, error) ||
                !sa->Properties(ra.ids[k], pa, error) || !sb->Properties(rb.ids[k], pb, error)) {
                return Broken(element, error);
            }
            if (ca != cb) return Differ(element, "class " + ca + " / " + cb);
            if (pa.size() != pb.size()) return Differ(element, "properties differ");
            for (const Subsystem::Property& p : pa) {
                const Subsystem::Property* q = nullptr;
                for (const Subsystem::Property& candidate : pb) {
                    if (candidate.name == p.name) q = &candidate;
                }
                const std::string inner = element + "." + p.name;
                if (q == nullptr) return Differ(element, "property " + p.name + " only in the first");
                if (p.hasValue != q->hasValue) return Differ(inner, "values differ");
                if (!p.hasValue) {
                    if (p.text != q->text) return Differ(inner, "values differ");
                    continue;
                }
                ArrayView va, vb;
                if (!ParseArrayView(sa->bytes(), p.valuePos, va) || !ParseArrayView(sb->bytes(), q->valuePos, vb)) {
                    return Broken(inner, "a property's value is damaged");
                }
                const Verdict v = Values(sa->bytes(), va, sb->bytes(), vb, inner, depth + 1);
                if (v != kSame) return v;
            }
        }
        return kSame;
    }

    Side& a_;
    Side& b_;
};

}  // namespace
}  // namespace matlib

int mxCompareValues(const mxArray* a, const mxArray* b, char* report, size_t size) {
    using namespace matlib;
    if (report != nullptr && size > 0) report[0] = '\0';
    if (a == nullptr || b == nullptr || !a->source || !b->source || a->format == nullptr || b->format == nullptr) {
        return kUntold;
    }
    try {
        Side sa(*a), sb(*b);
        const ArrayView* ta = nullptr;
        const ArrayView* tb = nullptr;
        int verdict = kUntold;
        std::string text = "too large to compare by contents";
        if (sa.Load(ta) && sb.Load(tb)) {
            Comparer comparer(sa, sb);
            verdict = comparer.Values(sa.bytes(), *ta, sb.bytes(), *tb, mxGetName(a), 0);
            text = comparer.where + ": " + comparer.why;
        }
        if (report != nullptr && size > 0 && verdict != kSame) {
            size_t n = std::min(text.size(), size - 1);
            // Cut at a character boundary.
            while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
            std::memcpy(report, text.data(), n);
            report[n] = '\0';
        }
        return verdict;
    } catch (const std::bad_alloc&) {
        return kUntold;
    }
}

int mxCheckObjectData(const mxArray* array, char* reason, size_t size) {
    // The array compared with itself: every object it refers to is decoded
    // from the subsystem data on the way, its properties' values too.
    return mxCompareValues(array, array, reason, size) == 3 ? 1 : 0;
}

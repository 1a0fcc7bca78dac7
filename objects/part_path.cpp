// A part of a level-5 variable reached by its MATLAB path ("s.a{2}(3).x",
// "T.Customer"), and the parts a struct's or cell's folder lists.
//
// The walk reads the variable's element forward, as its compressed stream
// goes: each array's header, a struct's field names and the tags of the
// arrays it steps over, never their values. The part found is written, with
// a name of its own, as the one variable of a level-5 file that nothing
// outlives (beside the MAT-file, else in the temporary folder), followed by
// a copy of the subsystem data where its objects may need it; that file is
// then read as any other, so the viewer, the exports and extraction treat
// the part as a variable.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "codec/array_view.h"
#include "codec/converted_image.h"
#include "codec/element_writer.h"
#include "codec/mat_format.h"
#include "codec/readers.h"
#include "codec/source_io.h"
#include "matlib/mat.h"
#include "objects/subsystem.h"
#include "objects/value_objects.h"
#include "os/file_io.h"

namespace matlib {
namespace {

using namespace format;

// The bytes a window keeps behind a walk's position: more than an array's
// header can take (its name, class name and 64 dimensions).
constexpr size_t kWindowBytes = 64 * 1024;
// A struct's field names are read whole; more than this is no MATLAB struct.
constexpr uint64_t kMaxFieldNameBytes = kMaxShownFieldNameBytes;
// An object's reference to its values (dimensions and ids) read whole.
constexpr uint64_t kMaxObjectRefBytes = 16 * 1024 * 1024;
constexpr size_t kCopyChunk = 64 * 1024;

// Bytes held in memory (the subsystem data), read by position.
class MemoryInput final : public ElementInput {
public:
    explicit MemoryInput(const Bytes& bytes) : bytes_(bytes) {}
    bool Read(uint64_t pos, void* buffer, size_t n) override {
        if (!Fits(pos, n, bytes_.size)) return false;
        if (n > 0) std::memcpy(buffer, bytes_.data + pos, n);
        return true;
    }

private:
    Bytes bytes_;
};

// A forward-only input (a compressed element inflates only forward) with
// the bytes from an anchor on kept, so that an array's header can be read
// twice: once to walk, once to copy.
class Window final : public ElementInput {
public:
    Window(ElementInput& source, uint64_t limit) : source_(source), limit_(limit) {}

    // Keeps the bytes from `at` on; false when the input has gone past it.
    bool Anchor(uint64_t at) {
        const uint64_t end = start_ + buffer_.size();
        if (at >= start_ && at <= end && delivered_ == end) {
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(at - start_));
        } else if (at >= delivered_) {
            buffer_.clear();
            delivered_ = at;
        } else {
            return false;
        }
        start_ = at;
        if (at > limit_) return false;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kWindowBytes, limit_ - at));
        if (buffer_.size() < want) {
            const size_t had = buffer_.size();
            buffer_.resize(want);
            if (!source_.Read(delivered_, buffer_.data() + had, want - had)) return false;
            delivered_ = start_ + want;
        }
        return true;
    }

    bool Read(uint64_t pos, void* buffer, size_t n) override {
        auto* out = static_cast<uint8_t*>(buffer);
        const uint64_t end = start_ + buffer_.size();
        if (pos >= start_ && pos < end) {
            const size_t k = static_cast<size_t>(std::min<uint64_t>(n, end - pos));
            std::memcpy(out, buffer_.data() + (pos - start_), k);
            pos += k;
            out += k;
            n -= k;
            if (n == 0) return true;
        }
        if (pos < delivered_ || !source_.Read(pos, out, n)) return false;
        delivered_ = pos + n;
        return true;
    }

private:
    ElementInput& source_;
    uint64_t limit_;
    std::vector<uint8_t> buffer_;
    uint64_t start_ = 0;
    uint64_t delivered_ = 0;   // what the source has given so far (it reads forward only)
};

// One array on the way: where its element stands and its header.
struct Node {
    uint64_t tag = 0;
    uint64_t end = 0;       // where its bytes end
    uint64_t next = 0;      // where the array after it starts
    bool bare = false;      // an empty array written as a bare tag
    ArrayHeader head;
};

bool ReadNode(Window& in, bool swapped, uint64_t at, uint64_t limit, Node& node) {
    node = Node{};
    SubElement tag;
    if (!in.Anchor(at) || !ReadSubElement(in, at, limit, swapped, tag) || tag.small || tag.type != miMATRIX) {
        return false;
    }
    node.tag = at;
    node.end = tag.dataPos + tag.bytes;
    node.next = tag.next;
    node.bare = tag.bytes == 0;
    if (node.bare) {
        node.head.code = mxDOUBLE;
        node.head.dims = {0, 0};
        node.head.count = 0;
        return true;
    }
    return ReadArrayHeader(in, swapped, tag.dataPos, node.end, node.head);
}

// A struct's or object's field names, and where its first field's array starts.
bool FieldNames(Window& in, bool swapped, const Node& node, std::vector<std::string>& names, uint64_t& first) {
    SubElement length, list;
    uint8_t word[4] = {};
    if (!ReadSubElement(in, node.head.dataPos, node.end, swapped, length) ||
        !ReadSubElementData(in, length, word, sizeof word) ||
        !ReadSubElement(in, length.next, node.end, swapped, list) || list.bytes > kMaxFieldNameBytes) {
        return false;
    }
    const uint32_t width = Load32(word, swapped);
    std::string text(list.bytes, '\0');
    if (!ReadSubElementData(in, list, text.data(), text.size())) return false;
    names.clear();
    first = list.next;
    if (width == 0) return list.bytes == 0;
    for (size_t at = 0; at + width <= text.size(); at += width) {
        const auto begin = text.begin() + static_cast<std::ptrdiff_t>(at);
        names.emplace_back(begin, std::find(begin, begin + width, '\0'));
    }
    return true;
}

// Where the array `k` places after `first` starts, stepping over the tags between.
bool StepOver(Window& in, bool swapped, uint64_t first, uint64_t end, uint64_t k, uint64_t& at) {
    at = first;
    for (uint64_t i = 0; i < k; ++i) {
        SubElement child;
        if (!ReadSubElement(in, at, end, swapped, child) || child.small || child.type != miMATRIX) return false;
        at = child.next;
    }
    return true;
}

// One step of a path: ".name", "{i,j}" or "(i,j)".
struct Step {
    char kind = '.';
    std::string field;
    std::vector<uint64_t> subscripts;   // from 1
};

std::string StepText(const Step& step) {
    if (step.kind == '.') return "." + step.field;
    std::string text(1, step.kind);
    for (size_t i = 0; i < step.subscripts.size(); ++i) text += (i > 0 ? "," : "") + std::to_string(step.subscripts[i]);
    return text + (step.kind == '{' ? "}" : ")");
}

bool IsNameByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool ParsePath(const std::string& path, std::vector<Step>& steps, std::string& error) {
    size_t i = 0;
    while (i < path.size()) {
        Step step;
        step.kind = path[i++];
        if (step.kind == '.') {
            while (i < path.size() && IsNameByte(path[i])) step.field += path[i++];
            if (step.field.empty()) return error = "a field name must follow the \".\"", false;
        } else if (step.kind == '{' || step.kind == '(') {
            const char close = step.kind == '{' ? '}' : ')';
            for (;;) {
                while (i < path.size() && path[i] == ' ') ++i;
                uint64_t value = 0;
                size_t digits = 0;
                while (i < path.size() && path[i] >= '0' && path[i] <= '9' && digits < 19) {
                    value = value * 10 + static_cast<uint64_t>(path[i++] - '0');
                    ++digits;
                }
                if (digits == 0 || value == 0 || (i < path.size() && path[i] >= '0' && path[i] <= '9')) {
                    return error = "subscripts are whole numbers from 1", false;
                }
                step.subscripts.push_back(value);
                while (i < path.size() && path[i] == ' ') ++i;
                if (i < path.size() && path[i] == ',') {
                    ++i;
                    continue;
                }
                if (i < path.size() && path[i] == close) {
                    ++i;
                    break;
                }
                return error = std::string("\"") + close + "\" expected", false;
            }
        } else {
            return error = "a path goes on with .field, {i} or (i)", false;
        }
        steps.push_back(std::move(step));
    }
    return true;
}

// The element the subscripts name (from 0), counted as MATLAB counts them:
// one subscript counts all elements, the last of several takes the
// dimensions left; false when they exceed the dimensions.
bool LinearIndex(const std::vector<uint64_t>& dims, const std::vector<uint64_t>& subscripts, uint64_t& k) {
    k = 0;
    uint64_t stride = 1;
    for (size_t i = 0; i < subscripts.size(); ++i) {
        uint64_t extent = i < dims.size() ? dims[i] : 1;
        if (i + 1 == subscripts.size()) {
            for (size_t j = i + 1; j < dims.size(); ++j) extent *= dims[j];
        }
        if (subscripts[i] > extent) return false;
        k += (subscripts[i] - 1) * stride;
        stride *= extent;
    }
    return true;
}

std::string DimsText(const std::vector<uint64_t>& dims) {
    std::string text;
    for (size_t i = 0; i < dims.size(); ++i) text += (i > 0 ? "x" : "") + std::to_string(dims[i]);
    return text;
}

// The class name as the listing shows it, from a header.
std::string ClassOf(const ArrayHeader& head) {
    switch (head.code) {
        case mxCELL: return "cell";
        case mxSTRUCT: return "struct";
        case mxCHAR: return "char";
        case mxSPARSE: return head.logical ? "logical" : "double";
        case mxDOUBLE: return "double";
        case mxSINGLE: return "single";
        case mxINT8: return "int8";
        case mxUINT8: return head.logical ? "logical" : "uint8";
        case mxINT16: return "int16";
        case mxUINT16: return "uint16";
        case mxINT32: return "int32";
        case mxUINT32: return "uint32";
        case mxINT64: return "int64";
        case mxUINT64: return "uint64";
        case mxFUNCTION: return "function_handle";
        case mxOBJECT: case mxOPAQUE: return head.className;
        default: return "unknown";
    }
}

uint64_t ValueBytes(const ArrayHeader& head) {
    switch (head.code) {
        case mxDOUBLE: case mxINT64: case mxUINT64: case mxSPARSE: return 8 * head.count;
        case mxSINGLE: case mxINT32: case mxUINT32: return 4 * head.count;
        case mxCHAR: case mxINT16: case mxUINT16: return 2 * head.count;
        case mxINT8: case mxUINT8: return head.count;
        default: return 0;
    }
}

FILE* CreateScratch(const std::string& path) {
    std::string folderOf;
    return platform::CreateScratchNear(path, "part", &folderOf);
}


// How the part found becomes an element of its own.
enum class Shape { Whole, StructElement, CellElement };

class PartWalk {
public:
    explicit PartWalk(const mxArray& array) : array_(array), source_(*array.source), swapped_(array.source->swapped) {}

    bool Start() {
        stream_ = std::make_unique<ElementStream>(source_, array_.data);
        in_ = std::make_unique<Window>(*stream_, array_.data.elementEnd);
        limit_ = array_.data.elementEnd;
        where_ = array_.name;
        name_ = array_.name;
        return ReadNode(*in_, swapped_, 0, limit_, node_) || Damaged();
    }

    // Follows the steps; false with the reason for matLastError.
    bool Follow(const std::vector<Step>& steps) {
        for (size_t i = 0; i < steps.size(); ++i) {
            const Step& step = steps[i];
            const bool last = i + 1 == steps.size();
            if (step.kind == '.') {
                if (!Field(step.field)) return false;
                name_ = step.field;
            } else if (step.kind == '{') {
                if (!Brace(step)) return false;
                AppendSubscripts(step);
            } else {
                uint64_t k = 0;
                if (!Element(step, k)) return false;
                AppendSubscripts(step);
                if (node_.head.count == 1) {
                    // (1) of a single array is the array itself.
                } else if (node_.head.code == mxSTRUCT && !last && steps[i + 1].kind == '.') {
                    element_ = k;
                } else if (last && (node_.head.code == mxSTRUCT || node_.head.code == mxCELL)) {
                    shape_ = node_.head.code == mxSTRUCT ? Shape::StructElement : Shape::CellElement;
                    element_ = k;
                    return true;
                } else {
                    return Fail(where_ + StepText(step) + ": only elements of struct and cell arrays are taken "
                                "(name a cell's element with braces, c{2})");
                }
            }
            where_ += StepText(step);
        }
        return true;
    }

    // Writes the part as the one variable of a new scratch file; null on failure.
    mxArray* Write() {
        platform::FileSystemCalls& fs = platform::FileSystem();
        FILE* file = CreateScratch(source_.path);
        if (file == nullptr) {
            Fail("no temporary file could be made for the part");
            return nullptr;
        }
        auto part = std::make_shared<SourceFile>();
        part->stream = file;   // closed with the part's source
        part->path = source_.path;
        part->format = &kV5Format;
        part->swapped = source_.swapped;
        part->bigEndian = source_.bigEndian;
        uint8_t header[kHeaderSize] = {};
        if (!ReadAt(source_, 0, header, sizeof header)) {
            Damaged();
            return nullptr;
        }
        if (!WriteElement(file, fs)) return nullptr;
        uint64_t at = 0;
        if (!Tell(file, at)) return nullptr;
        const bool objects = inSubsystem_ || node_.head.code == mxOPAQUE || node_.head.code == mxFUNCTION ||
                             node_.head.code == mxCELL || node_.head.code == mxSTRUCT || node_.head.code == mxOBJECT;
        if (objects && source_.subsystemOffset != 0) {
            if (!CopySubsystem(file, fs)) return nullptr;
            part->subsystemOffset = at;
        }
        const uint64_t subsystem = part->subsystemOffset;
        for (int i = 0; i < 8; ++i) {
            const int shift = swapped_ ? 56 - 8 * i : 8 * i;
            header[kSubsystemOffsetAt + i] = static_cast<uint8_t>(subsystem >> shift);
        }
        if (!PutScratchHeader(*part, header)) {
            Fail("the part could not be written to a temporary file");
            return nullptr;
        }
        auto array = std::make_unique<mxArray>();
        uint64_t next = 0;
        if (ReadV5Header(part, kHeaderSize, *array, next) != HeaderStatus::Ok) {
            Damaged();
            return nullptr;
        }
        return array.release();
    }

    // The parts a folder lists: a scalar struct's fields, a struct array's
    // elements, a cell's elements, at most `most` of them.
    bool List(size_t most, int (*visit)(void*, const mxPartInfo*), void* context) {
        const ArrayHeader& head = node_.head;
        if (head.code != mxSTRUCT && head.code != mxCELL) return true;
        std::vector<std::string> fields;
        uint64_t at = head.dataPos;
        if (head.code == mxSTRUCT && !FieldNames(*in_, swapped_, node_, fields, at)) return Damaged();
        if (head.code == mxSTRUCT && head.count != 1) {
            const mwSize one[2] = {1, 1};
            for (uint64_t k = 0; k < head.count && k < most; ++k) {
                const std::string index = std::to_string(k + 1);
                const std::string step = "(" + index + ")", name = array_.name + "_" + index;
                const mxPartInfo info{step.c_str(), name.c_str(), "struct", one, 2, 0};
                if (visit(context, &info) == 0) break;
            }
            return true;
        }
        const uint64_t count = head.code == mxCELL ? head.count : fields.size();
        for (uint64_t k = 0; k < count && k < most; ++k) {
            Node child;
            if (!ReadNode(*in_, swapped_, at, node_.end, child)) return Damaged();
            at = child.next;
            std::vector<uint64_t> dims = child.head.dims;
            if (child.head.code == mxOPAQUE) ObjectDims(child, dims);
            const std::string index = std::to_string(k + 1);
            const std::string step = head.code == mxCELL ? "{" + index + "}" : "." + fields[k];
            const std::string name = head.code == mxCELL ? array_.name + "_" + index : fields[k];
            const std::string cls = ClassOf(child.head);
            const std::vector<mwSize> shown(dims.begin(), dims.end());
            const mxPartInfo info{step.c_str(), name.c_str(), cls.c_str(), shown.data(), shown.size(), ValueBytes(child.head)};
            if (visit(context, &info) == 0) break;
        }
        return true;
    }

    const std::string& name() const { return name_; }

private:
    bool Fail(const std::string& why) {
        SetLastErrorText(why);
        return false;
    }
    bool Damaged() {
        SetLastErrorText(where_ + ": damaged");
        return false;
    }
    bool Tell(FILE* file, uint64_t& at) {
        const int64_t told = platform::FileSystem().tell(file);
        if (told < 0) return Fail("the part could not be written to a temporary file");
        at = static_cast<uint64_t>(told);
        return true;
    }

    void AppendSubscripts(const Step& step) {
        for (const uint64_t s : step.subscripts) name_ += "_" + std::to_string(s);
    }

    bool Field(const std::string& field) {
        const ArrayHeader& head = node_.head;
        ObjectRef held;
        if (head.code == mxOPAQUE || HeldReference(held)) return Property(field);
        if (head.code != mxSTRUCT && head.code != mxOBJECT) {
            return Fail("no field '" + field + "' in " + where_ + ": it is " + (node_.bare ? "empty" : ClassOf(head)));
        }
        if (head.count != 1 && element_ == kNone) {
            return Fail(where_ + " is a " + DimsText(head.dims) + " struct array: name one element, as " + where_ +
                        "(1)." + field);
        }
        std::vector<std::string> fields;
        uint64_t first = 0;
        if (!FieldNames(*in_, swapped_, node_, fields, first)) return Damaged();
        const auto found = std::find(fields.begin(), fields.end(), field);
        if (found == fields.end()) return Fail("no field '" + field + "' in " + where_);
        const uint64_t element = element_ == kNone ? 0 : element_;
        element_ = kNone;
        uint64_t at = 0;
        const uint64_t k = element * fields.size() + static_cast<uint64_t>(found - fields.begin());
        if (!StepOver(*in_, swapped_, first, node_.end, k, at)) return Damaged();
        return ReadNode(*in_, swapped_, at, node_.end, node_) || Damaged();
    }

    bool Element(const Step& step, uint64_t& k) {
        if (!LinearIndex(node_.head.dims, step.subscripts, k)) {
            return Fail("index exceeds the dimensions of " + where_ + " (" + DimsText(node_.head.dims) + ") at " +
                        where_ + StepText(step));
        }
        return true;
    }

    bool Brace(const Step& step) {
        if (node_.head.code != mxCELL) {
            return Fail(where_ + " is " + (node_.bare ? std::string("empty") : ClassOf(node_.head)) +
                        ", not a cell: braces index cells");
        }
        uint64_t k = 0, at = 0;
        if (!Element(step, k)) return false;
        if (!StepOver(*in_, swapped_, node_.head.dataPos, node_.end, k, at)) return Damaged();
        return ReadNode(*in_, swapped_, at, node_.end, node_) || Damaged();
    }

    // An opaque array's reference to its objects, read from its content.
    bool ObjectRefOf(const Node& node, ObjectRef& ref) {
        SubElement content;
        if (!ReadSubElement(*in_, node.head.dataPos, node.end, swapped_, content) || content.small ||
            content.type != miMATRIX || content.bytes > kMaxObjectRefBytes) {
            return false;
        }
        std::vector<uint8_t> element(static_cast<size_t>(content.next - node.head.dataPos));
        if (!in_->Read(node.head.dataPos, element.data(), static_cast<size_t>(kTagSize + content.bytes))) return false;
        const Bytes bytes{element.data(), element.size(), swapped_};
        ArrayView view;
        return ParseArrayView(bytes, 0, view) && ParseObjectRef(bytes, view, ref);
    }

    void ObjectDims(const Node& node, std::vector<uint64_t>& dims) {
        ObjectRef ref;
        if (ObjectRefOf(node, ref) && !ref.dims.empty()) dims = ref.dims;
    }

    // Inside the subsystem data an object stands as its reference alone: a
    // uint32 array that starts with the objects' marker.
    bool HeldReference(ObjectRef& ref) {
        if (!inSubsystem_ || node_.bare || node_.head.code != mxUINT32) return false;
        ArrayView view;
        return ParseArrayView(subsystem_->bytes(), static_cast<size_t>(node_.tag), view) &&
               ParseObjectRef(subsystem_->bytes(), view, ref);
    }

    // The objects the current array is: an opaque array's, or a reference
    // held in the subsystem data.
    bool NodeObjects(ObjectRef& ref) { return node_.head.code == mxOPAQUE ? ObjectRefOf(node_, ref) : HeldReference(ref); }

    // A table's variable, or another object's property: its array in the
    // subsystem data, where the walk goes on.
    bool Property(const std::string& field) {
        ObjectRef ref;
        if (!NodeObjects(ref)) return Fail("no field '" + field + "' in " + where_ + ": it is " + ClassOf(node_.head));
        if (ref.ids.size() != 1) {
            return Fail(where_ + " is a " + DimsText(ref.dims) + " " + node_.head.className + " array: its parts are not taken");
        }
        if (!subsystem_) {
            HeldBytes payload;
            const char* reason = "";
            std::string error;
            subsystem_ = std::make_unique<Subsystem>();
            // The objects' values cannot be read: the file is damaged there.
            if (!array_.format->subsystemPayload(array_, kMaxDecodedSubsystemBytes, payload, reason)) return Fail(where_ + ": " + reason + ": damaged");
            if (!subsystem_->Load(std::move(payload), error)) return Fail(where_ + ": " + error + ": damaged");
        }
        std::string cls, error;
        std::vector<Subsystem::Property> props;
        if (!subsystem_->ClassName(ref.ids[0], cls, error) || !subsystem_->Properties(ref.ids[0], props, error)) {
            return Fail(where_ + ": " + error + ": damaged");
        }
        const Bytes& bytes = subsystem_->bytes();
        uint64_t at = 0;
        if (IsTabular(cls)) {
            if (!TableVariable(cls, props, field, at)) return false;
        } else {
            const auto found = std::find_if(props.begin(), props.end(), [&](const Subsystem::Property& p) { return p.name == field; });
            if (found == props.end()) return Fail("no property '" + field + "' in " + where_ + " (" + cls + ")");
            if (!found->hasValue) return Fail(where_ + "." + field + " holds no array of its own");
            at = found->valuePos;
        }
        memory_ = std::make_unique<MemoryInput>(bytes);
        in_ = std::make_unique<Window>(*memory_, bytes.size);
        limit_ = bytes.size;
        swapped_ = bytes.swapped;
        inSubsystem_ = true;
        return ReadNode(*in_, swapped_, at, limit_, node_) || Damaged();
    }

    // A table's variable by its name; a timetable's row times too, by the
    // rows' dimension name (tt.Time).
    bool TableVariable(const std::string& cls, const std::vector<Subsystem::Property>& props, const std::string& field,
                       uint64_t& at) {
        const Bytes& b = subsystem_->bytes();
        TabularParts parts;
        if (!ReadTabular(*subsystem_, cls, props, parts)) return Damaged();
        if (parts.timetable && field == parts.labelHeading) {
            at = parts.labels.pos;
            return true;
        }
        size_t dataAt = parts.data.childrenPos, nameAt = parts.names.childrenPos;
        for (uint64_t c = 0; c < parts.data.count; ++c) {
            ArrayView column, label;
            if (!ParseArrayView(b, dataAt, column) || !ParseArrayView(b, nameAt, label)) return Damaged();
            if (ViewText(b, label, kMaxNameLength) == field) {
                at = dataAt;
                return true;
            }
            dataAt = column.next;
            nameAt = label.next;
        }
        return Fail("no variable '" + field + "' in the " + cls + " " + where_);
    }

    bool Copy(FILE* file, platform::FileSystemCalls& fs, uint64_t from, uint64_t to) {
        std::vector<uint8_t> chunk(kCopyChunk);
        while (from < to) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(to - from, chunk.size()));
            if (!in_->Read(from, chunk.data(), n)) return Damaged();
            if (fs.write(chunk.data(), n, file) != n) return Fail("the part could not be written to a temporary file");
            from += n;
        }
        return true;
    }

    bool Put(FILE* file, platform::FileSystemCalls& fs, const std::vector<uint8_t>& bytes) {
        return fs.write(bytes.data(), bytes.size(), file) == bytes.size() ||
               Fail("the part could not be written to a temporary file");
    }

    // The part's element after the 128-byte header, named name_, padded to
    // 8 bytes; its tag is written last, once its size is known.
    bool WriteElement(FILE* file, platform::FileSystemCalls& fs) {
        const uint8_t blank[kHeaderSize + kTagSize] = {};
        if (fs.write(blank, sizeof blank, file) != sizeof blank) return Fail("the part could not be written to a temporary file");
        const uint64_t start = kHeaderSize + kTagSize;
        std::vector<uint8_t> bytes;
        ElementWriter writer{&bytes, swapped_};
        const ArrayHeader& head = node_.head;
        ObjectRef held;
        std::string heldClass, error;
        if (HeldReference(held) && !held.ids.empty() && subsystem_->ClassName(held.ids[0], heldClass, error)) {
            // An object array of its own: the opaque array around its reference.
            if (!AppendArrayHead(ArrayHead{mxOPAQUE, 0, 0, nullptr, 0, name_, heldClass}, swapped_, bytes) ||
                !Put(file, fs, bytes) || !Copy(file, fs, node_.tag, node_.next)) {
                return false;
            }
        } else if (node_.bare) {
            const mwSize empty[2] = {0, 0};
            if (!AppendArrayHead(ArrayHead{mxDOUBLE, 0, 0, empty, 2, name_, {}}, swapped_, bytes)) return Damaged();
            writer.Element(miDOUBLE, nullptr, 0, 8);
            if (!Put(file, fs, bytes)) return false;
        } else if (shape_ == Shape::Whole) {
            // Its own bytes, with the name in place of the one it had (none, as a field or element).
            SubElement flags, dims, name;
            if (!ReadSubElement(*in_, node_.tag + kTagSize, node_.end, swapped_, flags)) return Damaged();
            uint64_t nameAt = flags.next;
            if (head.code != mxOPAQUE) {
                if (!ReadSubElement(*in_, flags.next, node_.end, swapped_, dims)) return Damaged();
                nameAt = dims.next;
            }
            if (!ReadSubElement(*in_, nameAt, node_.end, swapped_, name)) return Damaged();
            bytes.resize(static_cast<size_t>(nameAt - node_.tag - kTagSize));
            if (!in_->Read(node_.tag + kTagSize, bytes.data(), bytes.size())) return Damaged();
            writer.Element(miINT8, name_.data(), name_.size(), 1);
            if (!Put(file, fs, bytes) || !Copy(file, fs, name.next, node_.end)) return false;
        } else {
            const mwSize one[2] = {1, 1};
            if (!AppendArrayHead(ArrayHead{head.code, 0, 0, one, 2, name_, {}}, swapped_, bytes)) return Damaged();
            uint64_t first = head.dataPos, count = 1;
            if (shape_ == Shape::StructElement) {
                std::vector<std::string> fields;
                if (!FieldNames(*in_, swapped_, node_, fields, first)) return Damaged();
                uint32_t width = 1;
                for (const std::string& f : fields) width = std::max<uint32_t>(width, static_cast<uint32_t>(f.size() + 1));
                std::string list(fields.size() * width, '\0');
                for (size_t f = 0; f < fields.size(); ++f) list.replace(f * width, fields[f].size(), fields[f]);
                writer.Element(miINT32, &width, 1, 4);
                writer.Element(miINT8, list.data(), list.size(), 1);
                count = fields.size();
            }
            if (!Put(file, fs, bytes)) return false;
            uint64_t at = 0;
            if (!StepOver(*in_, swapped_, first, node_.end, element_ * count, at)) return Damaged();
            for (uint64_t i = 0; i < count; ++i) {
                SubElement child;
                if (!in_->Anchor(at) || !ReadSubElement(*in_, at, node_.end, swapped_, child) || child.small ||
                    child.type != miMATRIX || !Copy(file, fs, at, child.next)) {
                    return Damaged();
                }
                at = child.next;
            }
        }
        uint64_t end = 0;
        if (!Tell(file, end)) return false;
        const uint64_t size = end - start;
        if (size > UINT32_MAX) return Fail(where_ + " is too large for a variable of its own");
        const size_t padding = PaddingAfter(size);
        const auto tag = StreamedTag(miMATRIX, static_cast<uint32_t>(size), swapped_);
        if (fs.write(kZeroPadding, padding, file) != padding || fs.seek(file, kHeaderSize, SEEK_SET) != 0 ||
            fs.write(tag.data(), tag.size(), file) != tag.size() || fs.seek(file, 0, SEEK_END) != 0) {
            return Fail("the part could not be written to a temporary file");
        }
        return true;
    }

    // The file's subsystem data, copied as it stands.
    bool CopySubsystem(FILE* file, platform::FileSystemCalls& fs) {
        mxArray holder;
        uint64_t next = 0;
        if (ReadV5Header(array_.source, source_.subsystemOffset, holder, next) != HeaderStatus::Ok) {
            return Fail(where_ + ": the subsystem data is damaged");
        }
        std::vector<uint8_t> chunk(kCopyChunk);
        for (uint64_t at = source_.subsystemOffset; at < next;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(next - at, chunk.size()));
            if (!ReadAt(source_, at, chunk.data(), n)) return Fail(where_ + ": the subsystem data cannot be read");
            if (fs.write(chunk.data(), n, file) != n) return Fail("the part could not be written to a temporary file");
            at += n;
        }
        return true;
    }

    static constexpr uint64_t kNone = UINT64_MAX;
    const mxArray& array_;
    SourceFile& source_;
    bool swapped_;
    std::unique_ptr<ElementStream> stream_;
    std::unique_ptr<MemoryInput> memory_;
    std::unique_ptr<Window> in_;
    std::unique_ptr<Subsystem> subsystem_;
    uint64_t limit_ = 0;
    bool inSubsystem_ = false;   // the walk is in the subsystem data (held in memory)
    Node node_;
    Shape shape_ = Shape::Whole;
    uint64_t element_ = kNone;   // a struct array's element a field step takes
    std::string where_;          // the path so far, for messages
    std::string name_;           // the name the part takes
};

// A version 7.3 struct's or cell's folder lists its parts from an image of
// the whole variable, made while the host waits: only for small ones.
constexpr uint64_t kMostListedImageBytes = 4ull << 20;

// A variable of another format (version 7.3) is walked in a level-5 image
// of it (ConvertedImage: its conversion and its file's subsystem data, in a
// scratch file read as any level-5 file); its element at most `most` bytes
// (UINT64_MAX: any size). Null with the reason for matLastError.

std::unique_ptr<mxArray> Level5Image(const mxArray& array, uint64_t most) {
    uint64_t bytes = 0;
    bool objects = false;
    const ElementSource* from = array.format != nullptr ? array.format->element : nullptr;
    if (most != UINT64_MAX && (from == nullptr || from->plan == nullptr || !from->plan(array, false, bytes, objects) || bytes > most)) {
        SetLastErrorText(array.name + " cannot be read whole for its parts (a folder lists the parts of a version 7.3 variable of at most " +
                         std::to_string(most >> 20) + " MB)");
        return nullptr;
    }
    std::unique_ptr<mxArray> image = ConvertedImage(array, true);
    if (image == nullptr) SetLastErrorText(array.name + " cannot be read whole for its parts: " + matLastError());
    return image;
}

// The array the walk reads: the variable itself (level 5), or its level-5
// image (kept in *image) of at most `most` bytes; null with the reason for
// matLastError. A folder's listing asks for a small image: it converts the
// whole variable while the host waits for its entries.
const mxArray* Walkable(const mxArray* array, std::unique_ptr<mxArray>& image, uint64_t most) {
    if (array == nullptr || !array->source) return SetLastError("no variable"), nullptr;
    if (array->format == &kV5Format) return array;
    const bool container = array->classId == mxSTRUCT_CLASS || array->classId == mxCELL_CLASS ||
                           array->classId == mxOBJECT_CLASS || array->classId == mxOPAQUE_CLASS;
    if (array->format != nullptr && array->format->layout == FileLayout::kHdf5 && container) {
        image = Level5Image(*array, most);
        return image.get();
    }
    SetLastErrorText(array->name + " is a " + array->className + " array: it has no parts");
    return nullptr;
}

}  // namespace
}  // namespace matlib

using namespace matlib;

mxArray* mxGetPart(const mxArray* array, const char* path) {
    try {
        std::unique_ptr<mxArray> image;
        if (path == nullptr || (array = Walkable(array, image, UINT64_MAX)) == nullptr) return nullptr;
        std::vector<Step> steps;
        std::string error;
        if (!ParsePath(path, steps, error)) {
            SetLastErrorText(std::string("not a path: ") + path + ": " + error);
            return nullptr;
        }
        PartWalk walk(*array);
        if (!walk.Start() || !walk.Follow(steps)) return nullptr;
        return walk.Write();
    } catch (const std::bad_alloc&) {
        SetLastError("not enough memory");
        return nullptr;
    }
}

int mxListParts(const mxArray* array, size_t most, int (*visit)(void* context, const mxPartInfo* part), void* context) {
    try {
        std::unique_ptr<mxArray> image;
        if (visit == nullptr || (array = Walkable(array, image, kMostListedImageBytes)) == nullptr) return 1;
        PartWalk walk(*array);
        return walk.Start() && walk.List(most, visit, context) ? 0 : 1;
    } catch (const std::bad_alloc&) {
        SetLastError("not enough memory");
        return 1;
    }
}

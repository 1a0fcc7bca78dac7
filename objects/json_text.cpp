#include "objects/json_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <memory>
#include <new>
#include <vector>

#include "codec/array_view.h"
#include "codec/mat_format.h"
#include "codec/readers.h"
#include "codec/source_io.h"
#include "matlib/mat_internal.h"
#include "objects/subsystem.h"
#include "objects/value_objects.h"

namespace matlib {
namespace {

using namespace format;

constexpr size_t kPiece = 64 * 1024;   // text handed on at a time
constexpr int kMaxDepth = 256;
constexpr uint64_t kPiecesPerRelease = 16;   // a megabyte of text

class JsonWriter {
public:
    // `whole`: the variable as an earlier run read it, else read here.
    JsonWriter(const mxArray& array, const std::function<bool(const std::string&)>& put, std::shared_ptr<WholeVariable> whole)
        : array_(array), whole_(whole ? std::move(whole) : std::make_shared<WholeVariable>(array)), put_(put) {}

    bool Run(std::string& error) {
        if (whole_->bytes().size == 0 && !whole_->Load("JSON of structs, cells and objects", error)) return false;
        if (!Value(whole_->bytes(), whole_->top(), array_.name, 0, error)) return false;
        return Flush(true) || (error.clear(), false);
    }

    const std::shared_ptr<WholeVariable>& whole() const { return whole_; }
    void TellDoneIn(double* done) { done_ = done; }

private:
    static bool Fail(std::string& error, std::string reason) {
        error = std::move(reason);
        return false;
    }

    bool Flush(bool last) {
        if (!stopped_ && (last || text_.size() >= kPiece) && !text_.empty()) {
            if (done_ != nullptr && whole_->bytes().size > 0) {
                *done_ = last ? 1.0 : static_cast<double>(furthest_) / static_cast<double>(whole_->bytes().size);
            }
            stopped_ = !put_(text_);
            text_.clear();
            // Now and then the pages of a scratch copy read so far go back.
            if (++pieces_ % kPiecesPerRelease == 0) whole_->Release();
        }
        return !stopped_;
    }

    void Number(double v) {
        if (!std::isfinite(v)) {
            text_ += "null";
            return;
        }
        char buffer[32];
        const auto done = std::to_chars(buffer, buffer + sizeof buffer, v);
        text_.append(buffer, done.ptr);
    }

    void String(const std::string& utf8) { AppendJsonString(utf8, text_); }

    // Elements 0..count-1 of an array of these dimensions, by MATLAB's shape
    // rules: a scalar bare, a vector flat, more dimensions nested with the
    // first subscript outermost. `element(k)` writes element k (storage order).
    template <class Element>
    bool Shaped(const std::vector<uint64_t>& dims, uint64_t count, Element element, bool flat = false) {
        if (count == 0) return text_ += "[]", true;
        const bool vector = dims.size() == 2 && (dims[0] == 1 || dims[1] == 1);
        if (count == 1 && !flat) return element(0);
        if (vector || flat || dims.size() < 2) {
            text_ += '[';
            for (uint64_t k = 0; k < count; ++k) {
                if (k > 0) text_ += ',';
                if (!element(k) || !Flush(false)) return false;
            }
            return text_ += ']', true;
        }
        std::vector<uint64_t> stride(dims.size(), 1);
        for (size_t d = 1; d < dims.size(); ++d) stride[d] = stride[d - 1] * dims[d - 1];
        std::function<bool(size_t, uint64_t)> nest = [&](size_t level, uint64_t base) {
            text_ += '[';
            for (uint64_t j = 0; j < dims[level]; ++j) {
                if (j > 0) text_ += ',';
                const uint64_t at = base + j * stride[level];
                if (!(level + 1 == dims.size() ? element(at) : nest(level + 1, at)) || !Flush(false)) return false;
            }
            text_ += ']';
            return true;
        };
        return nest(0, 0);
    }

    bool Chars(const Bytes& b, const ArrayView& v, std::string& error) {
        std::vector<uint32_t> units;
        if (!CodeUnits(b, v, units) || units.size() < v.count) return Fail(error, "damaged characters");
        const uint64_t rows = v.dims.empty() ? 0 : v.dims[0];
        if (v.dims.size() > 2) return Fail(error, "a character array of more than two dimensions");
        if (rows <= 1 || v.count == 0) return String(Utf8OfUnits(units)), true;
        const uint64_t columns = v.count / rows;
        text_ += '[';
        for (uint64_t r = 0; r < rows; ++r) {
            std::vector<uint32_t> row;
            for (uint64_t c = 0; c < columns; ++c) row.push_back(units[r + c * rows]);
            if (r > 0) text_ += ',';
            String(Utf8OfUnits(row));
        }
        text_ += ']';
        return true;
    }

    bool Numbers(const Bytes& b, const ArrayView& v, std::string& error) {
        if (v.complex) return Fail(error, "complex numbers (jsonencode takes none)");
        return Shaped(v.dims, v.count, [&](uint64_t k) {
            if (v.logical) {
                double d = 0;
                if (!ViewNumber(b, v, false, k, d)) return false;
                text_ += d != 0 ? "true" : "false";
                return true;
            }
            if (v.cls == mxUINT64 || v.cls == mxINT64) {
                uint64_t u = 0;
                if (v.cls == mxUINT64 && ViewUInt64(b, v, k, u)) return text_ += std::to_string(u), true;
                double d = 0;
                if (!ViewNumber(b, v, false, k, d)) return false;
                if (v.cls == mxINT64 && DataTypeSize(v.realType) == 8) {
                    text_ += std::to_string(LoadInt64(b.data + v.realPos + k * 8, v.realType, b.swapped));
                    return true;
                }
                Number(d);
                return true;
            }
            double d = 0;
            if (!ViewNumber(b, v, false, k, d)) return false;
            Number(d);
            return true;
        }) || Fail(error, error.empty() ? "damaged numbers" : error);
    }

    bool Value(const Bytes& b, const ArrayView& v, const std::string& path, int depth, std::string& error) {
        if (b.data == whole_->bytes().data) furthest_ = std::max(furthest_, v.pos);   // how far the walk has come
        if (depth > kMaxDepth) return Fail(error, path + ": nested too deep");
        switch (v.cls) {
            case 0: text_ += "[]"; return true;
            case mxCHAR: return Chars(b, v, error) || Fail(error, path + ": " + error);
            case mxSPARSE: return Fail(error, path + ": a sparse matrix (jsonencode takes none)");
            case mxFUNCTION: return Fail(error, path + ": a function handle (jsonencode takes none)");
            case mxCELL: {
                ChildIndex children;
                if (!children.Build(b, v, v.count)) return Fail(error, path + ": damaged");
                return Shaped(v.dims, v.count, [&](uint64_t k) {
                    ArrayView child;
                    ParseArrayView(b, children.At(k), child);
                    return Value(b, child, path + "{" + std::to_string(k + 1) + "}", depth + 1, error);
                }, true);
            }
            case mxSTRUCT: case mxOBJECT: {
                ChildIndex children;
                const size_t fields = v.fields.size();
                if ((fields != 0 && v.count > b.size / fields) || !children.Build(b, v, v.count * fields)) {
                    return Fail(error, path + ": damaged");
                }
                return Shaped(v.dims, v.count, [&](uint64_t k) {
                    text_ += '{';
                    for (size_t f = 0; f < fields; ++f) {
                        if (f > 0) text_ += ',';
                        String(v.fields[f]);
                        text_ += ':';
                        ArrayView child;
                        ParseArrayView(b, children.At(k * fields + f), child);
                        const std::string part = path + (v.count > 1 ? "(" + std::to_string(k + 1) + ")" : "") + "." + v.fields[f];
                        if (!Value(b, child, part, depth + 1, error)) return false;
                    }
                    text_ += '}';
                    return true;
                });
            }
            case mxOPAQUE: return Object(b, v, path, depth, error);
            default: {
                // Inside the subsystem data an object is held by its plain reference.
                ObjectRef ref;
                const bool inSubsystem = whole_->Loaded() != nullptr && b.data == whole_->Loaded()->bytes().data;
                if (inSubsystem && v.cls == mxUINT32 && ParseObjectRef(b, v, ref)) return RefValue(ref, path, depth + 1, error);
                if (v.cls >= mxDOUBLE && v.cls <= mxUINT64) return Numbers(b, v, error) || Fail(error, path + ": " + error);
                return Fail(error, path + ": a value of an unknown class");
            }
        }
    }

    const Subsystem* Objects(std::string& error) { return whole_->Objects(error); }

    // The JSON text of each element of a value object (string, datetime,
    // duration, categorical) and its shape. Made once per object: a table's
    // rows ask for one element each.
    struct ValueTexts {
        std::vector<uint64_t> dims;
        std::vector<std::string> texts;
    };

    // 1: `out` holds the object's values; 0: it is no value object; -1: damaged (error set).
    int MakeValueTexts(const Subsystem& sub, const std::string& cls, const std::vector<Subsystem::Property>& props,
                       const std::string& path, ValueTexts& out, std::string& error) {
        ValueObject values;
        const int made = ReadValueObject(sub, cls, props, path, values, error);
        if (made <= 0) return made;
        out.dims = values.dims;
        for (uint64_t k = 0; k < values.count; ++k) {
            out.texts.emplace_back();
            if (values.Missing(k)) {
                out.texts.back() = "null";
            } else {
                AppendJsonString(values.Text(k), out.texts.back());
            }
        }
        return 1;
    }

    // A table's column, read once for all its rows.
    struct Column {
        ArrayView view;
        ChildIndex children;            // a cell's elements
        std::vector<uint32_t> units;    // a char matrix's code units
    };

    // Row `row` of a table's column.
    bool Cell(const Bytes& b, const Column& c, uint64_t row, uint64_t rows, const std::string& path, int depth,
              std::string& error) {
        const ArrayView& column = c.view;
        ObjectRef ref;
        if (ParseObjectRef(b, column, ref)) return RefValue(ref, path, depth, error, static_cast<int64_t>(row));
        if (column.cls == mxCELL) {
            ArrayView child;
            if (row >= c.children.size() || !ParseArrayView(b, c.children.At(row), child)) return Fail(error, path + ": damaged");
            return Value(b, child, path, depth + 1, error);
        }
        if (column.cls >= mxDOUBLE && column.cls <= mxUINT64) {
            if (column.complex) return Fail(error, path + ": complex numbers (jsonencode takes none)");
            const uint64_t width = rows == 0 ? 0 : column.count / rows;
            auto one = [&](uint64_t k) {
                double d = 0;
                if (!ViewNumber(b, column, false, row + k * rows, d)) return false;
                if (column.logical) text_ += d != 0 ? "true" : "false";
                else Number(d);
                return true;
            };
            if (width == 1) return one(0) || Fail(error, path + ": damaged");
            text_ += '[';
            for (uint64_t k = 0; k < width; ++k) {
                if (k > 0) text_ += ',';
                if (!one(k)) return Fail(error, path + ": damaged");
            }
            text_ += ']';
            return true;
        }
        if (column.cls == mxCHAR) {
            std::vector<uint32_t> mine;
            for (uint64_t k = 0; rows != 0 && k < column.count / rows && row + k * rows < c.units.size(); ++k) {
                mine.push_back(c.units[row + k * rows]);
            }
            String(Utf8OfUnits(mine));
            return true;
        }
        return Fail(error, path + ": a table column of a kind not written as JSON");
    }

    // A table as one object per row; a timetable's rows begin with their
    // time, under the rows' dimension name (as its table's would).
    bool Table(const Subsystem& sub, const std::string& cls, const std::vector<Subsystem::Property>& props, const std::string& path,
               int depth, std::string& error) {
        const Bytes& b = sub.bytes();
        TabularParts parts;
        std::vector<size_t> columnAt, labels;
        if (!ReadTabular(sub, cls, props, parts) || !ChildPositions(b, parts.data, parts.data.count, columnAt) ||
            !ChildPositions(b, parts.names, parts.names.count, labels)) {
            return Fail(error, path + ": damaged " + cls);
        }
        std::vector<std::string> keys;
        std::vector<Column> columns;
        if (parts.timetable) {
            keys.push_back(parts.labelHeading);
            columns.push_back(Column{parts.labels, {}, {}});
        }
        for (size_t c = 0; c < columnAt.size(); ++c) {
            ArrayView l;
            std::vector<uint32_t> units;
            if (!ParseArrayView(b, labels[c], l) || !CodeUnits(b, l, units)) return Fail(error, path + ": damaged " + cls);
            keys.push_back(Utf8OfUnits(units));
            Column& column = columns.emplace_back();
            if (!ParseArrayView(b, columnAt[c], column.view) ||
                (column.view.cls == mxCELL && !column.children.Build(b, column.view, column.view.count)) ||
                (column.view.cls == mxCHAR && !CodeUnits(b, column.view, column.units))) {
                return Fail(error, path + ": damaged " + cls);
            }
        }
        const uint64_t n = parts.rows;
        text_ += '[';
        for (uint64_t r = 0; r < n; ++r) {
            if (r > 0) text_ += ',';
            text_ += '{';
            for (size_t c = 0; c < columns.size(); ++c) {
                if (c > 0) text_ += ',';
                String(keys[c]);
                text_ += ':';
                if (!Cell(b, columns[c], r, n, path + "." + keys[c], depth + 1, error)) return false;
            }
            text_ += '}';
            if (!Flush(false)) return false;
        }
        text_ += ']';
        return true;
    }

    // Objects by reference: value objects as their values, a table as its
    // rows, any other object as its properties.
    bool RefValue(const ObjectRef& ref, const std::string& path, int depth, std::string& error, int64_t row = -1) {
        if (depth > kMaxDepth) return Fail(error, path + ": nested too deep");
        const Subsystem* sub = Objects(error);
        if (sub == nullptr) return Fail(error, path + ": its objects cannot be read (" + error + ")");
        auto one = [&](uint64_t k) {
            if (k >= ref.ids.size()) return false;
            auto known = values_.find(ref.ids[k]);
            std::string cls;
            std::vector<Subsystem::Property> props;
            if (known == values_.end()) {
                if (!sub->ClassName(ref.ids[k], cls, error) || !sub->Properties(ref.ids[k], props, error)) {
                    return Fail(error, path + ": " + error);
                }
                ValueTexts texts;
                const int made = MakeValueTexts(*sub, cls, props, path, texts, error);
                if (made < 0) return false;
                if (made > 0) known = values_.emplace(ref.ids[k], std::move(texts)).first;
            }
            if (known != values_.end()) {
                const std::vector<std::string>& texts = known->second.texts;
                if (row >= 0 && ref.ids.size() == 1) {
                    if (static_cast<uint64_t>(row) >= texts.size()) return Fail(error, path + ": damaged");
                    return text_ += texts[static_cast<size_t>(row)], true;
                }
                return Shaped(known->second.dims, texts.size(), [&](uint64_t e) { return text_ += texts[e], true; });
            }
            if (IsTabular(cls)) return Table(*sub, cls, props, path, depth, error);
            text_ += '{';
            bool first = true;
            for (const Subsystem::Property& p : props) {
                if (!first) text_ += ',';
                first = false;
                String(p.name);
                text_ += ':';
                if (!p.hasValue) {
                    String(p.text);
                    continue;
                }
                ArrayView value;
                if (!ParseArrayView(sub->bytes(), p.valuePos, value)) return Fail(error, path + "." + p.name + ": damaged");
                if (!Value(sub->bytes(), value, path + "." + p.name, depth + 1, error)) return false;
            }
            text_ += '}';
            return true;
        };
        if (ref.ids.size() == 1) return one(0);
        return Shaped(ref.dims, ref.ids.size(), one);
    }

    bool Object(const Bytes& b, const ArrayView& v, const std::string& path, int depth, std::string& error) {
        ArrayView content;
        ObjectRef ref;
        if (!ParseArrayView(b, v.contentPos, content) || !ParseObjectRef(b, content, ref)) {
            return Fail(error, path + ": an object of a kind jsonencode does not take (" + v.className + ")");
        }
        return RefValue(ref, path, depth, error);
    }

    const mxArray& array_;
    std::shared_ptr<WholeVariable> whole_;
    const std::function<bool(const std::string&)>& put_;
    std::string text_;
    bool stopped_ = false;
    uint64_t pieces_ = 0;
    size_t furthest_ = 0;       // the furthest element of the variable's bytes written
    double* done_ = nullptr;
    std::map<uint32_t, ValueTexts> values_;   // by object id
};

}  // namespace

void AppendJsonString(const std::string& utf8, std::string& out) {
    out += '"';
    for (unsigned char c : utf8) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (c < 0x20) {
                    static const char kHex[] = "0123456789abcdef";
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 15];
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

bool WriteContainerJson(const mxArray* array, const std::function<bool(const std::string&)>& put, std::string& error,
                        JsonRun* run) {
    error.clear();
    if (array == nullptr) return false;
    try {
        JsonWriter writer(*array, put, run != nullptr ? run->whole : nullptr);
        if (run != nullptr) {
            writer.whole()->PollWith(run->keepGoing);
            writer.TellDoneIn(run->done);
            run->whole = writer.whole();
        }
        if (writer.Run(error)) return true;
        if (run != nullptr) run->holdFailure = writer.whole()->holdFailure();
        return false;
    } catch (const std::bad_alloc&) {
        error = "not enough memory";
        return false;
    }
}

}  // namespace matlib

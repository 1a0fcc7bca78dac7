#include "objects/json_text.h"

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
#include "objects/time_text.h"
#include "os/text_encoding.h"

namespace matlib {
namespace {

using namespace format;

// A variable is read whole into memory to be written: larger ones are refused.
constexpr uint64_t kMostElementBytes = 256ull * 1024 * 1024;
constexpr size_t kPiece = 64 * 1024;   // text handed on at a time
constexpr int kMaxDepth = 256;

class JsonWriter {
public:
    JsonWriter(const mxArray& array, const std::function<bool(const std::string&)>& put) : array_(array), put_(put) {}

    bool Run(std::string& error) {
        if (array_.format == nullptr || array_.format->wholeElement == nullptr) {
            return Fail(error, "its file's version (JSON of structs, cells and objects is written from level-5 "
                               "MAT-files so far; convert the file to version 7 first)");
        }
        std::vector<uint8_t> element;
        bool swapped = false;
        if (!array_.format->wholeElement(array_, kMostElementBytes, element, swapped)) {
            return Fail(error, array_.data.elementEnd > kMostElementBytes ? "it is larger than 256 MB" : "it cannot be read");
        }
        const Bytes bytes{element.data(), element.size(), swapped};
        ArrayView top;
        if (!ParseArrayView(bytes, 0, top)) return Fail(error, "it is damaged");
        if (!Value(bytes, top, array_.name, 0, error)) return false;
        return Flush(true) || (error.clear(), false);
    }

private:
    static bool Fail(std::string& error, std::string reason) {
        error = std::move(reason);
        return false;
    }

    bool Flush(bool last) {
        if (!stopped_ && (last || text_.size() >= kPiece) && !text_.empty()) {
            stopped_ = !put_(text_);
            text_.clear();
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

    // The code units of a character array, in storage order.
    static bool Units(const Bytes& b, const ArrayView& v, std::vector<uint32_t>& out) {
        const size_t size = DataTypeSize(v.realType);
        if (size == 0) return v.realBytes == 0;
        const uint8_t* p = b.data + v.realPos;
        for (size_t i = 0; i < v.realBytes / size; ++i) {
            out.push_back(size == 1 ? p[i] : size == 2 ? Load16(p + 2 * i, b.swapped) : Load32(p + 4 * i, b.swapped));
        }
        return true;
    }

    static std::string Utf8(const std::vector<uint32_t>& units) {
        std::string out;
        for (size_t i = 0; i < units.size(); ++i) {
            uint32_t u = units[i];
            if (u >= 0xD800 && u < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
                u = 0x10000 + ((u - 0xD800) << 10) + (units[++i] - 0xDC00);
            }
            if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) u = 0xFFFD;
            platform::AppendUtf8(u, &out);
        }
        return out;
    }

    bool Chars(const Bytes& b, const ArrayView& v, std::string& error) {
        std::vector<uint32_t> units;
        if (!Units(b, v, units) || units.size() < v.count) return Fail(error, "damaged characters");
        const uint64_t rows = v.dims.empty() ? 0 : v.dims[0];
        if (v.dims.size() > 2) return Fail(error, "a character array of more than two dimensions");
        if (rows <= 1 || v.count == 0) return String(Utf8(units)), true;
        const uint64_t columns = v.count / rows;
        text_ += '[';
        for (uint64_t r = 0; r < rows; ++r) {
            std::vector<uint32_t> row;
            for (uint64_t c = 0; c < columns; ++c) row.push_back(units[r + c * rows]);
            if (r > 0) text_ += ',';
            String(Utf8(row));
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

    // The children of a cell or struct: their positions in storage order.
    static bool Children(const Bytes& b, const ArrayView& v, uint64_t count, std::vector<size_t>& out) {
        size_t at = v.childrenPos;
        for (uint64_t i = 0; i < count; ++i) {
            ArrayView child;
            if (at >= v.end || !ParseArrayView(b, at, child) || child.next > v.end) return false;
            out.push_back(at);
            at = child.next;
        }
        return true;
    }

    bool Value(const Bytes& b, const ArrayView& v, const std::string& path, int depth, std::string& error) {
        if (depth > kMaxDepth) return Fail(error, path + ": nested too deep");
        switch (v.cls) {
            case 0: text_ += "[]"; return true;
            case mxCHAR: return Chars(b, v, error) || Fail(error, path + ": " + error);
            case mxSPARSE: return Fail(error, path + ": a sparse matrix (jsonencode takes none)");
            case mxFUNCTION: return Fail(error, path + ": a function handle (jsonencode takes none)");
            case mxCELL: {
                std::vector<size_t> children;
                if (!Children(b, v, v.count, children)) return Fail(error, path + ": damaged");
                return Shaped(v.dims, v.count, [&](uint64_t k) {
                    ArrayView child;
                    ParseArrayView(b, children[k], child);
                    return Value(b, child, path + "{" + std::to_string(k + 1) + "}", depth + 1, error);
                }, true);
            }
            case mxSTRUCT: case mxOBJECT: {
                std::vector<size_t> children;
                const size_t fields = v.fields.size();
                if ((fields != 0 && v.count > b.size / fields) || !Children(b, v, v.count * fields, children)) {
                    return Fail(error, path + ": damaged");
                }
                return Shaped(v.dims, v.count, [&](uint64_t k) {
                    text_ += '{';
                    for (size_t f = 0; f < fields; ++f) {
                        if (f > 0) text_ += ',';
                        String(v.fields[f]);
                        text_ += ':';
                        ArrayView child;
                        ParseArrayView(b, children[k * fields + f], child);
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
                const bool inSubsystem = subsystem_ && b.data == subsystem_->bytes().data;
                if (inSubsystem && v.cls == mxUINT32 && ParseObjectRef(b, v, ref)) return RefValue(ref, path, depth + 1, error);
                if (v.cls >= mxDOUBLE && v.cls <= mxUINT64) return Numbers(b, v, error) || Fail(error, path + ": " + error);
                return Fail(error, path + ": a value of an unknown class");
            }
        }
    }

    const Subsystem* Objects(std::string& error) {
        if (loaded_) return subsystem_.get();
        loaded_ = true;
        std::vector<uint8_t> payload;
        const char* reason = nullptr;
        auto subsystem = std::make_unique<Subsystem>();
        if (!array_.format->subsystemPayload(array_, payload, reason)) return Fail(error, reason), nullptr;
        if (!subsystem->Load(std::move(payload), error)) return nullptr;
        subsystem_ = std::move(subsystem);
        return subsystem_.get();
    }

    static bool Property(const Subsystem& sub, const std::vector<Subsystem::Property>& props, const char* name, ArrayView& out) {
        for (const Subsystem::Property& p : props) {
            if (p.name == name && p.hasValue) return ParseArrayView(sub.bytes(), p.valuePos, out);
        }
        return false;
    }

    std::string CharProperty(const Subsystem& sub, const std::vector<Subsystem::Property>& props, const char* name) {
        ArrayView v;
        std::vector<uint32_t> units;
        return Property(sub, props, name, v) && v.cls == mxCHAR && Units(sub.bytes(), v, units) ? Utf8(units) : "";
    }

    // The strings of a string object: a version, the number of dimensions,
    // the dimensions, each string's length in UTF-16 units (all ones: a
    // missing string), then the units, four to a word.
    bool Strings(const Bytes& b, const ArrayView& v, std::vector<uint64_t>& dims, std::vector<std::string>& out,
                 std::vector<bool>& missing) {
        uint64_t ndims = 0, count = 1, word = 0;
        if (v.realType != miUINT64 || !ViewUInt64(b, v, 1, ndims) || ndims > kMaxDimensions) return false;
        for (uint64_t i = 0; i < ndims; ++i) {
            if (!ViewUInt64(b, v, 2 + i, word) || __builtin_mul_overflow(count, word, &count)) return false;
            dims.push_back(word);
        }
        const uint64_t lengthsAt = 2 + ndims;
        if (count > v.realBytes / 8 || lengthsAt + count > v.realBytes / 8) return false;
        const size_t textPos = v.realPos + static_cast<size_t>((lengthsAt + count) * 8);
        const uint64_t held = (v.realPos + v.realBytes - textPos) / 2;
        uint64_t before = 0;
        for (uint64_t i = 0; i < count; ++i) {
            uint64_t length = 0;
            if (!ViewUInt64(b, v, lengthsAt + i, length)) return false;
            missing.push_back(length == UINT64_MAX);
            if (length == UINT64_MAX) length = 0;
            if (before > held || length > held - before) return false;
            std::vector<uint32_t> units;
            for (uint64_t u = 0; u < length; ++u) units.push_back(Load16(b.data + textPos + 2 * (before + u), b.swapped));
            out.push_back(Utf8(units));
            before += length;
        }
        return true;
    }

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
        const Bytes& b = sub.bytes();
        auto json = [](const std::string& text) {
            std::string quoted;
            AppendJsonString(text, quoted);
            return quoted;
        };
        ArrayView v;
        if (cls == "string" && Property(sub, props, "any", v)) {
            std::vector<std::string> strings;
            std::vector<bool> missing;
            if (!Strings(b, v, out.dims, strings, missing)) return Fail(error, path + ": damaged string"), -1;
            for (size_t k = 0; k < strings.size(); ++k) out.texts.push_back(missing[k] ? "null" : json(strings[k]));
            return 1;
        }
        const bool datetime = cls == "datetime" && Property(sub, props, "data", v);
        const bool duration = !datetime && cls == "duration" && Property(sub, props, "millis", v);
        if (datetime || duration) {
            const std::string fmt = CharProperty(sub, props, "fmt"), tz = datetime ? CharProperty(sub, props, "tz") : "";
            out.dims = v.dims;
            for (uint64_t k = 0; k < v.count; ++k) {
                double ms = 0, extra = 0;
                if (!ViewNumber(b, v, false, k, ms)) return Fail(error, path + ": damaged " + cls), -1;
                if (v.complex) ViewNumber(b, v, true, k, extra);
                out.texts.push_back(std::isnan(ms) ? "null" : json(datetime ? DatetimeText(ms, extra, fmt, tz) : DurationText(ms, fmt)));
            }
            return 1;
        }
        ArrayView names, codes;
        if (cls == "categorical" && Property(sub, props, "categoryNames", names) && Property(sub, props, "codes", codes)) {
            std::vector<size_t> labels;
            std::vector<std::string> labelTexts;
            if (names.cls != mxCELL || !Children(b, names, names.count, labels)) return Fail(error, path + ": damaged categorical"), -1;
            for (size_t at : labels) {
                ArrayView label;
                std::vector<uint32_t> units;
                if (!ParseArrayView(b, at, label) || !Units(b, label, units)) return Fail(error, path + ": damaged categorical"), -1;
                labelTexts.push_back(json(Utf8(units)));
            }
            out.dims = codes.dims;
            for (uint64_t k = 0; k < codes.count; ++k) {
                double code = 0;
                if (!ViewNumber(b, codes, false, k, code)) return Fail(error, path + ": damaged categorical"), -1;
                const bool defined = code >= 1 && code <= static_cast<double>(labelTexts.size());
                out.texts.push_back(defined ? labelTexts[static_cast<size_t>(code) - 1] : "null");
            }
            return 1;
        }
        return 0;
    }

    // A table's column, read once for all its rows.
    struct Column {
        ArrayView view;
        std::vector<size_t> children;   // a cell's elements
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
            if (row >= c.children.size() || !ParseArrayView(b, c.children[row], child)) return Fail(error, path + ": damaged");
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
            String(Utf8(mine));
            return true;
        }
        return Fail(error, path + ": a table column of a kind not written as JSON");
    }

    bool Table(const Subsystem& sub, const std::vector<Subsystem::Property>& props, const std::string& path, int depth,
               std::string& error) {
        const Bytes& b = sub.bytes();
        ArrayView data, names, nrows;
        std::vector<size_t> columnAt, labels;
        double rows = 0;
        if (!Property(sub, props, "data", data) || !Property(sub, props, "varnames", names) ||
            !Property(sub, props, "nrows", nrows) || !ViewNumber(b, nrows, false, 0, rows) || data.cls != mxCELL ||
            names.cls != mxCELL || !Children(b, data, data.count, columnAt) || !Children(b, names, names.count, labels) ||
            columnAt.size() != labels.size() || !(rows >= 0 && rows < 1e15)) {
            return Fail(error, path + ": damaged table");
        }
        std::vector<std::string> keys;
        std::vector<Column> columns(columnAt.size());
        for (size_t c = 0; c < columnAt.size(); ++c) {
            ArrayView l;
            std::vector<uint32_t> units;
            if (!ParseArrayView(b, labels[c], l) || !Units(b, l, units)) return Fail(error, path + ": damaged table");
            keys.push_back(Utf8(units));
            Column& column = columns[c];
            if (!ParseArrayView(b, columnAt[c], column.view) ||
                (column.view.cls == mxCELL && !Children(b, column.view, column.view.count, column.children)) ||
                (column.view.cls == mxCHAR && !Units(b, column.view, column.units))) {
                return Fail(error, path + ": damaged table");
            }
        }
        const uint64_t n = static_cast<uint64_t>(rows);
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
            if (cls == "table") return Table(*sub, props, path, depth, error);
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
    const std::function<bool(const std::string&)>& put_;
    std::string text_;
    bool stopped_ = false;
    bool loaded_ = false;
    std::unique_ptr<Subsystem> subsystem_;
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

bool WriteContainerJson(const mxArray* array, const std::function<bool(const std::string&)>& put, std::string& error) {
    error.clear();
    if (array == nullptr) return false;
    try {
        return JsonWriter(*array, put).Run(error);
    } catch (const std::bad_alloc&) {
        error = "not enough memory";
        return false;
    }
}

}  // namespace matlib

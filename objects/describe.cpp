// The text of what structs, cells and objects hold (mxDescribeValue): fields,
// elements, and objects' properties decoded from the subsystem data.
//
// The variable is read from its first bytes only (kMaxShownElementBytes) and
// the subsystem data is decoded only when an object is met and only as far
// as the text goes; the text stops at its room, and values nest no deeper
// than kMaxShownNesting, which also ends cycles of handle objects.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "codec/mat_format.h"
#include "codec/readers.h"
#include "matlib/mat.h"
#include "objects/subsystem.h"
#include "objects/table_grid.h"
#include "objects/time_text.h"
#include "objects/value_objects.h"
#include "os/text_encoding.h"

namespace matlib {
namespace {

using namespace format;

// Table rows shown: as many as the elements of a cell.
constexpr uint64_t kShownRows = kShownChildren;
// A table variable of strings or cells this long shows its first column only.
constexpr uint64_t kMaxWalkedRows = 65536;

std::string DimsText(const std::vector<uint64_t>& dims) {
    std::string text = "[";
    for (size_t i = 0; i < dims.size(); ++i) text += (i ? "x" : "") + std::to_string(dims[i]);
    return text + "]";
}

// Storage index k of an array as MATLAB's subscripts: "(2,1)".
std::string SubscriptText(const std::vector<uint64_t>& dims, uint64_t k) {
    std::string text = "(";
    for (size_t i = 0; i < dims.size(); ++i) {
        const bool last = i + 1 == dims.size();
        const uint64_t sub = last || dims[i] == 0 ? k : k % dims[i];
        if (!last && dims[i] != 0) k /= dims[i];
        text += (i ? "," : "") + std::to_string(sub + 1);
    }
    return text + ")";
}

std::string NumberText(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

const char* ClassText(uint8_t cls, bool logical) {
    static const char* const kNames[] = {"[]", "cell", "struct", "object", "char", "sparse", "double", "single",
                                         "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64",
                                         "function_handle", "opaque"};
    if (logical && (cls == mxUINT8 || cls == mxSPARSE)) return "logical";
    return cls < sizeof kNames / sizeof kNames[0] ? kNames[cls] : "unknown";
}

class Describer {
public:
    Describer(const mxArray& array, size_t room) : array_(array), room_(room) {}

    std::string text;

    void Run(const Bytes& bytes, const ArrayView& top) { Value(bytes, top, "", 0, true); }

private:
    bool Full() const { return text.size() >= room_; }

    void Line(size_t depth, const std::string& line) {
        if (Full()) return;
        text += '\t';
        text.append(2 * depth, ' ');
        text += line;
        text += '\n';
    }

    // Loads the subsystem data on first use; null (and loadError_) when it
    // cannot be had.
    const Subsystem* GetSubsystem() {
        if (loaded_) return subsystem_.get();
        loaded_ = true;
        auto subsystem = std::make_unique<Subsystem>();
        // The file's format gives it in the level-5 form.
        HeldBytes payload;
        const char* reason = nullptr;
        if (!array_.format->subsystemPayload(array_, kMaxDecodedSubsystemBytes, payload, reason)) {
            loadError_ = reason;
            return nullptr;
        }
        if (!subsystem->Load(std::move(payload), loadError_)) return nullptr;
        subsystem_ = std::move(subsystem);
        return subsystem_.get();
    }

    // The short text of a numeric or char array, or empty when it has none.
    std::string ShortValue(const Bytes& b, const ArrayView& v) {
        if (v.cls == 0) return "[]";
        if (v.cls == mxCHAR) {
            if (v.dims.size() > 2 || (v.dims.size() == 2 && v.dims[0] > 1)) return "";
            std::string s = ViewText(b, v, kShortText);
            return "'" + s + (v.count > kShortText ? "...'" : "'");
        }
        // A matrix in MATLAB's own syntax, row by row ("[1 2;3 4]"); one of
        // more dimensions has no such text: its class and size say it.
        if (v.cls < mxDOUBLE || v.cls > mxUINT64 || v.count > kShortArray || v.count == 0 || v.dims.size() != 2) return "";
        const uint64_t rows = v.dims[0];
        std::string out = v.count == 1 ? "" : "[";
        for (uint64_t shown = 0; shown < v.count; ++shown) {
            // Storage is column by column: the shown element's place in it.
            const uint64_t k = shown % v.dims[1] * rows + shown / v.dims[1];
            double re = 0, im = 0;
            if (!ViewNumber(b, v, false, k, re)) return "(damaged data)";
            if (shown) out += shown % v.dims[1] == 0 ? ";" : " ";
            if (v.cls == mxUINT64) {
                uint64_t exact = 0;
                ViewUInt64(b, v, k, exact);
                out += std::to_string(exact);
            } else if (v.cls == mxINT64) {
                // Exact, negative ones too (ViewNumber has checked that element k is there).
                out += std::to_string(LoadInt64(b.data + v.realPos + k * DataTypeSize(v.realType), v.realType, b.swapped));
            } else {
                out += NumberText(re);
            }
            if (v.complex && ViewNumber(b, v, true, k, im)) out += (im < 0 ? " - " : " + ") + NumberText(std::fabs(im)) + "i";
        }
        return v.count == 1 ? out : out + "]";
    }

    // One element of a column as a short text (table rows).
    std::string ElementText(const Bytes& b, const ArrayView& v, uint64_t row, size_t depth) {
        ObjectRef ref;
        if (ParseObjectRef(b, v, ref)) return ObjectElementText(ref, row, depth);
        if (v.cls == mxCELL) {
            size_t at = v.childrenPos;
            ArrayView child;
            for (uint64_t k = 0; k <= row; ++k) {
                if (k >= v.count || !ParseArrayView(b, at, child) || child.end > v.end) return "?";
                at = child.next;
            }
            if (child.cls == mxCHAR) return ViewText(b, child, kShortText);
            const std::string s = ShortValue(b, child);
            return s.empty() ? ClassText(child.cls, child.logical) + std::string(" ") + DimsText(child.dims) : s;
        }
        double re = 0;
        if (v.cls >= mxDOUBLE && v.cls <= mxUINT64 && ViewNumber(b, v, false, row, re)) return NumberText(re);
        return "?";
    }

    // The subsystem value of a property, or null.
    bool PropertyView(const std::vector<Subsystem::Property>& props, const char* name, ArrayView& out) {
        for (const Subsystem::Property& p : props) {
            if (p.name == name && p.hasValue) return ParseArrayView(subsystem_->bytes(), p.valuePos, out);
        }
        return false;
    }

    // A char property's text ("" when it has none).
    std::string CharProperty(const std::vector<Subsystem::Property>& props, const char* name) {
        ArrayView v;
        return PropertyView(props, name, v) && v.cls == mxCHAR ? ViewText(subsystem_->bytes(), v, kShortText) : "";
    }

    // Element `row` of a string, datetime, duration or categorical object as text.
    std::string ObjectElementText(const ObjectRef& ref, uint64_t row, size_t depth) {
        const Subsystem* sub = GetSubsystem();
        if (sub == nullptr || ref.ids.empty() || depth > kMaxShownNesting) return "?";
        std::string cls, error;
        std::vector<Subsystem::Property> props;
        if (!sub->ClassName(ref.ids[0], cls, error) || !sub->Properties(ref.ids[0], props, error)) return "?";
        const Bytes& b = sub->bytes();
        ArrayView v;
        if (cls == "string" && PropertyView(props, "any", v)) {
            std::vector<std::string> strings;
            std::vector<bool> missing;
            if (!StringsOf(b, v, row + 1, strings, missing) || row >= strings.size()) return "?";
            return missing[row] ? "<missing>" : "\"" + strings[row] + "\"";
        }
        if (cls == "datetime" && PropertyView(props, "data", v)) {
            double ms = 0, extraMs = 0;
            if (!ViewNumber(b, v, false, row, ms)) return "?";
            if (v.complex) ViewNumber(b, v, true, row, extraMs);
            return DatetimeText(ms, extraMs, CharProperty(props, "fmt"), CharProperty(props, "tz"));
        }
        if (cls == "duration" && PropertyView(props, "millis", v)) {
            double ms = 0;
            return ViewNumber(b, v, false, row, ms) ? DurationText(ms, CharProperty(props, "fmt")) : "?";
        }
        if (cls == "categorical") {
            ArrayView names, codes;
            double code = 0;
            if (!PropertyView(props, "categoryNames", names) || !PropertyView(props, "codes", codes) ||
                !ViewNumber(b, codes, false, row, code)) {
                return "?";
            }
            if (!(code >= 1 && code <= static_cast<double>(names.count))) return "<undefined>";
            return ElementText(b, names, static_cast<uint64_t>(code) - 1, depth + 1);
        }
        return cls;
    }

    // The texts of a string array (the uint64 data of class "string": a
    // version, the number of dimensions, the dimensions, each string's length
    // in UTF-16 units, all ones for a missing string, then the units, four to
    // a word). At most `wanted`.
    static bool StringsOf(const Bytes& b, const ArrayView& v, uint64_t wanted, std::vector<std::string>& out,
                          std::vector<bool>& missing) {
        uint64_t ndims = 0, count = 1, word = 0;
        if (v.realType != miUINT64 || !ViewUInt64(b, v, 1, ndims) || ndims > kMaxDimensions) return false;
        for (uint64_t i = 0; i < ndims; ++i) {
            if (!ViewUInt64(b, v, 2 + i, word) || __builtin_mul_overflow(count, word, &count)) return false;
        }
        const uint64_t lengthsAt = 2 + ndims;
        // The lengths must lie within the data, and the text after them.
        if (count > v.realBytes / 8 || lengthsAt + count > v.realBytes / 8) return false;
        const size_t textPos = v.realPos + static_cast<size_t>((lengthsAt + count) * 8);
        const uint64_t unitsHeld = (v.realPos + v.realBytes - textPos) / 2;
        uint64_t unitsBefore = 0;
        for (uint64_t i = 0; i < count && i < wanted; ++i) {
            uint64_t length = 0;
            if (!ViewUInt64(b, v, lengthsAt + i, length)) return false;
            missing.push_back(length == UINT64_MAX);
            if (length == UINT64_MAX) length = 0;
            if (unitsBefore > unitsHeld || length > unitsHeld - unitsBefore) return false;
            ArrayView text;
            text.realType = miUTF16;
            text.realPos = textPos + static_cast<size_t>(2 * unitsBefore);
            text.realBytes = static_cast<size_t>(2 * length);
            out.push_back(ViewText(b, text, kShortText));
            unitsBefore += length;
        }
        return true;
    }

    void Object(const ObjectRef& ref, const std::string& label, const std::string& hint, size_t depth) {
        const Subsystem* sub = GetSubsystem();
        std::string cls = hint, error;
        if (sub == nullptr) {
            Line(depth, label + cls + " " + DimsText(ref.dims) + " (" + loadError_ + ")");
            return;
        }
        if (ref.ids.empty()) {
            Line(depth, label + cls + " " + DimsText(ref.dims));
            return;
        }
        if (!sub->ClassName(ref.ids[0], cls, error)) {
            Line(depth, label + hint + " " + DimsText(ref.dims) + " (error: " + error + ")");
            return;
        }
        const std::string head = label + cls + " " + DimsText(ref.dims);
        if (cls == "string" || cls == "datetime" || cls == "duration" || cls == "categorical") {
            // One object holds the whole array: its size is that of its data.
            std::vector<uint64_t> dims = ref.dims;
            uint64_t count = 0;
            DataSize(ref.ids[0], cls, dims, count);
            const std::string sized = label + cls + " " + DimsText(dims);
            std::string values;
            for (uint64_t k = 0; k < count && k < kShortArray; ++k) {
                values += (k ? ", " : "") + ObjectElementText(ref, k, depth);
            }
            if (count > kShortArray) values += ", ...";
            Line(depth, count == 0 ? sized : sized + " = " + values);
            if (cls == "categorical") CategoryLine(ref, depth + 1);
            return;
        }
        if (IsTabular(cls)) {
            Table(ref.ids[0], cls, label, depth);
            return;
        }
        Line(depth, head);
        if (depth >= kMaxShownNesting) return;
        for (size_t k = 0; k < ref.ids.size() && k < kShownChildren && !Full(); ++k) {
            std::vector<Subsystem::Property> props;
            const size_t inner = ref.ids.size() > 1 ? depth + 2 : depth + 1;
            if (ref.ids.size() > 1) Line(depth + 1, SubscriptText(ref.dims, k));
            if (!sub->Properties(ref.ids[k], props, error)) {
                Line(inner, "(error: " + error + ")");
                continue;
            }
            for (const Subsystem::Property& p : props) {
                if (Full()) return;
                ArrayView v;
                if (!p.hasValue) {
                    Line(inner, p.name + " = " + p.text);
                } else if (ParseArrayView(sub->bytes(), p.valuePos, v)) {
                    Value(sub->bytes(), v, p.name + " = ", inner, false);
                } else {
                    Line(inner, p.name + " = (damaged value)");
                }
            }
        }
    }

    // The dimensions and element count of a string, datetime, duration or categorical
    // object, from its data; left as they are when it cannot be read.
    void DataSize(uint32_t id, const std::string& cls, std::vector<uint64_t>& dims, uint64_t& count) {
        std::vector<Subsystem::Property> props;
        std::string error;
        ArrayView v;
        const Bytes& b = subsystem_->bytes();
        const char* name = cls == "string" ? "any" : cls == "datetime" ? "data" : cls == "duration" ? "millis" : "codes";
        if (!subsystem_->Properties(id, props, error) || !PropertyView(props, name, v)) return;
        if (cls != "string") {
            dims = v.dims;
            count = v.count;
            return;
        }
        uint64_t ndims = 0, d = 0, product = 1;
        if (!ViewUInt64(b, v, 1, ndims) || ndims > kMaxDimensions) return;
        std::vector<uint64_t> found;
        for (uint64_t i = 0; i < ndims; ++i) {
            if (!ViewUInt64(b, v, 2 + i, d) || __builtin_mul_overflow(product, d, &product)) return;
            found.push_back(d);
        }
        dims = found;
        count = product;
    }

    void CategoryLine(const ObjectRef& ref, size_t depth) {
        std::vector<Subsystem::Property> props;
        std::string error;
        ArrayView names;
        if (!subsystem_->Properties(ref.ids[0], props, error) || !PropertyView(props, "categoryNames", names)) return;
        std::string line = "categories: ";
        for (uint64_t k = 0; k < names.count && k < kShownChildren; ++k) {
            line += (k ? ", " : "") + ElementText(subsystem_->bytes(), names, k, depth);
        }
        Line(depth, line);
    }

    // A table: its size (rows by variables), then its first rows as
    // MATLAB's grid of named columns, with the row names first when it has them.
    void Table(uint32_t id, const std::string& cls, const std::string& label, size_t depth) {
        std::vector<Subsystem::Property> props;
        std::string error;
        TabularParts parts;
        const Bytes& b = subsystem_->bytes();
        if (!subsystem_->Properties(id, props, error) || !ReadTabular(*subsystem_, cls, props, parts)) {
            Line(depth, label + cls + " (error: no variables" + (error.empty() ? "" : ": " + error) + ")");
            return;
        }
        const ArrayView& names = parts.names;
        const ArrayView& data = parts.data;
        const uint64_t rows = parts.rows;
        Line(depth, label + cls + " " + DimsText({rows, names.count}));
        const uint64_t shown = std::min(rows, kShownRows);
        std::vector<std::string> rowNames;
        std::vector<GridColumn> columns;
        if (parts.timetable) {
            // The row times stand first, headed by the rows' dimension name.
            columns.push_back(Column(b, parts.labels, parts.labelHeading, rows, shown, depth));
        } else if (parts.labelled && parts.labels.count == rows) {
            for (uint64_t r = 0; r < shown; ++r) rowNames.push_back(ElementText(b, parts.labels, r, depth));
        }
        const size_t labelColumns = columns.size();
        size_t at = data.childrenPos;
        for (uint64_t k = 0; k < data.count && k < kShownChildren; ++k) {
            ArrayView column;
            if (!ParseArrayView(b, at, column) || column.end > data.end) break;
            columns.push_back(Column(b, column, k < names.count ? ElementText(b, names, k, depth) : "", rows, shown, depth));
            at = column.next;
        }
        ++depth;
        for (const std::string& line : TableGridLines(rowNames, columns)) {
            if (Full()) return;
            if (line.empty()) {
                text += '\n';
            } else {
                Line(depth, line);
            }
        }
        if (data.count > columns.size() - labelColumns) {
            Line(depth, "... " + std::to_string(data.count - (columns.size() - labelColumns)) + " of " + std::to_string(data.count) +
                            " variables not shown");
        }
        if (rows > shown) {
            Line(depth, "... " + std::to_string(rows - shown) + " of " + std::to_string(rows) + " rows not shown");
        }
    }

    // The first `shown` rows of a table variable of `rows` rows, each as the
    // texts of its columns.
    GridColumn Column(const Bytes& b, const ArrayView& v, const std::string& name, uint64_t rows, uint64_t shown,
                      size_t depth) {
        GridColumn column;
        column.name = name;
        ObjectRef ref;
        std::string cls;
        uint64_t count = v.count;
        if (ParseObjectRef(b, v, ref)) {
            std::vector<uint64_t> dims = ref.dims;
            std::string error;
            if (GetSubsystem() == nullptr || ref.ids.empty() || !subsystem_->ClassName(ref.ids[0], cls, error)) {
                cls = "object";
            } else if (cls == "string" || cls == "datetime" || cls == "duration" || cls == "categorical") {
                count = rows;   // unless its data says otherwise
                DataSize(ref.ids[0], cls, dims, count);
            } else {
                count = 0;   // other objects: their class, row by row
            }
        }
        uint64_t across = rows == 0 || count == 0 ? 1 : std::max<uint64_t>(1, count / rows);
        // A string's or a cell's element is found by walking those before it:
        // beyond the first column of a long variable that walk is not taken.
        const bool walked = !cls.empty() || v.cls == mxCELL;
        const bool cut = walked && across > 1 && rows > kMaxWalkedRows;
        if (cut) across = 1;
        std::vector<ArrayView> elements;
        if (cls.empty() && v.cls == mxCELL) elements = CellElements(b, v, rows, shown, std::min(across, kShortArray));
        const bool numeric = cls.empty() && v.cls >= mxDOUBLE && v.cls <= mxUINT64 && !v.logical;
        column.align = v.cls == mxCELL && cls.empty() ? GridColumn::Align::Braced
                       : numeric || cls == "duration" ? GridColumn::Align::Right
                                                       : GridColumn::Align::Left;
        for (uint64_t r = 0; r < shown && !Full(); ++r) {
            std::vector<std::string> parts;
            for (uint64_t k = 0; k < across && k < kShortArray; ++k) {
                const uint64_t at = r + k * rows;
                if (!cls.empty()) {
                    parts.push_back(count == 0 ? cls : ObjectElementText(ref, at, depth));
                } else if (v.cls == mxCELL) {
                    parts.push_back(CellPartText(b, elements, static_cast<size_t>(r + k * shown)));
                } else {
                    parts.push_back(CellValueText(b, v, r, k, rows));
                }
            }
            if (cut || across > kShortArray) parts.push_back("...");
            column.rows.push_back(std::move(parts));
        }
        return column;
    }

    // The elements of a cell variable that its first `shown` rows show, in
    // one walk: row r of column k at r + k * shown (an empty view where the
    // cell ends early).
    static std::vector<ArrayView> CellElements(const Bytes& b, const ArrayView& v, uint64_t rows, uint64_t shown, uint64_t across) {
        std::vector<ArrayView> out(static_cast<size_t>(shown * across));
        size_t pos = v.childrenPos;
        const uint64_t last = (across - 1) * rows + shown;
        for (uint64_t i = 0; i < last && i < v.count; ++i) {
            ArrayView child;
            if (!ParseArrayView(b, pos, child) || child.end > v.end) break;
            if (i % rows < shown && i / rows < across) out[static_cast<size_t>(i % rows + i / rows * shown)] = child;
            pos = child.next;
        }
        return out;
    }

    // An element of a cell variable as MATLAB shows it inside braces: text in
    // quotes, a number in brackets, anything else as its size and class.
    static std::string CellPartText(const Bytes& b, const std::vector<ArrayView>& elements, size_t at) {
        if (at >= elements.size() || elements[at].end == 0) return "?";
        const ArrayView& child = elements[at];
        const bool row = child.dims.size() == 2 && child.dims[0] == 1;
        if (child.cls == mxCHAR && row) return "'" + ViewText(b, child, kShortText) + "'";
        if (child.cls >= mxDOUBLE && child.cls <= mxUINT64 && child.count == 1 && !child.complex) {
            double value = 0;
            return ViewNumber(b, child, false, 0, value) ? "[" + GridNumber(value) + "]" : "?";
        }
        return SizeText(child.dims) + " " + ClassText(child.cls, child.logical);
    }

    // Row r, column k of a numeric, logical or char variable.
    std::string CellValueText(const Bytes& b, const ArrayView& v, uint64_t r, uint64_t k, uint64_t rows) {
        double re = 0, im = 0;
        if (v.cls == mxCHAR) {
            // A char matrix shows each row's characters.
            const uint64_t width = rows == 0 ? 0 : v.count / rows;
            std::string out;
            for (uint64_t c = 0; c < width && c < kShortText; ++c) {
                if (!ViewNumber(b, v, false, r + c * rows, re)) return "?";
                const double unit = re >= 0xD800 && re <= 0xDFFF ? 0xFFFD : re == 0 ? kShownNul : re;
                platform::AppendUtf8(static_cast<uint32_t>(unit), &out);
            }
            return out;
        }
        const uint64_t at = r + k * rows;
        if (v.cls < mxDOUBLE || v.cls > mxUINT64) return SizeText({1, 1}) + " " + ClassText(v.cls, v.logical);
        if (!ViewNumber(b, v, false, at, re)) return "?";
        if (v.logical) return re != 0 ? "true" : "false";
        if (v.cls == mxUINT64 || v.cls == mxINT64) {
            uint64_t exact = 0;
            if (v.cls == mxUINT64 && ViewUInt64(b, v, at, exact)) return std::to_string(exact);
            if (v.cls == mxINT64) return std::to_string(LoadInt64(b.data + v.realPos + at * DataTypeSize(v.realType), v.realType, b.swapped));
        }
        std::string out = GridNumber(re);
        if (v.complex && ViewNumber(b, v, true, at, im)) out += (std::signbit(im) ? " - " : " + ") + GridNumber(std::fabs(im)) + "i";
        return out;
    }

    // A number in a table's column: whole numbers whole, others with five
    // significant digits (format short g).
    static std::string GridNumber(double v) {
        char out[40];
        if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 1e15) {
            std::snprintf(out, sizeof out, "%.0f", v == 0 ? 0.0 : v);
        } else if (std::isnan(v)) {
            return "NaN";
        } else {
            std::snprintf(out, sizeof out, "%.5g", v);
        }
        return out;
    }

    // "3×1", as MATLAB writes a size.
    static std::string SizeText(const std::vector<uint64_t>& dims) {
        std::string out;
        for (size_t i = 0; i < dims.size(); ++i) out += (i ? "\xC3\x97" : "") + std::to_string(dims[i]);
        return out.empty() ? "0\xC3\x97" "0" : out;
    }

    // A function handle as MATLAB shows it: "@sin", "@(x)x.^2+a". The text
    // is in the handle's struct; an anonymous one's starts with its scope
    // ("sf%0@(x)x"), which MATLAB does not show.
    static std::string HandleText(const Bytes& b, const ArrayView& v) {
        ArrayView outer, inner, function, type;
        if (!ParseArrayView(b, v.contentPos, outer) || outer.end > v.end || !ViewField(b, outer, "function_handle", inner) ||
            !ViewField(b, inner, "function", function) || function.cls != mxCHAR) {
            return "(no function text)";
        }
        std::string text = ViewText(b, function, kShortText);
        const size_t at = text.find('@');
        if (ViewField(b, inner, "type", type) && type.cls == mxCHAR && ViewText(b, type, kShortText) == "anonymous" &&
            at != std::string::npos && text.compare(0, 3, "sf%") == 0 &&
            text.find_first_not_of("0123456789", 3) == at) {
            return text.substr(at);
        }
        return text.empty() || text[0] == '@' ? text : "@" + text;
    }

    void Value(const Bytes& b, const ArrayView& v, const std::string& label, size_t depth, bool top) {
        if (Full()) return;
        ObjectRef ref;
        // Inside the subsystem data, objects are referred to by their metadata array.
        if (!top && subsystem_ && &b == &subsystem_->bytes() && ParseObjectRef(b, v, ref)) {
            Object(ref, label, "object", depth);
            return;
        }
        const std::string head = label + ClassText(v.cls, v.logical) + " " + DimsText(v.dims);
        if (v.cls == mxFUNCTION) {
            const std::string handle = HandleText(b, v);
            if (top) {
                Line(depth, "function_handle with value:");
                Line(depth + 1, handle);
            } else {
                Line(depth, head + " = " + handle);
            }
            return;
        }
        if (v.cls == mxOPAQUE) {
            ArrayView metadata;
            if (!ParseArrayView(b, v.contentPos, metadata) || !ParseObjectRef(b, metadata, ref)) {
                Line(depth, label + v.className + " (no object metadata)");
                return;
            }
            Object(ref, label, v.className, depth);
            return;
        }
        const std::string value = ShortValue(b, v);
        if (!value.empty()) {
            Line(depth, head + " = " + value);
            return;
        }
        if (v.cls != mxCELL && v.cls != mxSTRUCT && v.cls != mxOBJECT) {
            Line(depth, head);
            return;
        }
        if (v.cls == mxSTRUCT && v.count == 0) {
            // No element to show the fields by: their names, as MATLAB lists them.
            const std::string dims = DimsText(v.dims);
            Line(depth, label + dims.substr(1, dims.size() - 2) + " empty struct array" +
                            (v.fields.empty() ? " with no fields." : " with fields:"));
            for (const std::string& field : v.fields) Line(depth + 1, field);
            return;
        }
        Line(depth, v.cls == mxOBJECT ? label + v.className + " " + DimsText(v.dims) : head);
        if (depth >= kMaxShownNesting) return;
        const uint64_t perElement = v.cls == mxCELL ? 1 : v.fields.size();
        size_t at = v.childrenPos;
        for (uint64_t k = 0; k < v.count && !Full(); ++k) {
            if (k >= kShownChildren) {
                Line(depth + 1, "...");
                return;
            }
            size_t inner = depth + 1;
            if (v.cls != mxCELL && v.count > 1) {
                Line(depth + 1, SubscriptText(v.dims, k));
                inner = depth + 2;
            }
            for (uint64_t f = 0; f < perElement && !Full(); ++f) {
                ArrayView child;
                const std::string name =
                    v.cls == mxCELL ? "{" + std::to_string(k + 1) + "} = " : v.fields[static_cast<size_t>(f)] + " = ";
                if (!ParseArrayView(b, at, child) || child.end > v.end) {
                    Line(inner, name + "(not shown: damaged or beyond the bytes read)");
                    return;
                }
                Value(b, child, name, inner, false);
                at = child.next;
            }
        }
    }

    const mxArray& array_;
    size_t room_;
    bool loaded_ = false;
    std::unique_ptr<Subsystem> subsystem_;
    std::string loadError_;
};

bool Describable(const mxArray* a) {
    return a != nullptr && a->source && a->format != nullptr && a->format->describable(*a);
}

}  // namespace
}  // namespace matlib

int mxDescribeValue(const mxArray* array, char* buf, size_t buflen) {
    using namespace matlib;
    if (buf == nullptr || buflen == 0) return 1;
    buf[0] = '\0';
    if (!Describable(array)) return 1;
    try {
        std::vector<uint8_t> element;
        Describer describer(*array, buflen - 1);
        ArrayView top;
        bool swapped = false;
        const bool read = array->format->shownElement(*array, buflen - 1, element, swapped);
        Bytes bytes{element.data(), element.size(), swapped};
        if (!read || !ParseArrayView(bytes, 0, top, true)) {
            describer.text = "\t(the variable's data is damaged)\n";
        } else {
            describer.Run(bytes, top);
        }
        std::string& text = describer.text;
        if (text.size() > buflen - 1) {
            // Cut at a character boundary, and mark the cut where it fits.
            const size_t mark = buflen > 4 ? 3 : 0;
            text.resize(buflen - 1 - mark);
            while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) text.pop_back();
            if (!text.empty() && (static_cast<unsigned char>(text.back()) & 0x80) != 0) text.pop_back();
            text.append(mark, '.');
        }
        std::memcpy(buf, text.c_str(), text.size() + 1);
        return 0;
    } catch (const std::bad_alloc&) {
        return 1;
    }
}

#include "objects/value_fields.h"

#include <cmath>
#include <new>
#include <utility>

#include "codec/mat_format.h"
#include "codec/readers.h"
#include "matlib/mat_internal.h"
#include "objects/value_objects.h"

namespace matlib {

using namespace format;

namespace {

// Where a table variable's values are: a numeric, logical or char array, a
// cell of texts and numbers, or a value object.
struct Column {
    enum class Source { Numbers, Chars, Cell, Object };
    Source source = Source::Numbers;
    ArrayView view;
    std::vector<uint32_t> units;    // Chars
    ChildIndex children;            // Cell
    ValueObject object;             // Object
    uint64_t width = 1;
};

uint64_t Across(const std::vector<uint64_t>& dims) {
    uint64_t n = 1;
    for (size_t d = 1; d < dims.size(); ++d) n *= dims[d];
    return n;
}

// A cell's element a delimited file takes: a text row, a real number or
// logical scalar, or an empty array.
bool PlainElement(const ArrayView& v) {
    if (v.cls == 0 || v.count == 0) return true;
    if (v.cls == mxCHAR) return v.dims.size() == 2 && v.dims[0] == 1;
    return v.cls >= mxDOUBLE && v.cls <= mxUINT64 && v.count == 1 && !v.complex;
}

}  // namespace

struct ValueFields::Impl {
    explicit Impl(const mxArray& array) : whole(array) {}

    WholeVariable whole;
    const Subsystem* sub = nullptr;
    Kind kind = Kind::Table;
    std::vector<Column> columns;   // an array: one, of its elements
    std::vector<std::pair<size_t, uint64_t>> fields;   // a table's heading: column and its part
    std::vector<std::string> headings;
    std::vector<uint64_t> dims;
    uint64_t rows = 0, count = 0;
    bool inTable = false;
    uint64_t gets = 0;

    bool Fail(std::string& error, std::string reason) {
        error = std::move(reason);
        return false;
    }

    // A value object's elements by reference; `what` names it in errors.
    bool ReadObject(const Bytes& b, const ArrayView& v, const std::string& what, Column& out, std::string& cls,
                    std::string& error) {
        ObjectRef ref;
        if (!ParseObjectRef(b, v, ref)) return Fail(error, what + ": damaged");
        if (sub == nullptr && (sub = whole.Objects(error)) == nullptr) {
            return Fail(error, what + ": its objects cannot be read (" + error + ")");
        }
        std::vector<Subsystem::Property> props;
        if (ref.ids.size() != 1 || !sub->ClassName(ref.ids[0], cls, error)) {
            return Fail(error, what + ": " + (ref.ids.size() != 1 ? "an array of objects" : error));
        }
        if (!sub->Properties(ref.ids[0], props, error)) return Fail(error, what + ": " + error);
        if (IsTabular(cls)) return Table(cls, props, what, error);
        const int made = ReadValueObject(*sub, cls, props, what, out.object, error);
        if (made < 0) return false;
        if (made == 0) return Fail(error, what + ": an object of class " + cls);
        out.source = Column::Source::Object;
        return true;
    }

    bool Table(const std::string& cls, const std::vector<Subsystem::Property>& props, const std::string& what, std::string& error) {
        if (inTable) return Fail(error, what + ": a table inside a table");
        inTable = true;
        const Bytes& b = sub->bytes();
        TabularParts parts;
        std::vector<size_t> columnAt, labels;
        if (!ReadTabular(*sub, cls, props, parts) || !ChildPositions(b, parts.data, parts.data.count, columnAt) ||
            !ChildPositions(b, parts.names, parts.names.count, labels)) {
            return Fail(error, what + ": damaged " + cls);
        }
        kind = Kind::Table;
        rows = parts.rows;
        // Row names or row times come first, headed by the name of the rows' dimension.
        if (parts.labelled) {
            Column column;
            column.view = parts.labels;
            const std::string part = what + "." + parts.labelHeading;
            if (parts.timetable) {
                if (!ReadColumn(b, part, column, error)) return false;
                if (column.width != 1) return Fail(error, part + ": damaged row times");
            } else {
                column.source = Column::Source::Cell;
                if (parts.labels.count != rows || !column.children.Build(b, parts.labels, rows)) {
                    return Fail(error, what + ": damaged row names");
                }
            }
            headings.push_back(parts.labelHeading);
            fields.emplace_back(columns.size(), 0);
            columns.push_back(std::move(column));
        }
        for (size_t c = 0; c < columnAt.size(); ++c) {
            ArrayView label;
            std::vector<uint32_t> units;
            if (!ParseArrayView(b, labels[c], label) || !CodeUnits(b, label, units)) return Fail(error, what + ": damaged table");
            const std::string name = Utf8OfUnits(units), part = what + "." + name;
            Column column;
            if (!ParseArrayView(b, columnAt[c], column.view)) return Fail(error, part + ": damaged");
            if (!ReadColumn(b, part, column, error)) return false;
            for (uint64_t k = 0; k < column.width; ++k) {
                headings.push_back(column.width == 1 ? name : name + "_" + std::to_string(k + 1));
                fields.emplace_back(columns.size(), k);
            }
            columns.push_back(std::move(column));
        }
        return true;
    }

    bool ReadColumn(const Bytes& b, const std::string& part, Column& column, std::string& error) {
        const ArrayView& v = column.view;
        ObjectRef ref;
        if (ParseObjectRef(b, v, ref)) {
            std::string cls;
            if (!ReadObject(b, v, part, column, cls, error)) return false;
            column.width = Across(column.object.dims);
            if (column.object.count != rows * column.width) return Fail(error, part + ": damaged");
            return true;
        }
        if (v.cls == mxCHAR) {
            // A char matrix: one text per row.
            column.source = Column::Source::Chars;
            if (v.dims.size() > 2 || (v.count > 0 && v.dims[0] != rows) || !CodeUnits(b, v, column.units) ||
                column.units.size() < v.count) {
                return Fail(error, part + ": damaged characters");
            }
            return true;
        }
        column.width = Across(v.dims);
        if (v.count != rows * column.width || v.dims.empty()) return Fail(error, part + ": damaged");
        if (v.cls == mxCELL) {
            column.source = Column::Source::Cell;
            bool plain = true;
            if (!column.children.Build(b, v, v.count, [&](const ArrayView& child) { return plain = PlainElement(child); })) {
                return Fail(error, part + (plain ? ": damaged" : ": a cell holding other than texts and numbers"));
            }
            return true;
        }
        if (v.cls < mxDOUBLE || v.cls > mxUINT64) {
            return Fail(error, part + ": a " + (v.cls == mxSTRUCT ? "struct" : v.cls == mxSPARSE ? "sparse" : "nested") + " variable");
        }
        return true;
    }

    // Element k of a numeric or logical array.
    static bool Number(const Bytes& b, const ArrayView& v, uint64_t k, Field& out) {
        double d = 0;
        if (!ViewNumber(b, v, false, k, d)) return false;
        if (v.complex) {
            out.kind = Field::Kind::Number;
            out.number = d;
            out.single = v.cls == mxSINGLE;
            out.complex = true;
            return ViewNumber(b, v, true, k, out.imag);
        }
        if (v.logical) {
            out.kind = Field::Kind::Logical;
            out.whole = d != 0 ? 1 : 0;
        } else if (v.cls == mxUINT64 && ViewUInt64(b, v, k, out.whole)) {
            out.kind = Field::Kind::Unsigned;
        } else if (v.cls == mxINT64 && DataTypeSize(v.realType) == 8) {
            out.kind = Field::Kind::Signed;
            out.integer = LoadInt64(b.data + v.realPos + k * 8, v.realType, b.swapped);
        } else if (v.cls >= mxINT8 && v.cls <= mxUINT64) {
            out.kind = Field::Kind::Signed;
            out.integer = static_cast<int64_t>(d);
        } else {
            out.kind = Field::Kind::Number;
            out.number = d;
            out.single = v.cls == mxSINGLE;
            if (std::isnan(d)) out.kind = Field::Kind::Missing;
        }
        return true;
    }

    bool Get(uint64_t row, size_t field, Field& out) const {
        // The text's buffer is kept from field to field.
        out.kind = Field::Kind::Missing;
        out.complex = out.single = false;
        out.ms = out.extraMs = 0;
        out.text.clear();
        const auto [c, k] = kind == Kind::Table ? fields[field] : std::pair<size_t, uint64_t>(0, 0);
        const Column& column = columns[c];
        const uint64_t at = row + k * rows;
        // A table's variables are held in the subsystem data, an array's in the variable.
        const Bytes& b = kind == Kind::Table ? sub->bytes() : whole.bytes();
        switch (column.source) {
            case Column::Source::Numbers: return Number(b, column.view, at, out);
            case Column::Source::Chars: {
                std::vector<uint32_t> mine;
                const uint64_t width = rows == 0 ? 0 : column.view.count / rows;
                for (uint64_t j = 0; j < width; ++j) mine.push_back(column.units[row + j * rows]);
                out.kind = Field::Kind::Text;
                out.text = Utf8OfUnits(mine);
                return true;
            }
            case Column::Source::Cell: {
                ArrayView child;
                if (at >= column.children.size() || !ParseArrayView(b, column.children.At(at), child)) return false;
                if (child.cls == mxCHAR) {
                    std::vector<uint32_t> units;
                    if (!CodeUnits(b, child, units)) return false;
                    out.kind = Field::Kind::Text;
                    out.text = Utf8OfUnits(units);
                    return true;
                }
                return child.count == 0 || Number(b, child, 0, out);
            }
            case Column::Source::Object: {
                const ValueObject& object = column.object;
                if (at >= object.count) return false;
                if (object.kind == ValueObject::Kind::Datetime || object.kind == ValueObject::Kind::Duration) {
                    out.ms = object.Ms(at);
                    out.extraMs = object.ExtraMs(at);
                }
                if (object.Missing(at)) return true;
                out.kind = Field::Kind::Text;
                object.AppendText(at, out.text);
                return true;
            }
        }
        return false;
    }
};

ValueFields::ValueFields() = default;
ValueFields::~ValueFields() = default;

bool ValueFields::Open(const mxArray* array, std::string& error, KeepGoing keepGoing) {
    if (array == nullptr) return error = "a function handle", false;
    if (mxGetClassID(array) == mxSTRUCT_CLASS) return error = "a struct", false;   // whatever its file
    try {
        impl_ = std::make_unique<Impl>(*array);
        Impl& in = *impl_;
        in.whole.PollWith(std::move(keepGoing));
        if (!in.whole.Load("a table, text, date or category array", error)) return false;
        const Bytes& b = in.whole.bytes();
        const ArrayView& top = in.whole.top();
        Column column;
        if (top.cls == mxOPAQUE) {
            ArrayView content;
            std::string cls;
            if (!ParseArrayView(b, top.contentPos, content)) return in.Fail(error, "it is damaged");
            if (!in.ReadObject(b, content, array->name, column, cls, error)) return false;
            if (IsTabular(cls)) return in.whole.Release(), true;
            const ValueObject::Kind kind = column.object.kind;
            in.kind = kind == ValueObject::Kind::Datetime ? Kind::Datetimes
                      : kind == ValueObject::Kind::Duration ? Kind::Durations
                                                             : Kind::Texts;
            in.dims = column.object.dims;
            in.count = column.object.count;
        } else if (top.cls == mxCELL) {
            in.kind = Kind::Texts;
            column.source = Column::Source::Cell;
            column.view = top;
            bool texts = true;
            const auto text = [&](const ArrayView& child) {
                return texts = child.cls == mxCHAR && (child.count == 0 || (child.dims.size() == 2 && child.dims[0] == 1));
            };
            if (!column.children.Build(b, top, top.count, text)) {
                return in.Fail(error, texts ? "it is damaged" : "a cell array holding other than texts");
            }
            in.dims = top.dims;
            in.count = top.count;
        } else {
            return in.Fail(error, "a variable of its class");
        }
        in.rows = in.count;   // an array's elements, one after another
        in.columns.push_back(std::move(column));
        in.whole.Release();   // what the checks read
        return true;
    } catch (const std::bad_alloc&) {
        error = "not enough memory";
        return false;
    }
}

std::string ValueFields::HoldFailure() const { return impl_ ? impl_->whole.holdFailure() : std::string(); }
ValueFields::Kind ValueFields::kind() const { return impl_->kind; }
const std::vector<std::string>& ValueFields::Headings() const { return impl_->headings; }
uint64_t ValueFields::Rows() const { return impl_->rows; }
const std::vector<uint64_t>& ValueFields::Dims() const { return impl_->dims; }
uint64_t ValueFields::Count() const { return impl_->count; }
bool ValueFields::Get(uint64_t row, size_t column, Field& out) const {
    // Every writer walks the fields through here: now and then the pages of
    // a scratch copy read so far go back to the system.
    constexpr uint64_t kGetsPerRelease = 1 << 14;
    if (++impl_->gets % kGetsPerRelease == 0) impl_->whole.Release();
    return impl_->Get(row, column, out);
}

}  // namespace matlib

#include "objects/value_objects.h"

#include <cmath>
#include <utility>

#include "codec/mat_format.h"
#include "codec/readers.h"
#include "matlib/mat_internal.h"
#include "objects/time_text.h"
#include "os/text_encoding.h"

namespace matlib {
namespace {

using namespace format;

// The strings of a string object: a version, the number of dimensions,
// the dimensions, each string's length in UTF-16 units (all ones: a
// missing string), then the units, four to a word. Checked whole here
// (what the check read of a scratch copy given back as it goes); each text
// is found and decoded when asked.
bool Strings(const Bytes& b, const ArrayView& v, ValueObject& out) {
    uint64_t ndims = 0, count = 1, word = 0;
    if (v.realType != miUINT64 || !ViewUInt64(b, v, 1, ndims) || ndims > kMaxDimensions) return false;
    for (uint64_t i = 0; i < ndims; ++i) {
        if (!ViewUInt64(b, v, 2 + i, word) || __builtin_mul_overflow(count, word, &count)) return false;
        out.dims.push_back(word);
    }
    const uint64_t lengthsAt = 2 + ndims;
    if (count > v.realBytes / 8 || lengthsAt + count > v.realBytes / 8) return false;
    const size_t textPos = v.realPos + static_cast<size_t>((lengthsAt + count) * 8);
    const uint64_t held = (v.realPos + v.realBytes - textPos) / 2;
    uint64_t before = 0;
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t length = 0;
        if (!ViewUInt64(b, v, lengthsAt + i, length)) return false;
        if (i % ValueObject::kMarkEvery == 0) out.marks.push_back(before);
        if (i > 0 && i % (ValueObject::kMarkEvery << 6) == 0) ReleaseRead(b);
        if (length == UINT64_MAX) continue;   // missing
        if (before > held || length > held - before) return false;
        before += length;
    }
    out.bytes = b;
    out.values = v;
    out.lengthsAt = lengthsAt;
    out.textPos = textPos;
    out.count = count;
    return true;
}

uint64_t StoredLength(const ValueObject& o, uint64_t k) {
    uint64_t length = 0;
    ViewUInt64(o.bytes, o.values, o.lengthsAt + k, length);
    return length;
}

}  // namespace

bool WholeVariable::Load(const char* what, std::string& error) {
    if (array_.format == nullptr || array_.format->wholeElement == nullptr) {
        error = std::string("its file's version (") + what +
                " is written from level-5 MAT-files so far; convert the file to version 7 first)";
        return false;
    }
    bool swapped = false;
    element_.PollWith(keepGoing_);
    if (!array_.format->wholeElement(array_, UINT64_MAX, element_, swapped)) {
        holdFailure_ = element_.reason();
        error = holdFailure_.empty() ? "it cannot be read" : holdFailure_;
        return false;
    }
    bytes_ = element_.View(swapped);
    if (!ParseArrayView(bytes_, 0, top_)) {
        error = "it is damaged";
        return false;
    }
    return true;
}

const Subsystem* WholeVariable::Objects(std::string& error) {
    if (loaded_) return subsystem_.get();
    loaded_ = true;
    HeldBytes payload;
    payload.PollWith(keepGoing_);
    const char* reason = nullptr;
    auto subsystem = std::make_unique<Subsystem>();
    // Exports read a table's values in it where they stand, of any size.
    if (!array_.format->subsystemPayload(array_, UINT64_MAX, payload, reason)) {
        if (!payload.reason().empty()) {
            holdFailure_ = payload.reason() == kHoldCancelled ? payload.reason() : "the subsystem data: " + payload.reason();
        }
        error = reason != nullptr ? reason : "";
        return nullptr;
    }
    if (!subsystem->Load(std::move(payload), error)) return nullptr;
    subsystem_ = std::move(subsystem);
    return subsystem_.get();
}

void WholeVariable::Release() const {
    element_.Release();
    if (subsystem_) subsystem_->Release();
}

bool CodeUnits(const Bytes& b, const ArrayView& v, std::vector<uint32_t>& out) {
    if (v.realType == miUTF8) {
        Utf8ToCodeUnits(b.data + v.realPos, v.realBytes, out);
        return true;
    }
    const size_t size = DataTypeSize(v.realType);
    if (size == 0) return v.realBytes == 0;
    const uint8_t* p = b.data + v.realPos;
    for (size_t i = 0; i < v.realBytes / size; ++i) {
        out.push_back(size == 1 ? p[i] : size == 2 ? Load16(p + 2 * i, b.swapped) : Load32(p + 4 * i, b.swapped));
    }
    return true;
}

std::string Utf8OfUnits(const std::vector<uint32_t>& units) {
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

bool ChildPositions(const Bytes& b, const ArrayView& v, uint64_t count, std::vector<size_t>& out) {
    size_t at = v.childrenPos;
    for (uint64_t i = 0; i < count; ++i) {
        ArrayView child;
        if (at >= v.end || !ParseArrayView(b, at, child) || child.next > v.end) return false;
        out.push_back(at);
        at = child.next;
    }
    return true;
}

bool ChildIndex::Build(const Bytes& b, const ArrayView& v, uint64_t count,
                       const std::function<bool(const ArrayView&)>& check) {
    bytes_ = b;
    kept_.clear();
    count_ = 0;
    lastK_ = UINT64_MAX;
    size_t at = v.childrenPos;
    for (uint64_t i = 0; i < count; ++i) {
        ArrayView child;
        if (at >= v.end || !ParseArrayView(b, at, child) || child.next > v.end) return false;
        if (check && !check(child)) return false;
        if (i % kEvery == 0) kept_.push_back(at);
        if (i > 0 && i % (kEvery << 8) == 0) ReleaseRead(b);
        at = child.next;
    }
    count_ = count;
    return true;
}

size_t ChildIndex::At(uint64_t k) const {
    uint64_t from = k / kEvery * kEvery;
    size_t at = kept_[static_cast<size_t>(k / kEvery)];
    if (lastK_ != UINT64_MAX && lastK_ <= k && lastK_ >= from) {
        from = lastK_;
        at = lastAt_;
    }
    // Each step was checked by Build: the tag's size leads to the next child.
    for (; from < k; ++from) at += kTagSize + static_cast<size_t>(PaddedSize(Load32(bytes_.data + at + 4, bytes_.swapped)));
    lastK_ = k;
    lastAt_ = at;
    return at;
}

bool PropertyValue(const Subsystem& sub, const std::vector<Subsystem::Property>& props, const char* name, ArrayView& out) {
    for (const Subsystem::Property& p : props) {
        if (p.name == name && p.hasValue) return ParseArrayView(sub.bytes(), p.valuePos, out);
    }
    return false;
}

std::string CharProperty(const Subsystem& sub, const std::vector<Subsystem::Property>& props, const char* name) {
    ArrayView v;
    std::vector<uint32_t> units;
    return PropertyValue(sub, props, name, v) && v.cls == mxCHAR && CodeUnits(sub.bytes(), v, units) ? Utf8OfUnits(units) : "";
}

bool IsTabular(const std::string& cls) { return cls == "table" || cls == "timetable"; }

namespace {

// The first name of a cell of dimension names, else `fallback`.
std::string FirstName(const Bytes& b, const ArrayView& names, const char* fallback) {
    std::vector<size_t> first;
    ArrayView name;
    std::vector<uint32_t> units;
    if (names.cls == mxCELL && names.count > 0 && ChildPositions(b, names, 1, first) && ParseArrayView(b, first[0], name) &&
        name.cls == mxCHAR && CodeUnits(b, name, units) && !units.empty()) {
        return Utf8OfUnits(units);
    }
    return fallback;
}

}  // namespace

bool ReadTabular(const Subsystem& sub, const std::string& cls, const std::vector<Subsystem::Property>& props, TabularParts& out) {
    const Bytes& b = sub.bytes();
    ArrayView count, dimensions;
    double rows = 0;
    if (cls == "table") {
        if (!PropertyValue(sub, props, "data", out.data) || !PropertyValue(sub, props, "varnames", out.names) ||
            !PropertyValue(sub, props, "nrows", count)) {
            return false;
        }
        ArrayView more, dimensionNames;
        out.labelled = PropertyValue(sub, props, "rownames", out.labels) && out.labels.cls == mxCELL && out.labels.count > 0;
        const bool named = PropertyValue(sub, props, "props", more) && ViewField(b, more, "DimensionNames", dimensionNames);
        out.labelHeading = named ? FirstName(b, dimensionNames, "Row") : "Row";
    } else if (cls == "timetable") {
        ArrayView saved;
        if (!PropertyValue(sub, props, "any", saved) || saved.cls != mxSTRUCT || saved.count != 1 ||
            !ViewField(b, saved, "data", out.data) || !ViewField(b, saved, "varNames", out.names) ||
            !ViewField(b, saved, "numRows", count) || !ViewField(b, saved, "rowTimes", out.labels)) {
            return false;
        }
        out.timetable = out.labelled = true;
        out.labelHeading = ViewField(b, saved, "dimNames", dimensions) ? FirstName(b, dimensions, "Time") : "Time";
    } else {
        return false;
    }
    if (!ViewNumber(b, count, false, 0, rows) || !(rows >= 0 && rows < 1e15) || out.data.cls != mxCELL || out.names.cls != mxCELL ||
        out.data.count != out.names.count) {
        return false;
    }
    out.rows = static_cast<uint64_t>(rows);
    return true;
}

double ValueObject::Ms(uint64_t k) const {
    double ms = 0;
    ViewNumber(bytes, values, false, k, ms);
    return ms;
}

double ValueObject::ExtraMs(uint64_t k) const {
    double extra = 0;
    if (values.complex) ViewNumber(bytes, values, true, k, extra);
    return extra;
}

uint32_t ValueObject::Code(uint64_t k) const {
    double code = 0;
    ViewNumber(bytes, values, false, k, code);
    return code >= 1 && code <= static_cast<double>(texts.size()) ? static_cast<uint32_t>(code) : 0;
}

bool ValueObject::StringAt(uint64_t k, size_t& start, uint64_t& length) const {
    // The units before it: from the last element asked (a pass in order),
    // else from the mark before it.
    uint64_t before = 0, from = 0;
    if (k == nextK_) {
        before = nextBefore_;
        from = k;
    } else {
        from = k / kMarkEvery * kMarkEvery;
        before = marks[k / kMarkEvery];
    }
    for (; from < k; ++from) {
        const uint64_t skipped = StoredLength(*this, from);
        if (skipped != UINT64_MAX) before += skipped;
    }
    length = StoredLength(*this, k);
    const bool missing = length == UINT64_MAX;
    nextK_ = k + 1;
    nextBefore_ = before + (missing ? 0 : length);
    start = textPos + static_cast<size_t>(2 * before);
    return !missing;
}

bool ValueObject::Missing(uint64_t k) const {
    switch (kind) {
        case Kind::String: return StoredLength(*this, k) == UINT64_MAX;
        case Kind::Categorical: return Code(k) == 0;
        case Kind::Datetime: case Kind::Duration: break;
    }
    return std::isnan(Ms(k));
}

std::string ValueObject::Text(uint64_t k) const {
    std::string text;
    AppendText(k, text);
    return text;
}

void ValueObject::AppendText(uint64_t k, std::string& out) const {
    switch (kind) {
        case Kind::String: {
            size_t start = 0;
            uint64_t length = 0;
            if (!StringAt(k, start, length)) return;
            const uint8_t* at = bytes.data + start;
            for (uint64_t u = 0; u < length; ++u) {
                uint32_t unit = Load16(at + 2 * u, bytes.swapped);
                if (unit >= 0xD800 && unit < 0xDC00 && u + 1 < length) {
                    const uint32_t low = Load16(at + 2 * (u + 1), bytes.swapped);
                    if (low >= 0xDC00 && low < 0xE000) {
                        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                        ++u;
                    }
                }
                platform::AppendUtf8(unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit, &out);
            }
            return;
        }
        case Kind::Categorical: {
            const uint32_t code = Code(k);
            if (code != 0) out += texts[code - 1];
            return;
        }
        case Kind::Datetime: AppendDatetimeText(Ms(k), ExtraMs(k), format, zone, out); return;
        case Kind::Duration: out += DurationText(Ms(k), format); return;
    }
}

int ReadValueObject(const Subsystem& sub, const std::string& cls, const std::vector<Subsystem::Property>& props,
                    const std::string& path, ValueObject& out, std::string& error) {
    const Bytes& b = sub.bytes();
    ArrayView v;
    if (cls == "string" && PropertyValue(sub, props, "any", v)) {
        out.kind = ValueObject::Kind::String;
        if (!Strings(b, v, out)) return error = path + ": damaged string", -1;
        return 1;
    }
    const bool datetime = cls == "datetime" && PropertyValue(sub, props, "data", v);
    const bool duration = !datetime && cls == "duration" && PropertyValue(sub, props, "millis", v);
    if (datetime || duration) {
        out.kind = datetime ? ValueObject::Kind::Datetime : ValueObject::Kind::Duration;
        out.format = CharProperty(sub, props, "fmt");
        if (datetime) out.zone = CharProperty(sub, props, "tz");
        out.dims = v.dims;
        out.count = v.count;
        out.bytes = b;
        out.values = v;
        // Every element stands in the data (the last one does).
        double last = 0;
        if (v.count > 0 && !ViewNumber(b, v, false, v.count - 1, last)) return error = path + ": damaged " + cls, -1;
        return 1;
    }
    ArrayView names, codes;
    if (cls == "categorical" && PropertyValue(sub, props, "categoryNames", names) && PropertyValue(sub, props, "codes", codes)) {
        out.kind = ValueObject::Kind::Categorical;
        std::vector<size_t> labels;
        if (names.cls != mxCELL || !ChildPositions(b, names, names.count, labels)) return error = path + ": damaged categorical", -1;
        for (size_t at : labels) {
            ArrayView label;
            std::vector<uint32_t> units;
            if (!ParseArrayView(b, at, label) || !CodeUnits(b, label, units)) return error = path + ": damaged categorical", -1;
            out.texts.push_back(Utf8OfUnits(units));
        }
        out.dims = codes.dims;
        out.count = codes.count;
        out.bytes = b;
        out.values = codes;
        double last = 0;
        if (codes.count > 0 && !ViewNumber(b, codes, false, codes.count - 1, last)) return error = path + ": damaged categorical", -1;
        return 1;
    }
    return 0;
}

}  // namespace matlib

// Tables as MATLAB's writetable writes them to CSV and TSV: a heading row of
// the variable names, then one line per row (numbers in their shortest exact
// form, logicals 1 and 0, categories by their label, datetimes and
// durations in their own format, a text quoted only when it holds the
// separator, a quote or a line end, missing values as empty fields).
// Arrays of texts, datetimes, durations and categories: CSV and TSV rows and
// columns as the array has them, every text quoted (a missing one an empty
// field); NPY as NumPy's texts ("<U"), datetime64 and timedelta64.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "export/writers.h"
#include "objects/value_fields.h"

namespace exporting {

namespace {

using matlib::Field;
using matlib::ValueFields;

constexpr uint64_t kRowsPerStep = 4096;   // rows between progress reports

void PutQuoted(const std::string& text, std::string& line) {
    line += '"';
    for (char c : text) {
        if (c == '"') line += '"';
        line += c;
    }
    line += '"';
}

void PutText(const std::string& text, char separator, bool alwaysQuoted, std::string& line) {
    // One look at each character (find_first_of would search the set for each).
    const bool needsQuotes = std::any_of(text.begin(), text.end(), [separator](char c) {
        return c == separator || c == '"' || c == '\n' || c == '\r';
    });
    if (alwaysQuoted || needsQuotes) {
        PutQuoted(text, line);
    } else {
        line += text;
    }
}

void PutField(const Field& field, char separator, bool alwaysQuoted, std::string& line) {
    switch (field.kind) {
        case Field::Kind::Missing: return;
        case Field::Kind::Text: return PutText(field.text, separator, alwaysQuoted, line);
        case Field::Kind::Logical: line += field.whole != 0 ? '1' : '0'; return;
        case Field::Kind::Signed: line += std::to_string(field.integer); return;
        case Field::Kind::Unsigned: line += std::to_string(field.whole); return;
        case Field::Kind::Number:
            AppendDouble(field.number, field.single, line);
            if (field.complex) {
                // writetable's "a+bi", as a complex matrix's CSV.
                if (!(std::signbit(field.imag) && !std::isnan(field.imag))) line += '+';
                AppendDouble(field.imag, field.single, line);
                line += 'i';
            }
            return;
    }
}

// The variable's fields: those Refusal read, else read now (null when they
// cannot be read: `out` failed).
std::shared_ptr<const ValueFields> Open(const mxArray* array, const Prepared* prepared, Output& out) {
    if (prepared != nullptr && prepared->fields != nullptr) return prepared->fields;
    auto fields = std::make_shared<ValueFields>();
    std::string error;
    if (fields->Open(array, error, prepared != nullptr ? prepared->keepGoing : matlib::KeepGoing())) return fields;
    out.FailRead();
    return nullptr;
}

void WriteTable(const ValueFields& fields, char separator, Output& out) {
    const std::vector<std::string>& headings = fields.Headings();
    std::string line;
    for (size_t c = 0; c < headings.size(); ++c) {
        if (c > 0) line += separator;
        PutText(headings[c], separator, false, line);
    }
    out.Put(line + '\n');
    const uint64_t rows = fields.Rows();
    out.AddWork(rows);
    Field field;
    for (uint64_t row = 0; row < rows; ++row) {
        line.clear();
        for (size_t c = 0; c < headings.size(); ++c) {
            if (c > 0) line += separator;
            if (!fields.Get(row, c, field)) return out.FailRead();
            PutField(field, separator, false, line);
        }
        line += '\n';
        out.Put(line);
        if ((row + 1) % kRowsPerStep == 0 || row + 1 == rows) {
            out.Advance((row % kRowsPerStep) + 1);
            if (out.Failed()) return;
        }
    }
}

// An array's elements as rows and columns, an array of more dimensions page by page.
void WriteArray(const ValueFields& fields, char separator, Output& out) {
    const std::vector<mwSize> dims(fields.Dims().begin(), fields.Dims().end());
    const uint64_t m = dims.empty() ? 0 : dims[0], n = dims.size() > 1 ? dims[1] : 1, page = m * n;
    const uint64_t pages = page == 0 ? 0 : fields.Count() / page;
    out.AddWork(fields.Count());
    std::string line;
    Field field;
    for (uint64_t p = 0; p < pages; ++p) {
        if (dims.size() > 2) out.Put(PageLine(dims.data(), dims.size(), p));
        for (uint64_t r = 0; r < m; ++r) {
            line.clear();
            for (uint64_t j = 0; j < n; ++j) {
                if (j > 0) line += separator;
                if (!fields.Get(p * page + j * m + r, 0, field)) return out.FailRead();
                PutField(field, separator, true, line);
            }
            line += '\n';
            out.Put(line);
            out.Advance(n);
            if (out.Failed()) return;
        }
    }
}

// UTF-8 (as the fields hold it, well formed) as code points.
void AppendCodePoints(const std::string& text, std::vector<uint32_t>& out) {
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        uint32_t point = length == 1 ? c : c & (0x3F >> (length - 1));
        for (size_t k = 1; k < length && i + k < text.size(); ++k) point = point << 6 | (text[i + k] & 0x3F);
        out.push_back(point);
        i += length;
    }
}

void PutWord(uint64_t word, size_t bytes, Output& out) {
    char little[8];
    for (size_t i = 0; i < bytes; ++i) little[i] = static_cast<char>((word >> (8 * i)) & 0xFF);
    out.Put(std::string_view(little, bytes));
}

// The finest of milliseconds, microseconds and nanoseconds that a time
// needs to be held exactly (0, 1, 2); -1 for an infinite one, which NumPy
// cannot hold. A value finer than a nanosecond is rounded to one.
int TimeUnit(double ms, double extraMs) {
    if (std::isnan(ms)) return 0;
    if (std::isinf(ms)) return -1;
    const double fraction = ms - std::floor(ms);
    if (fraction == 0 && extraMs == 0) return 0;
    const double micro = fraction * 1e3, extraMicro = extraMs * 1e3;
    return micro == std::floor(micro) && extraMicro == std::floor(extraMicro) ? 1 : 2;
}

// Whole milliseconds that `unit` can count in 64 bits.
bool FitsUnit(double ms, int unit) {
    const double scale = unit == 0 ? 1 : unit == 1 ? 1e3 : 1e6;
    return std::isnan(ms) || std::fabs(ms) < 9.2e18 / scale;
}

int64_t Ticks(double ms, double extraMs, int unit) {
    if (std::isnan(ms)) return std::numeric_limits<int64_t>::min();   // NumPy's NaT
    const double scale = unit == 0 ? 1 : unit == 1 ? 1e3 : 1e6;
    const double whole = std::floor(ms);
    return static_cast<int64_t>(whole) * static_cast<int64_t>(scale) + std::llround((ms - whole) * scale) +
           std::llround(extraMs * scale);
}

}  // namespace

std::string FieldsRefusal(Format format, const mxArray* array, Prepared* prepared) {
    auto opened = std::make_shared<ValueFields>();
    const ValueFields& fields = *opened;
    std::string error;
    if (!opened->Open(array, error, prepared != nullptr ? prepared->keepGoing : matlib::KeepGoing())) {
        if (prepared == nullptr || opened->HoldFailure().empty()) return error;
        prepared->holdFailure = opened->HoldFailure();
        return std::string();
    }
    if (prepared != nullptr) prepared->fields = opened;
    if (format != Format::Npy) return std::string();
    if (fields.kind() == ValueFields::Kind::Table) return "a table";
    if (fields.kind() == ValueFields::Kind::Texts) return std::string();
    Field field;
    for (uint64_t k = 0; k < fields.Count(); ++k) {
        if (!fields.Get(k, 0, field)) return "it is damaged";
        if (TimeUnit(field.ms, field.extraMs) < 0) return "an infinite time (NumPy holds none)";
        if (!FitsUnit(field.ms, 0)) return "a time beyond NumPy's range";
    }
    return std::string();
}

void WriteFieldsDelimited(const mxArray* array, const Prepared* prepared, char separator, Output& out) {
    const std::shared_ptr<const ValueFields> opened = Open(array, prepared, out);
    if (opened == nullptr) return;
    if (opened->kind() == ValueFields::Kind::Table) return WriteTable(*opened, separator, out);
    WriteArray(*opened, separator, out);
}

void WriteFieldsNpy(const mxArray* array, const Prepared* prepared, Output& out) {
    const std::shared_ptr<const ValueFields> opened = Open(array, prepared, out);
    if (opened == nullptr) return;
    const ValueFields& fields = *opened;
    if (fields.kind() == ValueFields::Kind::Table) return out.FailRead();
    const std::vector<mwSize> dims(fields.Dims().begin(), fields.Dims().end());
    const uint64_t count = fields.Count();
    out.AddWork(count);
    Field field;
    std::vector<uint32_t> points;
    if (fields.kind() == ValueFields::Kind::Texts) {
        // Texts as wide as the longest, padded with zeros.
        size_t width = 1;
        for (uint64_t k = 0; k < count; ++k) {
            if (!fields.Get(k, 0, field)) return out.FailRead();
            points.clear();
            AppendCodePoints(field.text, points);
            width = std::max(width, points.size());
        }
        PutNpyHeader("<U" + std::to_string(width), NpyShape(dims.data(), dims.size()), out);
        for (uint64_t k = 0; k < count && !out.Failed(); ++k) {
            if (!fields.Get(k, 0, field)) return out.FailRead();
            points.clear();
            AppendCodePoints(field.text, points);
            points.resize(width, 0);
            for (uint32_t point : points) PutWord(point, 4, out);
            out.Advance(1);
        }
        return;
    }
    int unit = 0;
    for (uint64_t k = 0; k < count; ++k) {
        if (!fields.Get(k, 0, field)) return out.FailRead();
        const int needed = TimeUnit(field.ms, field.extraMs);
        if (needed < 0) return out.FailRead();   // refused before (FieldsRefusal)
        unit = std::max(unit, needed);
    }
    // A finer unit than the values' range allows is given up for a coarser one.
    for (uint64_t k = 0; k < count; ++k) {
        fields.Get(k, 0, field);
        while (unit > 0 && !FitsUnit(field.ms, unit)) --unit;
        if (!FitsUnit(field.ms, unit)) return out.FailRead();
    }
    const char* units[] = {"ms", "us", "ns"};
    const char* kind = fields.kind() == ValueFields::Kind::Datetimes ? "<M8[" : "<m8[";
    PutNpyHeader(std::string(kind) + units[unit] + "]", NpyShape(dims.data(), dims.size()), out);
    for (uint64_t k = 0; k < count && !out.Failed(); ++k) {
        fields.Get(k, 0, field);
        PutWord(static_cast<uint64_t>(Ticks(field.ms, field.extraMs, unit)), 8, out);
        out.Advance(1);
    }
}

}  // namespace exporting

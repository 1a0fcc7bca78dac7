// CSV files of numbers: a double matrix, one row per line, one column per
// comma-separated field. A first line that is not all numbers is the header
// and is skipped; an empty field is NaN (as readmatrix reads it); NaN, Inf
// and -Inf in any case are themselves; blank lines are skipped. A row of
// another length than the first, or a field that is no number, is refused
// with its line.
//
// The text is parsed once, row after row, into the values (8 bytes each,
// fewer than the text takes for all but one-digit numbers); the engine then
// reads them column after column. Beyond kHeldValues they go to a file
// without a name beside the CSV file (where the system makes such files),
// read as a C-order NPY matrix is, so that memory stays bounded; elsewhere
// they stay in memory.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "import/import.h"
#include "os/file_io.h"

namespace importing {

namespace {

constexpr size_t kReadPiece = 1024 * 1024;
// A level-5 element's tag counts its bytes in 32 bits (padding included):
// the doubles one variable can hold. They are counted as they are parsed,
// so that a larger file is refused before its values take that memory.
constexpr uint64_t kMaxValues = (std::numeric_limits<uint32_t>::max() - 8) / sizeof(double);
// A line is held whole until its end: one of more than this (some 20
// million numbers, or no text of lines at all) is refused, not held.
constexpr size_t kMaxLineBytes = 256 * 1024 * 1024;

// Values held in memory before they go to a file: 4 MB.
constexpr const char* kCannotSpill = "its values cannot be written beside it (is the disk full?)";
constexpr size_t kHeldValues = 512 * 1024;

struct CsvValues {
    std::vector<double> rowMajor;   // the values not in the file, after those in it
    uint64_t rows = 0, columns = 0;
    FILE* spill = nullptr;          // the file the first values went to, row after row
    uint64_t spilled = 0;
    bool inMemory = false;          // no such file can be made: all stay here
    CsvValues() = default;
    CsvValues(const CsvValues&) = delete;
    CsvValues& operator=(const CsvValues&) = delete;
    ~CsvValues() {
        if (spill != nullptr) platform::FileSystem().close(spill);
    }
};

int ReadCsv(void* context, FILE*, int part, uint64_t first, size_t count, void* out) {
    const CsvValues& values = *static_cast<const CsvValues*>(context);
    const uint64_t total = values.rows * values.columns;
    if (part != 0 || first > total || count > total - first) return 0;
    double* to = static_cast<double*>(out);
    uint64_t r = values.rows == 0 ? 0 : first % values.rows, c = values.rows == 0 ? 0 : first / values.rows;
    for (size_t k = 0; k < count; ++k) {
        to[k] = values.rowMajor[r * values.columns + c];
        if (++r == values.rows) {
            r = 0;
            ++c;
        }
    }
    return 1;
}

void ReleaseCsv(void* context) { delete static_cast<CsvValues*>(context); }

bool EqualsNoCase(const char* a, size_t n, const char* word) {
    if (std::strlen(word) != n) return false;
    for (size_t i = 0; i < n; ++i) {
        const char c = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
        if (c != word[i]) return false;
    }
    return true;
}

// One field as a number: blanks and quotes around it go; empty is NaN.
bool ParseField(const char* begin, const char* end, double* value) {
    while (begin < end && (*begin == ' ' || *begin == '\t')) ++begin;
    while (end > begin && (end[-1] == ' ' || end[-1] == '\t')) --end;
    if (end - begin >= 2 && *begin == '"' && end[-1] == '"') {
        ++begin;
        --end;
    }
    if (begin == end) {
        *value = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    bool negative = false;
    const char* p = begin;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    const size_t n = static_cast<size_t>(end - p);
    if (EqualsNoCase(p, n, "nan")) {
        *value = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (EqualsNoCase(p, n, "inf") || EqualsNoCase(p, n, "infinity")) {
        *value = negative ? -HUGE_VAL : HUGE_VAL;
        return true;
    }
    // from_chars takes no '+', and no second sign.
    if (p < end && (*p == '+' || *p == '-')) return false;
    const std::from_chars_result r = std::from_chars(p, end, *value);
    if (r.ec == std::errc::result_out_of_range) {
        // Beyond a double's range: as strtod reads it (infinity or zero).
        *value = std::strtod(std::string(p, end).c_str(), nullptr);
    } else if (r.ec != std::errc() || r.ptr != end) {
        return false;
    }
    if (negative) *value = -*value;
    return true;
}

class Parser {
public:
    Parser(CsvValues* values, const char* path) : values_(values), path_(path) {}

    // One line without its end; false (and why) on a refusal.
    bool Line(const char* begin, const char* end, std::string* why) {
        ++line_;
        if (end > begin && end[-1] == '\r') --end;
        if (line_ == 1 && end - begin >= 3 && std::memcmp(begin, "\xEF\xBB\xBF", 3) == 0) begin += 3;   // a BOM
        bool blank = true;
        for (const char* p = begin; p < end && blank; ++p) blank = *p == ' ' || *p == '\t';
        if (blank) return true;
        fields_.clear();
        bool numbers = true;
        std::string bad;
        for (const char* field = begin;;) {
            const char* comma = static_cast<const char*>(std::memchr(field, ',', static_cast<size_t>(end - field)));
            const char* stop = comma != nullptr ? comma : end;
            double value = 0;
            if (!ParseField(field, stop, &value)) {
                if (numbers) bad.assign(field, std::min<size_t>(static_cast<size_t>(stop - field), 40));
                numbers = false;
            }
            fields_.push_back(value);
            if (comma == nullptr) break;
            field = comma + 1;
        }
        const bool first = values_->rows == 0 && !headerSeen_;
        if (!numbers) {
            // The first line of text names the columns.
            if (first) {
                headerSeen_ = true;
                headerFields_ = fields_.size();
                return true;
            }
            *why = "line " + std::to_string(line_) + ": '" + bad + "' is not a number";
            return false;
        }
        if (values_->rows == 0) {
            values_->columns = fields_.size();
        } else if (fields_.size() != values_->columns) {
            *why = "line " + std::to_string(line_) + " has " + std::to_string(fields_.size()) + " values, the lines before it " +
                   std::to_string(values_->columns) + " (rows of different lengths)";
            return false;
        }
        if (values_->spilled + values_->rowMajor.size() + fields_.size() > kMaxValues) {
            *why = "line " + std::to_string(line_) + ": more values than a MAT-file variable holds";
            return false;
        }
        values_->rowMajor.insert(values_->rowMajor.end(), fields_.begin(), fields_.end());
        ++values_->rows;
        return values_->rowMajor.size() < kHeldValues || Spill(why);
    }
    // The values held go to the file (made at the first call); false and
    // why when it cannot take them.
    bool Spill(std::string* why) {
        if (values_->inMemory || values_->rowMajor.empty()) return true;
        if (values_->spill == nullptr) {
            values_->spill = platform::FileSystem().createUnnamedBeside(path_, true);
            if (values_->spill == nullptr) {
                values_->inMemory = true;
                return true;
            }
        }
        const size_t bytes = values_->rowMajor.size() * sizeof(double);
        if (platform::FileSystem().write(values_->rowMajor.data(), bytes, values_->spill) != bytes) {
            *why = kCannotSpill;
            return false;
        }
        values_->spilled += values_->rowMajor.size();
        values_->rowMajor.clear();
        return true;
    }
    uint64_t Lines() const { return line_; }
    // A file of a header alone: no rows, its columns.
    void Finish() {
        if (values_->rows == 0 && headerSeen_) values_->columns = headerFields_;
    }

private:
    CsvValues* values_;
    const char* path_;
    std::vector<double> fields_;
    uint64_t line_ = 0;
    bool headerSeen_ = false;
    size_t headerFields_ = 0;
};

}  // namespace

mxArray* ImportCsv(FILE* stream, const char* path, const std::string& name, std::string* why) {
    std::unique_ptr<CsvValues> values;
    try {
        values.reset(new CsvValues);
        Parser parser(values.get(), path);
        std::vector<char> piece(kReadPiece);
        std::string carry;   // the start of a line that runs on into the next piece
        uint64_t offset = 0;
        platform::FileStatus status;
        bool ok = platform::FileSystem().fileStatus(stream, &status) == 0;
        if (!ok) *why = "cannot be read";
        while (ok && offset < status.size) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(piece.size(), status.size - offset));
            const size_t got = platform::FileSystem().readAt(stream, offset, piece.data(), want);
            if (got != want) {
                *why = "cannot be read";
                ok = false;
                break;
            }
            offset += got;
            const char* p = piece.data();
            const char* end = p + got;
            while (ok && p < end) {
                const char* newline = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
                if (newline == nullptr) {
                    carry.append(p, end);
                    if (carry.size() > kMaxLineBytes) {
                        *why = "line " + std::to_string(parser.Lines() + 1) + " is longer than 256 MB";
                        ok = false;
                    }
                    break;
                }
                if (!carry.empty()) {
                    carry.append(p, newline);
                    ok = parser.Line(carry.data(), carry.data() + carry.size(), why);
                    carry.clear();
                } else {
                    ok = parser.Line(p, newline, why);
                }
                p = newline + 1;
            }
        }
        if (ok && !carry.empty()) ok = parser.Line(carry.data(), carry.data() + carry.size(), why);
        parser.Finish();
        // The rest of the values after the first in the file, and all of
        // them out of the stream's buffer.
        if (ok && values->spill != nullptr && (!parser.Spill(why) || platform::FileSystem().flush(values->spill) != 0)) {
            if (why->empty()) *why = kCannotSpill;
            ok = false;
        }
        if (!ok) {
            platform::FileSystem().close(stream);
            return nullptr;
        }
    } catch (const std::bad_alloc&) {
        *why = "not enough memory for its values";
        platform::FileSystem().close(stream);
        return nullptr;
    }
    if (values->spill != nullptr) {
        FILE* spill = std::exchange(values->spill, nullptr);
        platform::FileSystem().close(stream);
        return ImportRowMajorDoubles(spill, path, name, values->rows, values->columns, why);
    }
    const mwSize dims[2] = {static_cast<mwSize>(values->rows), static_cast<mwSize>(values->columns)};
    const mxImportedValues read{ReadCsv, ReleaseCsv, values.release()};
    mxArray* array = mxCreateImportedArray(name.c_str(), mxDOUBLE_CLASS, false, 2, dims, stream, path, &read);
    if (array == nullptr) *why = "more values than a MAT-file variable holds (or no memory)";
    return array;
}

}  // namespace importing

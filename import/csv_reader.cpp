// CSV files of numbers: a double matrix, one row per line, one column per
// comma-separated field. Lines end in LF, CR LF or CR alone (classic Mac
// files), in any mix, as Python's csv and pandas read them; a field in
// double quotes may hold commas, line ends and doubled quotes. A first line
// that is not all numbers is the header and is skipped; an empty field is NaN
// (as readmatrix reads it); NaN, Inf and -Inf in any case are themselves;
// blank lines are skipped. A row of another length than the first, or a
// field that is no number, is refused with its line.
//
// The text is read once, field after field, straight into the values (8
// bytes each): no line is ever held whole, only the field being read, and
// a field longer than kMaxCellBytes is refused with its line. The engine then
// reads the values column after column. Beyond kHeldValues they go to a file
// without a name beside the CSV file (where the system makes such files),
// read as a C-order NPY matrix is, so that memory stays bounded however long
// the file or its lines; elsewhere they stay in memory.
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
// The longest field taken: far more than any number's text or a column's
// name needs, and the only text held (an unclosed quote runs into it).
constexpr size_t kMaxCellBytes = 1024 * 1024;

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

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// One field (its quotes gone) as a number: blanks around it go; empty is NaN.
bool ParseField(const char* begin, const char* end, double* value) {
    while (begin < end && IsBlank(*begin)) ++begin;
    while (end > begin && IsBlank(end[-1])) --end;
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

// Reads the text piece by piece, field by field: a field's value goes to the
// values as soon as the field ends, so a line of millions of numbers takes
// no more memory than a short one.
class Parser {
public:
    Parser(CsvValues* values, const char* path) : values_(values), path_(path) {}

    // The next piece of the file; false (and why) on a refusal.
    bool Feed(const char* p, const char* end, std::string* why) {
        while (p < end) {
            const char c = *p;
            if (afterCr_) {
                afterCr_ = false;
                // CR LF is one line end, whether or not it lies inside quotes.
                if (c == '\n') {
                    ++p;
                    continue;
                }
            }
            switch (state_) {
                case State::Start:
                    if (IsBlank(c)) {
                        if (!Take(p, p + 1, why)) return false;
                        ++p;
                        continue;
                    }
                    if (c == '"') {
                        // Blanks before an opening quote are not the field's.
                        cell_.clear();
                        quoted_ = true;
                        state_ = State::Quoted;
                        ++p;
                        continue;
                    }
                    state_ = State::Plain;
                    continue;
                case State::Plain: {
                    const char* stop = p;
                    while (stop < end && *stop != ',' && *stop != '\n' && *stop != '\r') ++stop;
                    if (!Take(p, stop, why)) return false;
                    if (stop == end) return true;
                    p = stop + 1;
                    if (*stop == ',') {
                        if (!EndField(false, why)) return false;
                    } else {
                        afterCr_ = *stop == '\r';
                        if (!EndField(true, why) || !EndLine(why)) return false;
                    }
                    continue;
                }
                case State::Quoted: {
                    const char* stop = p;
                    while (stop < end && *stop != '"' && *stop != '\n' && *stop != '\r') ++stop;
                    if (!Take(p, stop, why)) return false;
                    if (stop == end) return true;
                    p = stop + 1;
                    if (*stop == '"') {
                        state_ = State::QuoteInQuoted;
                    } else {
                        // A line end inside the quotes is the field's.
                        afterCr_ = *stop == '\r';
                        ++line_;
                        if (!Take(stop, p, why)) return false;
                    }
                    continue;
                }
                case State::QuoteInQuoted:
                    if (c == '"') {   // a doubled quote is one quote of the text
                        if (!Take(p, p + 1, why)) return false;
                        ++p;
                        state_ = State::Quoted;
                    } else {
                        // The closing quote: what follows up to the next comma
                        // is read on as the field's text, as Python's csv does.
                        state_ = State::Plain;
                    }
                    continue;
            }
        }
        return true;
    }
    // The end of the file: the last line may lack its line end.
    bool Finish(std::string* why) {
        if (state_ == State::Quoted) {
            *why = "line " + std::to_string(cellLine_) + ": a quoted field without its closing quote";
            return false;
        }
        if ((state_ != State::Start || !cell_.empty() || fields_ > 0) && (!EndField(true, why) || !EndLine(why))) return false;
        // A file of a header alone: no rows, its columns.
        if (values_->rows == 0 && headerSeen_) values_->columns = headerFields_;
        return true;
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

private:
    enum class State { Start, Plain, Quoted, QuoteInQuoted };

    // Text of the field being read; refused past kMaxCellBytes.
    bool Take(const char* begin, const char* end, std::string* why) {
        if (static_cast<size_t>(end - begin) > kMaxCellBytes - cell_.size()) {
            *why = "line " + std::to_string(cellLine_) + ": a field longer than " + std::to_string(kMaxCellBytes / 1024 / 1024) +
                   " MB (the longest taken)";
            return false;
        }
        cell_.append(begin, end);
        return true;
    }

    bool EndField(bool lastOfLine, std::string* why) {
        const bool blankLine = lastOfLine && fields_ == 0 && !quoted_ &&
                               std::all_of(cell_.begin(), cell_.end(), [](char c) { return IsBlank(c); });
        if (blankLine) {
            blankLine_ = true;
        } else if (header_) {
            ++fields_;
        } else {
            double value = 0;
            if (!ParseField(cell_.data(), cell_.data() + cell_.size(), &value)) {
                if (values_->rows == 0 && !headerSeen_) {
                    // The first line of text names the columns: what was
                    // taken of it as numbers goes.
                    header_ = headerSeen_ = true;
                    Discard();
                } else {
                    *why = "line " + std::to_string(cellLine_) + ": '" + cell_.substr(0, 40) + "' is not a number";
                    return false;
                }
            } else if (values_->rows == 0 || fields_ < values_->columns) {
                if (values_->spilled + values_->rowMajor.size() >= kMaxValues) {
                    *why = "line " + std::to_string(cellLine_) + ": more values than a MAT-file variable holds";
                    return false;
                }
                values_->rowMajor.push_back(value);
                if (values_->rowMajor.size() >= kHeldValues && !Spill(why)) return false;
            }
            ++fields_;
        }
        cell_.clear();
        quoted_ = false;
        state_ = State::Start;
        cellLine_ = line_;
        return true;
    }

    bool EndLine(std::string* why) {
        if (header_) {
            headerFields_ = fields_;
        } else if (!blankLine_) {
            if (values_->rows == 0) {
                values_->columns = fields_;
            } else if (fields_ != values_->columns) {
                *why = "line " + std::to_string(recordLine_) + " has " + std::to_string(fields_) + " values, the lines before it " +
                       std::to_string(values_->columns) + " (rows of different lengths)";
                return false;
            }
            ++values_->rows;
        }
        header_ = blankLine_ = false;
        fields_ = 0;
        recordLine_ = cellLine_ = ++line_;
        return true;
    }

    // The values taken of the first line, which turned out to be the header.
    void Discard() {
        values_->rowMajor.clear();
        if (values_->spill != nullptr) {
            platform::FileSystem().close(values_->spill);
            values_->spill = nullptr;
            values_->spilled = 0;
        }
    }

    CsvValues* values_;
    const char* path_;
    State state_ = State::Start;
    std::string cell_;             // the field being read, without its quotes
    bool quoted_ = false;          // it began with a quote
    bool afterCr_ = false;         // the last byte ended a line with CR
    uint64_t fields_ = 0;          // fields of the line so far
    uint64_t line_ = 1;            // the line being read, from 1
    uint64_t recordLine_ = 1;      // where the row being read began
    uint64_t cellLine_ = 1;        // where the field being read began
    bool header_ = false;          // this line is the header
    bool headerSeen_ = false;
    bool blankLine_ = false;
    uint64_t headerFields_ = 0;
};

}  // namespace

mxArray* ImportCsv(FILE* stream, const char* path, const std::string& name, std::string* why) {
    std::unique_ptr<CsvValues> values;
    try {
        values.reset(new CsvValues);
        Parser parser(values.get(), path);
        std::vector<char> piece(kReadPiece);
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
            const char* begin = piece.data();
            if (offset == 0 && got >= 3 && std::memcmp(begin, "\xEF\xBB\xBF", 3) == 0) begin += 3;   // a BOM
            offset += got;
            ok = parser.Feed(begin, piece.data() + got, why);
        }
        ok = ok && parser.Finish(why);
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

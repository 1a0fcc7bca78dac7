// Tables, and arrays of texts, datetimes, durations and categories, read as
// the fields a delimited file (CSV, TSV) or NumPy takes: a table row by row,
// its variables of several columns as several fields; an array element by
// element. The variable is read whole (WholeVariable: a large one in a
// mapped scratch copy), as its JSON is.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/held_bytes.h"
#include "matlib/mat.h"

namespace matlib {

struct Field {
    enum class Kind { Missing, Number, Signed, Unsigned, Logical, Text };
    Kind kind = Kind::Missing;
    double number = 0, imag = 0;   // Number (imag when complex)
    bool single = false, complex = false;
    int64_t integer = 0;           // Signed
    uint64_t whole = 0;            // Unsigned; Logical: 0 or 1
    std::string text;              // Text (UTF-8)
    double ms = 0, extraMs = 0;    // an element of a datetime or duration array: its stored milliseconds
};

class ValueFields {
public:
    enum class Kind { Table, Texts, Datetimes, Durations };

    ValueFields();
    ~ValueFields();
    ValueFields(const ValueFields&) = delete;
    ValueFields& operator=(const ValueFields&) = delete;

    // Reads the variable: a table, a string, datetime, duration or
    // categorical array, or a cell array of texts. False with `error`
    // naming what it holds that cannot be written this way.
    bool Open(const mxArray* array, std::string& error, KeepGoing keepGoing = {});
    // After a failed Open: why the variable could not be held to be read
    // (WholeVariable::holdFailure), else empty.
    std::string HoldFailure() const;
    Kind kind() const;
    // A table: the heading of each field of a row (row names first, under
    // their dimension's name; a variable of n columns as name_1 ... name_n)
    // and its rows.
    const std::vector<std::string>& Headings() const;
    uint64_t Rows() const;
    // An array: its dimensions and number of elements.
    const std::vector<uint64_t>& Dims() const;
    uint64_t Count() const;
    // A table's field `column` of row `row`, or an array's element `row`
    // (storage order; column 0). False when its bytes are damaged.
    bool Get(uint64_t row, size_t column, Field& out) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace matlib

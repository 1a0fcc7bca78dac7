// A level-5 variable read whole, and the readers that its
// writers in other formats share: character data, a cell's or struct's
// children, an object's properties, and the elements of MATLAB's value
// objects (string, datetime, duration, categorical).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codec/array_view.h"
#include "matlib/mat.h"
#include "objects/subsystem.h"

namespace matlib {

// A variable read whole to be written (HeldBytes: a large one in a mapped
// scratch copy), and its file's subsystem data the same way.
class WholeVariable {
public:
    explicit WholeVariable(const mxArray& array) : array_(array) {}
    // Asked between the pieces of scratch copies (HeldBytes::PollWith).
    void PollWith(KeepGoing keepGoing) { keepGoing_ = std::move(keepGoing); }
    // Reads the variable's element; false with `error` saying why not
    // (`what`: what is written from level-5 files only).
    bool Load(const char* what, std::string& error);
    const Bytes& bytes() const { return bytes_; }
    const ArrayView& top() const { return top_; }
    // The file's subsystem data, loaded when first asked; null with `error`.
    const Subsystem* Objects(std::string& error);
    const Subsystem* Loaded() const { return subsystem_.get(); }
    // Lets the system take back what was read of scratch copies so far.
    void Release() const;
    // Why the element or the subsystem data could not be held (no scratch
    // file, no room for it ...): not a fault of the variable. Empty otherwise.
    const std::string& holdFailure() const { return holdFailure_; }

private:
    const mxArray& array_;
    HeldBytes element_;
    Bytes bytes_;
    ArrayView top_;
    std::string holdFailure_;
    bool loaded_ = false;
    std::unique_ptr<Subsystem> subsystem_;
    KeepGoing keepGoing_;
};

// The code units of a character array, in storage order.
bool CodeUnits(const Bytes& b, const ArrayView& v, std::vector<uint32_t>& out);
// UTF-8 of UTF-16 code units (pairs joined; a lone surrogate U+FFFD).
std::string Utf8OfUnits(const std::vector<uint32_t>& units);
// The positions of the first `count` children of a cell or struct.
bool ChildPositions(const Bytes& b, const ArrayView& v, uint64_t count, std::vector<size_t>& out);

// The same for a cell or struct of any size, in a few megabytes: the
// children are walked and checked once (each parsed, inside its parent, and
// passed to `check` when given), and one position in kEvery is kept. Child
// k is then found from the kept one before it by the sizes in its tags, and
// the child after the last one asked for in one step.
class ChildIndex {
public:
    bool Build(const Bytes& b, const ArrayView& v, uint64_t count,
               const std::function<bool(const ArrayView&)>& check = nullptr);
    uint64_t size() const { return count_; }
    size_t At(uint64_t k) const;   // k < size()

private:
    static constexpr uint64_t kEvery = 64;
    Bytes bytes_;
    std::vector<size_t> kept_;
    uint64_t count_ = 0;
    mutable uint64_t lastK_ = UINT64_MAX;
    mutable size_t lastAt_ = 0;
};
// The stored value of an object's property `name`.
bool PropertyValue(const Subsystem& sub, const std::vector<Subsystem::Property>& props, const char* name, ArrayView& out);
// An object's character property as UTF-8; empty when it has none.
std::string CharProperty(const Subsystem& sub, const std::vector<Subsystem::Property>& props, const char* name);

// A table's or a timetable's parts: the cell of its variables and the cell
// of their names, its row count, and what heads its rows (a table's row
// names, a timetable's row times: an object) with that column's heading
// (the rows' dimension name: "Row", "Time"). A timetable is saved by its
// saveobj as one property, `any`, a struct of these parts (data, varNames,
// numRows, rowTimes, dimNames). False when `cls` is neither or the parts
// are damaged.
struct TabularParts {
    ArrayView data, names;
    uint64_t rows = 0;
    bool labelled = false;
    ArrayView labels;
    std::string labelHeading;
    bool timetable = false;
};
bool IsTabular(const std::string& cls);
bool ReadTabular(const Subsystem& sub, const std::string& cls, const std::vector<Subsystem::Property>& props, TabularParts& out);

// The elements of a string, datetime, duration or categorical object, in
// storage order, read where they stand in the subsystem data when asked: a
// column of 10^6 values costs no copy of them. Checked whole when read.
// Not for two threads at once (a pass in order keeps its place).
struct ValueObject {
    enum class Kind { String, Datetime, Duration, Categorical };
    Kind kind = Kind::String;
    std::vector<uint64_t> dims;
    uint64_t count = 0;
    std::vector<std::string> texts;   // a categorical's labels
    Bytes bytes;                      // the subsystem data
    ArrayView values;                 // the data (datetime, duration), codes (categorical), words (string)
    std::string format, zone;
    // Strings: the word of the first length, where the UTF-16 units begin,
    // and the units before every kMarkEvery-th one.
    static constexpr uint64_t kMarkEvery = 256;
    uint64_t lengthsAt = 0;
    size_t textPos = 0;
    std::vector<uint64_t> marks;

    // Stored milliseconds (datetime and duration): whole, and below (the
    // imaginary part of a datetime's data).
    double Ms(uint64_t k) const;
    double ExtraMs(uint64_t k) const;
    // Categorical: the 1-based label, 0 undefined.
    uint32_t Code(uint64_t k) const;
    // NaT, NaN, <missing>, <undefined>.
    bool Missing(uint64_t k) const;
    // Element k as MATLAB shows it (a datetime or duration in its own format).
    std::string Text(uint64_t k) const;
    void AppendText(uint64_t k, std::string& out) const;

private:
    // A string's first unit (in bytes) and its length in units; false when missing.
    bool StringAt(uint64_t k, size_t& start, uint64_t& length) const;
    mutable uint64_t nextK_ = UINT64_MAX, nextBefore_ = 0;   // the units before element nextK_
};

// 1: `out` holds the object's elements; 0: `cls` is no value object;
// -1: damaged (`error` names `path`).
int ReadValueObject(const Subsystem& sub, const std::string& cls, const std::vector<Subsystem::Property>& props,
                    const std::string& path, ValueObject& out, std::string& error);

}  // namespace matlib

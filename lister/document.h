// A MAT-file as the lister shows it: its variables as `whos` lists them, and
// for the one in view its text, its values in ranges and in one forward
// pass. Only headers are read to list; values are read when they are drawn.
// Platform-neutral: the Qt and Win32 windows only paint what this gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "matlib/mat.h"
#include "picture/whos.h"

namespace lister {

// One line of the whos table.
struct VariableRow {
    std::string name;
    std::vector<uint64_t> dims;   // MATLAB's order: rows first
    std::string className;
    uint64_t bytes = 0;           // what its values take
    bool global = false, complex = false, sparse = false;
    int occurrence = 1;           // 1 for the first variable of its name

    uint64_t Elements() const;
    std::string SizeText() const;   // "3x4"
    // Its line of the whos table, `place` its index in the file.
    picture::WhosRow Whos(uint64_t place) const;
};

// What a variable can be shown as; the first of ViewsOf is shown first.
enum class View { Plot, Image, Picture, Grid, Text };
const char* ViewName(View view);

// Real numeric or logical, not sparse, not empty: values that can be drawn.
bool HasDrawableValues(const VariableRow& row);
std::vector<View> ViewsOf(const VariableRow& row);

// The text view's bound: the lister shows the start of a long text.
inline constexpr uint64_t kTextMaxBytes = 2u << 20;

class Document {
public:
    // Null when the file cannot be opened as a MAT-file; *why says why.
    static std::unique_ptr<Document> Open(const std::string& path, std::string* why);
    ~Document();
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    const std::string& Path() const { return path_; }
    const std::vector<VariableRow>& Rows() const { return rows_; }

    // The viewer's text of row's variable, at most kTextMaxBytes; a line at
    // its end says where it stopped or what was damaged.
    std::string Text(size_t row);
    // Values [first, first + count) of the real part as doubles; false when
    // fewer could be read (damage).
    bool ReadValues(size_t row, uint64_t first, size_t count, double* out);
    // The values [first, first + count) in order, batch by batch, to `take`
    // (which returns false to stop); false on damage or a stop.
    using TakeFn = std::function<bool(const double* values, size_t count)>;
    bool ForEachValue(size_t row, uint64_t first, uint64_t count, const TakeFn& take);

private:
    Document() = default;
    // The variable of `row` with access to its data, kept while it is in view.
    const mxArray* Array(size_t row);

    std::string path_;
    MATFile* file_ = nullptr;
    std::vector<VariableRow> rows_;
    size_t openRow_ = SIZE_MAX;
    mxArray* open_ = nullptr;
    mxElementReader* reader_ = nullptr;   // the open array's real part, read forward
};

// Where a variable stands, kept by a pass on another thread: the window's
// document may go before the pass has stopped.
struct VariablePlace {
    std::string path;
    size_t row = 0;
    VariableRow variable;
};
VariablePlace PlaceOf(const Document& document, size_t row);
// The variable on a handle of the pass's own (the window's handle stays with
// the window's thread); null when the file no longer holds it at its place.
std::unique_ptr<Document> Reopen(const VariablePlace& place);

}  // namespace lister

// Variables written in the formats other programs read: CSV and TSV
// (spreadsheets, pandas), NPY (NumPy), JSON (MATLAB's jsonencode rules),
// Matrix Market (sparse matrices: scipy, Julia, R), plain text, and
// pictures: PNG (a matrix as imagesc draws it, an M-by-N-by-3 array as
// its colours) and SVG (a line plot), chosen by the destination's
// extension. Each file is written
// aside in bounded memory (elements read in batches; a version 7.3 or 4
// sparse matrix's parts are decoded whole), reports its progress,
// can be cancelled, and goes in place only when it is complete.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "matlib/mat.h"

namespace matlib {
class ValueFields;
class WholeVariable;
}

namespace exporting {

enum class Format { Mat, Csv, Tsv, Npy, Json, Txt, Mtx, Png, Svg };

// The format the path's extension names, whatever its case; Mat for any
// other extension or none.
Format FormatOfPath(const char* path);
// "CSV", "TSV", "NPY", "JSON", "text", "Matrix Market", "PNG", "SVG", "MAT-file".
const char* FormatName(Format format);

// What Refusal read of a table or an array of texts, dates or categories
// (read whole to know whether the format takes it), handed on to
// ExportArray so that the variable is read once.
struct Prepared {
    std::shared_ptr<const matlib::ValueFields> fields;
    // Why the variable could not be held to be read (no room for its
    // scratch copy ...): no refusal, a failure ExportArray answers NoRoom
    // (Cancelled for matlib::kHoldCancelled).
    std::string holdFailure;
    // Asked between the pieces of a large variable's scratch copy, before
    // the export's own progress begins: false cancels.
    std::function<bool()> keepGoing;   // matlib::KeepGoing
    // A struct's, cell's or object's element as the JSON check read it.
    std::shared_ptr<matlib::WholeVariable> whole;
};

// Empty when the format can hold the variable; otherwise why not and which
// formats can ("a struct: only .mat or .txt").
std::string Refusal(Format format, const mxArray* array, Prepared* prepared = nullptr);

// Elements written so far of all of them; 0 cancels.
using ProgressFn = int (*)(void* context, uint64_t done, uint64_t total);

// TooLarge: more values than a text format takes; NoRoom: the output
// would not fit the destination's free space.
enum class Result { Ok, Cancelled, BadData, CreateFailed, WriteFailed, NoMemory, TooLarge, NoRoom };

// The most values a CSV, TSV or JSON file is written with: 2^32 values make
// at least 8 GB of text and a quarter of an hour of writing, more than
// spreadsheets hold (Excel: 2^34 cells, most far fewer) and than a reader
// of text loads whole; NPY and MAT-files take any size. (A version 7.3
// variable of 2^40 values never written, all its fill value, takes a few
// KB in its file and would take terabytes as text.)
inline constexpr uint64_t kMaxTextValues = uint64_t{1} << 32;

// The largest PNG written: 2^28 pixels (16384 x 16384, 768 MB of pixels
// for a viewer to hold), at most 2^19 wide (a band of rows of any picture
// then fits one batch of values). Larger matrices go to NPY.
inline constexpr uint64_t kMaxPicturePixels = uint64_t{1} << 28;
inline constexpr uint64_t kMaxPictureWidth = uint64_t{1} << 19;
// The most lines an SVG plot draws (a matrix's columns): more is no
// longer a plot anyone reads, and its file grows with every line.
inline constexpr uint64_t kMaxPlotLines = 64;

// Bytes the format writes for the array at the least (each number one digit
// and its separator): a bound below the file's size.
uint64_t LeastBytes(Format format, const mxArray* array);

// Whether the array's size lets it be written in the format at
// destination: Ok, or TooLarge or NoRoom and why (what the user can act
// on). Asked before anything is written.
Result CheckSize(Format format, const mxArray* array, const char* destination, std::string* why);

// Writes the array (which Refusal accepted) in the format (not Mat or Txt)
// aside and puts it in place of destination, replacing what is there; one
// CheckSize refuses it first (its why into *why when given). On any failure
// nothing is left. `name`: the variable's, a plot's title.
Result ExportArray(Format format, const mxArray* array, const char* destination, ProgressFn progress,
                   void* context, std::string* why = nullptr, const Prepared* prepared = nullptr,
                   const std::string& name = std::string());
// Whether ExportArray reads the array's elements one pass forward through
// its element readers, which meet any damage of them (BadData): a numeric
// or logical array that is not sparse and not empty (an empty one's stream
// is never read to its checksum).
bool StreamsElements(const mxArray* array);
// The same for a sparse matrix's lines (CSV, TSV, Matrix Market) read where
// its element lies: the sparse reader meets any damage of its parts, their
// places and a compressed element's checksum.
bool StreamsSparseLines(Format format, const mxArray* array);
// The same for a text that is already made (the viewer's).
Result ExportText(const std::string& text, const char* destination, ProgressFn progress, void* context);

}  // namespace exporting

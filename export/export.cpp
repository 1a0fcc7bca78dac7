// The format a destination names, what each format takes, and the export of
// one variable from its temporary file to its place.
#include "export/export.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <new>

#include "export/writers.h"
#include "objects/json_text.h"
#include "os/file_io.h"

namespace exporting {

Format FormatOfPath(const char* path) {
    if (path == nullptr) return Format::Mat;
    const char* dot = std::strrchr(path, '.');
    const char* separator = std::strpbrk(dot != nullptr ? dot : path, "/\\");
    if (dot == nullptr || separator != nullptr) return Format::Mat;
    std::string extension;
    for (const char* p = dot + 1; *p != '\0'; ++p) {
        extension += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    }
    if (extension == "csv") return Format::Csv;
    if (extension == "tsv") return Format::Tsv;
    if (extension == "npy") return Format::Npy;
    if (extension == "json") return Format::Json;
    if (extension == "txt") return Format::Txt;
    if (extension == "mtx") return Format::Mtx;
    if (extension == "png") return Format::Png;
    if (extension == "svg") return Format::Svg;
    return Format::Mat;
}

const char* FormatName(Format format) {
    switch (format) {
        case Format::Csv: return "CSV";
        case Format::Tsv: return "TSV";
        case Format::Npy: return "NPY";
        case Format::Json: return "JSON";
        case Format::Txt: return "text";
        case Format::Mtx: return "Matrix Market";
        case Format::Png: return "PNG";
        case Format::Svg: return "SVG";
        case Format::Mat: break;
    }
    return "MAT-file";
}

namespace {

bool IsNumeric(mxClassID id) { return id >= mxDOUBLE_CLASS && id <= mxUINT64_CLASS; }

// Why a picture format cannot take the array, or null: PNG takes a real
// 2-D matrix or an M-by-N-by-3 array, SVG a real vector or 2-D matrix.
static_assert(kMaxPictureWidth == 524288, "the refusal below names it");
const char* PictureReason(Format format, const mxArray* array) {
    if (array == nullptr) return "a function handle";
    const mxClassID id = mxGetClassID(array);
    if (mxIsSparse(array)) return "a sparse matrix";
    switch (id) {
        case mxCHAR_CLASS: return "a character array";
        case mxSTRUCT_CLASS: return "a struct";
        case mxCELL_CLASS: return "a cell array";
        default: break;
    }
    if (!IsNumeric(id) && id != mxLOGICAL_CLASS) return "an object (string, table, datetime, classdef ...)";
    if (mxIsComplex(array)) return "a complex array";
    if (mxGetNumberOfElements(array) == 0) return "an empty array";
    const size_t ndims = mxGetNumberOfDimensions(array);
    if (format == Format::Png && mxGetDimensions(array)[1] > kMaxPictureWidth) return "a matrix more than 524288 columns wide";
    if (format == Format::Png && ndims == 3 && IsTrueColour(array)) return nullptr;
    if (ndims > 2) {
        return format == Format::Png ? "an array of more than two dimensions (other than M-by-N-by-3)"
                                     : "an array of more than two dimensions";
    }
    return nullptr;
}

// Why the format cannot take the array, or null.
const char* Reason(Format format, const mxArray* array) {
    if (format == Format::Mat || format == Format::Txt) return nullptr;
    if (format == Format::Png || format == Format::Svg) return PictureReason(format, array);
    if (array == nullptr) return "a function handle";
    const mxClassID id = mxGetClassID(array);
    const bool numeric = IsNumeric(id) || id == mxLOGICAL_CLASS;
    // A sparse matrix goes out as its stored values with their places
    // (NumPy and jsonencode have no sparse form); Matrix Market takes only those.
    if (mxIsSparse(array)) return format == Format::Npy || format == Format::Json ? "a sparse matrix" : nullptr;
    if (id == mxCHAR_CLASS) {
        if (format == Format::Mtx) return "a character array";
        return mxGetNumberOfDimensions(array) > 2 ? "a character array of more than two dimensions" : nullptr;
    }
    if (!numeric) {
        if (format != Format::Mtx) return nullptr;   // what it holds decides (Why)
        switch (id) {
            case mxSTRUCT_CLASS: return "a struct";
            case mxCELL_CLASS: return "a cell array";
            default: return "an object (string, table, datetime, classdef ...)";
        }
    }
    if (format == Format::Mtx) return "a full (not sparse) array";
    if (format == Format::Json && mxGetNumberOfDimensions(array) > 2 && mxGetM(array) > 0 &&
        mxGetNumberOfElements(array) / mxGetM(array) > Values::kBatch) {
        return "an array of more than two dimensions with more than 2097152 elements in each row";
    }
    if (mxIsComplex(array)) {
        if (format == Format::Json) return "a complex array";
        if (format == Format::Npy && id != mxDOUBLE_CLASS && id != mxSINGLE_CLASS) return "a complex integer array";
    }
    return nullptr;
}

// A struct, cell or object as JSON: refused for a part that jsonencode
// refuses (a function handle, complex numbers ...), found by writing it to
// nowhere first.
std::string ContainerRefusal(const mxArray* array, Prepared* prepared) {
    std::string error;
    matlib::JsonRun run;
    if (prepared != nullptr) run.keepGoing = prepared->keepGoing;
    const bool fits = matlib::WriteContainerJson(array, [](const std::string&) { return true; }, error, &run);
    if (prepared != nullptr) prepared->whole = run.whole;   // written without reading it again
    if (fits) return std::string();
    if (!run.holdFailure.empty() && prepared != nullptr) return prepared->holdFailure = run.holdFailure, std::string();
    return error.empty() ? "it cannot be read" : error;
}

}  // namespace

bool IsContainer(const mxArray* array) {
    const mxClassID id = mxGetClassID(array);
    return id != mxCHAR_CLASS && id != mxLOGICAL_CLASS && !IsNumeric(id);
}

namespace {

// Why the format cannot take the array, or empty. Structs, cells and objects
// by what they hold: the JSON writer and the table and text readers are run
// to nowhere first.
std::string Why(Format format, const mxArray* array, Prepared* prepared = nullptr) {
    if (format == Format::Mat || format == Format::Txt || format == Format::Mtx || format == Format::Png || format == Format::Svg ||
        array == nullptr || !IsContainer(array)) {
        const char* reason = Reason(format, array);
        return reason == nullptr ? std::string() : reason;
    }
    if (format != Format::Json) return FieldsRefusal(format, array, prepared);
    const std::string part = ContainerRefusal(array, prepared);
    return part.empty() ? part : "its part " + part + ":";
}

}  // namespace

std::string Refusal(Format format, const mxArray* array, Prepared* prepared) {
    const std::string why = Why(format, array, prepared);
    if (why.empty()) return why;
    // A reason that is a sentence of its own ("s.x: a struct variable", "it
    // cannot be read") is set off by a colon.
    const bool sentence = why.back() != ':' && (why.find(':') != std::string::npos || why.rfind("it ", 0) == 0);
    std::string text = why + (sentence ? ": " : " ") + "cannot be written as " + FormatName(format) + "; it goes to ";
    // CSV and TSV take the same variables; each other format is asked once
    // (a struct's or table's asking reads it whole).
    if (format != Format::Mtx && Why(Format::Mtx, array).empty()) text += ".mtx, ";
    if (format != Format::Csv && format != Format::Tsv && Why(Format::Csv, array).empty()) text += ".csv, .tsv, ";
    if (format != Format::Npy && Why(Format::Npy, array).empty()) text += ".npy, ";
    if (format != Format::Json && Why(Format::Json, array).empty()) text += ".json, ";
    if (format != Format::Png && Why(Format::Png, array).empty()) text += ".png, ";
    if (format != Format::Svg && Why(Format::Svg, array).empty()) text += ".svg, ";
    return text + ".mat or .txt";
}

bool StreamsElements(const mxArray* array) {
    if (array == nullptr || mxIsSparse(array) || mxGetNumberOfElements(array) == 0) return false;
    const mxClassID id = mxGetClassID(array);
    return IsNumeric(id) || id == mxLOGICAL_CLASS;
}

namespace {

// A sparse matrix as lines: CSV/TSV's header and "1,1,0" (complex "0+0i")
// each; Matrix Market's banner, its empty comment, the sizes and "1 1 0"
// each (complex "0 0", a pattern no value).
uint64_t SparseLeastBytes(Format format, const mxArray* array, uint64_t lines) {
    const bool complex = mxIsComplex(array);
    if (format == Format::Mtx) {
        const uint64_t line = mxIsLogical(array) ? 4 : complex ? 8 : 6;
        return std::strlen("%%MatrixMarket matrix coordinate real general\n%\n0 0 0\n") + lines * line;
    }
    return std::strlen("row,col,value\n") + lines * (complex ? 9 : 6);
}

bool WritesSparseLines(Format format, const mxArray* array) {
    return mxIsSparse(array) && (format == Format::Csv || format == Format::Tsv || format == Format::Mtx);
}

}  // namespace

bool StreamsSparseLines(Format format, const mxArray* array) {
    return WritesSparseLines(format, array) && mxSparseReadInPlace(array);
}

uint64_t LeastBytes(Format format, const mxArray* array) {
    if (WritesSparseLines(format, array)) return SparseLeastBytes(format, array, SparseLines(array, format));
    const uint64_t n = mxGetNumberOfElements(array);
    const bool text = mxGetClassID(array) == mxCHAR_CLASS;
    // Element counts and widths are far below 2^60: no product overflows.
    constexpr uint64_t kCount = uint64_t{1} << 60;
    const uint64_t values = std::min(n, kCount);
    switch (format) {
        case Format::Npy: return 64 + values * (text ? 4 : mxGetElementSize(array) * (mxIsComplex(array) ? 2 : 1));
        case Format::Csv: case Format::Tsv: return text ? values : values * (mxIsComplex(array) ? 5 : 2);
        case Format::Json: return text || values == 0 ? values : 2 * values - 1;
        case Format::Png: return 64;    // deflated pixels may take next to nothing
        case Format::Svg: return 256;   // the axes; the lines' points are bounded by the width
        case Format::Mat: case Format::Txt: case Format::Mtx: break;
    }
    return 0;
}

namespace {

// CheckSize's answer for `values` values (a sparse matrix's lines) that
// take at least `least` bytes.
Result CheckSizeOf(Format format, uint64_t values, uint64_t least, const char* destination, std::string* why) {
    if ((format == Format::Csv || format == Format::Tsv || format == Format::Json || format == Format::Mtx) &&
        values > kMaxTextValues) {
        *why = std::to_string(values) + " values are more than a " + FormatName(format) + " file is written with (at most " +
               std::to_string(kMaxTextValues) + "); it goes to .npy or .mat";
        return Result::TooLarge;
    }
    uint64_t room = 0;
    if (platform::FileSystem().freeSpaceBeside(destination, &room) == 0 && least > room) {
        *why = "it takes at least " + std::to_string(least) + " bytes as " + FormatName(format) + ", the disk has " +
               std::to_string(room) + " free";
        return Result::NoRoom;
    }
    return Result::Ok;
}

}  // namespace

Result CheckSize(Format format, const mxArray* array, const char* destination, std::string* why) {
    const uint64_t values = mxGetNumberOfElements(array);
    if (format == Format::Png) {
        const uint64_t height = mxGetM(array), width = mxGetDimensions(array)[1];
        if (width > kMaxPictureWidth || height > kMaxPicturePixels / std::max<uint64_t>(width, 1)) {
            *why = "a picture of " + std::to_string(width) + " x " + std::to_string(height) +
                   " pixels is larger than a PNG file is written with (at most " + std::to_string(kMaxPicturePixels) +
                   " pixels, " + std::to_string(kMaxPictureWidth) + " wide); it goes to .npy or .mat";
            return Result::TooLarge;
        }
    }
    if (format == Format::Svg && values > kMaxTextValues) {
        // Read whole for a picture of a few KB: hours for values that may not even be stored.
        *why = std::to_string(values) + " values are more than an SVG plot is drawn from (at most " + std::to_string(kMaxTextValues) +
               "); it goes to .npy or .mat";
        return Result::TooLarge;
    }
    if (format == Format::Svg && mxGetM(array) > 1 && mxGetN(array) > kMaxPlotLines) {
        *why = "a plot of " + std::to_string(mxGetN(array)) + " columns has more lines than an SVG file is drawn with (at most " +
               std::to_string(kMaxPlotLines) + "); it goes to .png, .npy or .mat";
        return Result::TooLarge;
    }
    if (WritesSparseLines(format, array)) {
        const uint64_t lines = SparseLines(array, format);
        return CheckSizeOf(format, lines, SparseLeastBytes(format, array, lines), destination, why);
    }
    return CheckSizeOf(format, mxGetNumberOfElements(array), LeastBytes(format, array), destination, why);
}

Result ExportArray(Format format, const mxArray* array, const char* destination, ProgressFn progress,
                   void* context, std::string* why, const Prepared* prepared, const std::string& name) {
    try {
        // A sparse matrix's lines (a pattern's counted in a pass over its
        // values) are counted once; its progress counts them, not its size.
        if (prepared != nullptr && !prepared->holdFailure.empty()) {
            if (prepared->holdFailure == matlib::kHoldCancelled) return Result::Cancelled;
            if (why != nullptr) *why = "it cannot be read here: " + prepared->holdFailure;
            return Result::NoRoom;
        }
        const bool sparse = WritesSparseLines(format, array);
        const std::unique_ptr<SparseLineWriter> sparseLines = sparse ? std::make_unique<SparseLineWriter>(array, format) : nullptr;
        const uint64_t total = sparse ? sparseLines->Lines() : mxGetNumberOfElements(array);
        std::string refusal;
        const Result size = sparse ? CheckSizeOf(format, total, SparseLeastBytes(format, array, total), destination, &refusal)
                                   : CheckSize(format, array, destination, &refusal);
        if (size != Result::Ok) {
            if (why != nullptr) *why = refusal;
            return size;
        }
        Output out(progress, context, total);
        if (out.Create(destination) != Result::Ok) return Result::CreateFailed;
        const bool fields = IsContainer(array);   // a table, texts, dates, categories
        switch (format) {
            case Format::Csv:
                sparse ? sparseLines->WriteDelimited(',', out) : fields ? WriteFieldsDelimited(array, prepared, ',', out) : WriteDelimited(array, ',', out);
                break;
            case Format::Tsv:
                sparse ? sparseLines->WriteDelimited('\t', out) : fields ? WriteFieldsDelimited(array, prepared, '\t', out) : WriteDelimited(array, '\t', out);
                break;
            case Format::Mtx: sparseLines->WriteMtx(out); break;
            case Format::Npy: fields ? WriteFieldsNpy(array, prepared, out) : WriteNpy(array, out); break;
            case Format::Json: WriteJson(array, out, prepared); break;
            case Format::Png: WritePng(array, out); break;
            case Format::Svg: WriteSvg(array, name, out); break;
            case Format::Mat: case Format::Txt: return Result::CreateFailed;
        }
        return out.Place();
    } catch (const std::bad_alloc&) {
        return Result::NoMemory;
    }
}

Result ExportText(const std::string& text, const char* destination, ProgressFn progress, void* context) {
    try {
        Output out(progress, context, 1);
        if (out.Create(destination) != Result::Ok) return Result::CreateFailed;
        out.Put(text);
        return out.Place();
    } catch (const std::bad_alloc&) {
        return Result::NoMemory;
    }
}

bool ForEachRowBlock(Values& values, Output& out, uint64_t base, uint64_t m, uint64_t n, const BlockFn& take) {
    if (m == 0 || n == 0) return true;
    const uint64_t rows = n <= Values::kBatch ? std::max<uint64_t>(1, std::min<uint64_t>(m, Values::kBatch / n)) : 1;
    // More than one block: each reads a piece of every column.
    if (rows < m && !values.Unpack(out)) return false;
    if (n <= Values::kBatch) {
        for (uint64_t row = 0; row < m; row += rows) {
            const uint64_t count = std::min(rows, m - row);
            if (count == m) {
                // Whole columns follow each other: one run.
                if (!values.Read(base, static_cast<size_t>(m * n), 0)) return false;
            } else {
                for (uint64_t j = 0; j < n; ++j) {
                    if (!values.Read(base + j * m + row, static_cast<size_t>(count), static_cast<size_t>(j * count))) return false;
                }
            }
            take(row, count, 0, n);
            if (out.Failed()) return false;   // a Cancel is answered at once
        }
        return true;
    }
    // Rows longer than a block: one row at a time, in pieces.
    for (uint64_t row = 0; row < m; ++row) {
        for (uint64_t column = 0; column < n; column += Values::kBatch) {
            const uint64_t count = std::min<uint64_t>(Values::kBatch, n - column);
            if (m == 1) {
                if (!values.Read(base + column, static_cast<size_t>(count), 0)) return false;
            } else {
                for (uint64_t j = 0; j < count; ++j) {
                    if (!values.Read(base + (column + j) * m + row, 1, static_cast<size_t>(j))) return false;
                }
            }
            take(row, 1, column, count);
            if (out.Failed()) return false;
        }
    }
    return true;
}

}  // namespace exporting

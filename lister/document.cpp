// The lister's MAT-file: the whos rows from the headers, the text and the
// values of the variable in view.
#include "lister/document.h"

#include <algorithm>
#include <new>

#include "reader/variable_display.h"

namespace lister {

uint64_t VariableRow::Elements() const {
    uint64_t count = 1;
    for (uint64_t d : dims) {
        if (d != 0 && count > UINT64_MAX / d) return UINT64_MAX;
        count *= d;
    }
    return count;
}

std::string VariableRow::SizeText() const { return picture::SizeText(dims); }

picture::WhosRow VariableRow::Whos(uint64_t place) const {
    picture::WhosRow row{name, dims, bytes, className, std::string(), place};
    for (const auto& [on, word] : {std::pair{global, "global"}, std::pair{complex, "complex"}, std::pair{sparse, "sparse"}}) {
        if (!on) continue;
        row.attributes += row.attributes.empty() ? word : std::string(", ") + word;
    }
    return row;
}

const char* ViewName(View view) {
    switch (view) {
        case View::Plot: return "Plot";
        case View::Image: return "Image";
        case View::Picture: return "Picture";
        case View::Grid: return "Grid";
        case View::Text: return "Text";
    }
    return "Text";
}

namespace {

bool IsNumericClass(const std::string& name) {
    static const char* const kNames[] = {"double", "single", "int8",  "uint8",  "int16",  "uint16",
                                         "int32",  "uint32", "int64", "uint64", "logical"};
    return std::any_of(std::begin(kNames), std::end(kNames), [&name](const char* n) { return name == n; });
}

}  // namespace

bool HasDrawableValues(const VariableRow& row) {
    return IsNumericClass(row.className) && !row.complex && !row.sparse && row.Elements() > 0 &&
           row.Elements() != UINT64_MAX;
}

std::vector<View> ViewsOf(const VariableRow& row) {
    // A scalar says more as text than as a point.
    if (!HasDrawableValues(row) || row.Elements() == 1) return {View::Text};
    const bool vector = row.dims.size() == 2 && (row.dims[0] == 1 || row.dims[1] == 1);
    if (vector) return {View::Plot, View::Grid, View::Text};
    if (row.dims.size() == 3 && row.dims[2] == 3) return {View::Picture, View::Image, View::Grid, View::Text};
    return {View::Image, View::Plot, View::Grid, View::Text};
}

std::unique_ptr<Document> Document::Open(const std::string& path, std::string* why) {
    std::unique_ptr<Document> document(new (std::nothrow) Document);
    if (!document) return nullptr;
    document->path_ = path;
    document->file_ = matOpen(path.c_str(), "r");
    if (document->file_ == nullptr) {
        const char* error = matLastError();
        *why = error != nullptr && *error != '\0' ? error : "not a MAT-file this lister can read";
        return nullptr;
    }
    // Headers only: a variable's values are read when it is drawn.
    while (mxArray* header = matGetNextArrayHeader(document->file_)) {
        const char* name = mxGetName(header);
        // The unnamed variable holds the objects' subsystem data; whos does not list it.
        if (name != nullptr && *name != '\0') {
            VariableRow row;
            row.name = name;
            const mwSize* dims = mxGetDimensions(header);
            for (mwSize i = 0; dims != nullptr && i < mxGetNumberOfDimensions(header); ++i) row.dims.push_back(dims[i]);
            const char* className = mxGetClassName(header);
            row.className = className != nullptr ? className : "";
            const uint64_t elements = mxGetNumberOfElements(header);
            const uint64_t width = mxGetElementSize(header) * (mxIsComplex(header) ? 2 : 1);
            row.bytes = width != 0 && elements > UINT64_MAX / width ? UINT64_MAX : elements * width;
            row.global = mxIsFromGlobalWS(header);
            row.complex = mxIsComplex(header);
            row.sparse = mxIsSparse(header);
            row.occurrence = mxGetNameOccurrence(header);
            document->rows_.push_back(std::move(row));
        }
        mxDestroyArray(header);
    }
    return document;
}

Document::~Document() {
    if (reader_ != nullptr) mxCloseElementReader(reader_);
    if (open_ != nullptr) mxDestroyArray(open_);
    if (file_ != nullptr) matClose(file_);
}

const mxArray* Document::Array(size_t row) {
    if (row >= rows_.size()) return nullptr;
    if (row == openRow_) return open_;
    if (reader_ != nullptr) mxCloseElementReader(reader_);
    if (open_ != nullptr) mxDestroyArray(open_);
    reader_ = nullptr;
    openRow_ = row;
    open_ = matGetArrayOccurrence(file_, rows_[row].name.c_str(), rows_[row].occurrence);
    return open_;
}

std::string Document::Text(size_t row) {
    const mxArray* array = Array(row);
    if (array == nullptr) return row < rows_.size() ? rows_[row].name + ": cannot be read\n" : std::string();
    std::string text;
    const DisplayFacts facts{rows_[row].name, rows_[row].bytes};
    const auto append = [](void* to, const char* data, size_t length) {
        static_cast<std::string*>(to)->append(data, length);
        return true;
    };
    // A damaged variable's text ends with the line that says so.
    WriteVariableDisplay(array, facts, kTextMaxBytes, append, &text);
    return text;
}

bool Document::ReadValues(size_t row, uint64_t first, size_t count, double* out) {
    const mxArray* array = Array(row);
    if (array == nullptr) return false;
    if (reader_ == nullptr) reader_ = mxOpenElementReader(array, 0);
    if (reader_ == nullptr) return false;
    return mxReadElementsFrom(reader_, first, count, out, nullptr, nullptr) == count;
}

bool Document::ForEachValue(size_t row, uint64_t first, uint64_t count, const TakeFn& take) {
    const mxArray* array = Array(row);
    if (array == nullptr) return false;
    // A pass of its own: the grid's reader keeps its place.
    mxElementReader* reader = mxOpenElementReader(array, 0);
    if (reader == nullptr) return false;
    constexpr size_t kBatch = size_t{1} << 14;
    std::vector<double> values(kBatch);
    bool ok = true;
    for (uint64_t done = 0; done < count && ok;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kBatch, count - done));
        const size_t got = done == 0 ? mxReadElementsFrom(reader, first, want, values.data(), nullptr, nullptr)
                                     : mxReadNextElements(reader, want, values.data(), nullptr, nullptr);
        ok = got == want && take(values.data(), got);
        done += got;
    }
    mxCloseElementReader(reader);
    return ok;
}

VariablePlace PlaceOf(const Document& document, size_t row) { return {document.Path(), row, document.Rows()[row]}; }

std::unique_ptr<Document> Reopen(const VariablePlace& place) {
    std::string why;
    std::unique_ptr<Document> own = Document::Open(place.path, &why);
    const bool same = own && place.row < own->Rows().size() && own->Rows()[place.row].name == place.variable.name &&
                      own->Rows()[place.row].dims == place.variable.dims;
    return same ? std::move(own) : nullptr;
}

}  // namespace lister

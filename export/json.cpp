// JSON by MATLAB's jsonencode rules: a scalar as a value, a vector as an
// array, a matrix row by row as nested arrays (an array of more dimensions
// nested in the same way, the first subscript outermost), NaN and Inf as
// null, logical as true and false, a character row as a string and a
// character matrix as an array of strings, an empty array as [].
#include <algorithm>
#include <string>

#include "export/writers.h"
#include "objects/json_text.h"

namespace exporting {

namespace {

// jsonencode's escapes: \n, \t and the like by their short names.
void PutString(const std::u16string& row, Output& out) {
    std::string text, quoted;
    AppendUtf16(reinterpret_cast<const uint16_t*>(row.data()), row.size(), text);
    matlib::AppendJsonString(text, quoted);
    out.Put(quoted);
}

void WriteText(const mxArray* array, Output& out) {
    std::vector<std::u16string> rows;
    if (!CharRows(array, &rows)) return out.FailRead();
    if (rows.size() == 1 || mxGetNumberOfElements(array) == 0) {
        PutString(rows.empty() ? std::u16string() : rows[0], out);
    } else {
        out.Put('[');
        for (size_t r = 0; r < rows.size(); ++r) {
            if (r > 0) out.Put(',');
            PutString(rows[r], out);
        }
        out.Put(']');
    }
    out.Advance(mxGetNumberOfElements(array));
}

void PutNumber(const Values& values, size_t k, std::string& text) {
    if (values.classId == mxLOGICAL_CLASS) {
        text += values.IsTrue(k) ? "true" : "false";
    } else if (values.IsNaNOrInf(k)) {
        text += "null";
    } else {
        values.Text(k, text, false);
    }
}

}  // namespace

void WriteJson(const mxArray* array, Output& out, const Prepared* prepared) {
    if (mxGetClassID(array) == mxCHAR_CLASS) return WriteText(array, out);
    if (IsContainer(array)) {
        // Structs, cells and objects by what they hold (objects/json_text.h);
        // the caller's poll answers a Cancel while a large one is copied aside.
        // Progress by the share of the variable's bytes walked, in at least
        // kSteps steps (a 1-by-1 struct is one element).
        constexpr uint64_t kSteps = 1024;
        const uint64_t total = mxGetNumberOfElements(array) + kSteps;
        std::string error;
        double done = 0;
        uint64_t told = 0;
        matlib::JsonRun run;
        run.done = &done;
        if (prepared != nullptr) run.keepGoing = prepared->keepGoing, run.whole = prepared->whole;
        out.AddWork(kSteps);
        const bool written = matlib::WriteContainerJson(array, [&](const std::string& piece) {
            out.Put(piece);
            const uint64_t now = std::min(total, static_cast<uint64_t>(done * static_cast<double>(total)));
            if (now > told) out.Advance(now - told), told = now;   // a Cancel is answered here
            return !out.Failed();
        }, error, &run);
        if (run.holdFailure == matlib::kHoldCancelled) out.Cancel();
        if (!written && !out.Failed()) out.FailRead();
        out.Advance(total - told);
        return;
    }
    const uint64_t total = mxGetNumberOfElements(array);
    const size_t ndims = mxGetNumberOfDimensions(array);
    const mwSize* dims = mxGetDimensions(array);
    Values values(array, out.Destination());
    std::string text;
    if (total == 0) return out.Put("[]");
    // A vector (one dimension above 1 at most among the first two, none
    // after) is one flat array, a scalar a bare value.
    const bool vector = ndims == 2 && (dims[0] == 1 || dims[1] == 1);
    if (vector) {
        if (total > 1) out.Put('[');
        for (uint64_t first = 0; first < total && !out.Failed(); first += Values::kBatch) {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(Values::kBatch, total - first));
            if (!values.Read(first, count, 0)) return out.FailRead();
            text.clear();
            for (size_t k = 0; k < count; ++k) {
                if (first + k > 0) text += ',';
                PutNumber(values, k, text);
            }
            out.Put(text);
            out.Advance(count);
        }
        if (total > 1) out.Put(']');
        return;
    }
    // Row by row of the first dimension; within a row the other subscripts
    // in the same order, the last one innermost.
    const uint64_t m = dims[0], rest = total / m;
    std::vector<uint64_t> subscript(ndims, 0);
    out.Put('[');
    const bool whole = ForEachRowBlock(values, out, 0, m, rest, [&](uint64_t row, uint64_t rows, uint64_t column,
                                                               uint64_t columns) {
        for (uint64_t r = 0; r < rows; ++r) {
            text.clear();
            if (column == 0) {
                if (row + r > 0) text += ',';
                std::fill(subscript.begin(), subscript.end(), 0);
            }
            // Rows longer than a block come in pieces only for matrices
            // (Refusal), whose rows are stored in the order they are written.
            for (uint64_t j = 0; j < columns; ++j) {
                uint64_t slot = 0, stride = 1;
                if (ndims == 2) {
                    slot = column + j;
                } else {
                    for (size_t d = 1; d < ndims; ++d) {
                        slot += subscript[d] * stride;
                        stride *= dims[d];
                    }
                }
                // Brackets open where subscripts of the dimensions after
                // the first start again at 0.
                size_t opened = 0;
                for (size_t d = ndims - 1; d >= 1 && subscript[d] == 0; --d) ++opened;
                if (column + j > 0) text += ',';
                for (size_t b = 0; b < opened; ++b) text += '[';
                PutNumber(values, static_cast<size_t>(rows == 1 && ndims == 2 ? slot - column : slot * rows + r), text);
                // Advance the subscripts, the last dimension fastest; close
                // the brackets of the dimensions that wrap.
                for (size_t d = ndims - 1; d >= 1; --d) {
                    if (++subscript[d] < dims[d]) break;
                    subscript[d] = 0;
                    text += ']';
                }
            }
            out.Put(text);
        }
        out.Advance(rows * columns);
    });
    if (!whole) return out.FailRead();
    out.Put(']');
}

}  // namespace exporting

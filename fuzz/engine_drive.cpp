// What the engine fuzz targets do with a file: open, directory, every
// header, every variable read by name with all its data touched, each one
// written into a new file, and each one deleted from a copy. The sanitizers
// catch memory faults; the checks below catch results that are wrong for
// any input (a write or deletion that reports success but leaves a file
// that does not read back, a failed deletion that changed the file).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "matlib/mat.h"
#include "matlib/mat_internal.h"

using namespace fuzzsupport;

namespace {

// Each input is a small file; a few dozen variables already reach every
// path, and a file of thousands of tiny variables would otherwise make one
// input take seconds (every variable is written and deleted on its own).
constexpr size_t kMaxVariablesPerInput = 32;
// Elements asked of mxReadElements past the start and near the end.
constexpr size_t kReadCount = 16;
// The listing of a damaged file may go on past what matGetDir counted, but
// never without end: one header takes at least a tag (8 bytes) of the file.
constexpr size_t kTagBytes = 8;

struct Variable {
    std::string name;
    int occurrence;
};

size_t ClassBytes(const mxArray* a) {
    switch (mxGetClassID(a)) {
    case mxLOGICAL_CLASS:
    case mxCHAR_CLASS:
    case mxDOUBLE_CLASS:
    case mxSINGLE_CLASS:
    case mxINT8_CLASS:
    case mxUINT8_CLASS:
    case mxINT16_CLASS:
    case mxUINT16_CLASS:
    case mxINT32_CLASS:
    case mxUINT32_CLASS:
    case mxINT64_CLASS:
    case mxUINT64_CLASS:
        return mxGetElementSize(a);
    default:
        return 0;   // cell, struct, object, function handle, opaque: no element data
    }
}

// Reads every byte the accessors promise, so that ASan sees any buffer
// shorter than its array says.
volatile uint8_t gSink;
void Touch(const void* data, size_t bytes) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint8_t sum = 0;
    for (size_t i = 0; i < bytes; ++i) sum = static_cast<uint8_t>(sum + p[i]);
    gSink = sum;
}

void TouchHeader(const mxArray* a) {
    Require(mxGetName(a) != nullptr, "a header without a name string");
    Require(mxGetClassName(a) != nullptr, "a header without a class name");
    gSink = static_cast<uint8_t>(std::strlen(mxGetName(a)) + std::strlen(mxGetClassName(a)));
    const size_t rank = mxGetNumberOfDimensions(a);
    const mwSize* dims = mxGetDimensions(a);
    Require(rank == 0 || dims != nullptr, "dimensions missing for a non-zero rank");
    if (rank > 0) Touch(dims, rank * sizeof(mwSize));
    gSink = static_cast<uint8_t>(mxGetM(a) + mxGetN(a) + mxGetNumberOfElements(a) + mxGetNzmax(a) +
                                 mxIsComplex(a) + mxIsLogical(a) + mxIsSparse(a) + mxIsFromGlobalWS(a) +
                                 mxGetNameOccurrence(a));
}

void TouchData(const mxArray* a) {
    const size_t width = ClassBytes(a);
    if (mxIsSparse(a)) {
        const mwIndex* jc = mxGetJc(a);
        const mwIndex* ir = mxGetIr(a);
        void* pr = mxGetPr(a);
        void* pi = mxGetPi(a);
        if (jc != nullptr) {
            const size_t n = mxGetN(a);
            Touch(jc, (n + 1) * sizeof(mwIndex));
            const size_t nnz = jc[n];
            Require(ir != nullptr, "sparse: Jc decoded without Ir");
            Touch(ir, nnz * sizeof(mwIndex));
            for (size_t k = 0; k < nnz; ++k) Require(ir[k] < mxGetM(a), "sparse: a row index past the rows");
            if (pr != nullptr) Touch(pr, nnz * width);
            if (pi != nullptr) Touch(pi, nnz * width);
        }
    } else {
        void* pr = mxGetPr(a);
        void* pi = mxGetPi(a);
        if (width != 0) {
            if (pr != nullptr) Touch(pr, mxGetNumberOfElements(a) * width);
            if (pi != nullptr) Touch(pi, mxGetNumberOfElements(a) * width);
        }
        mxGetIr(a);
        mxGetJc(a);
    }
    char small[8], large[4096];
    mxGetString(a, small, sizeof small);
    mxGetString(a, large, sizeof large);
    Require(std::memchr(small, '\0', sizeof small) != nullptr, "mxGetString left the text unterminated");
    Require(std::memchr(large, '\0', sizeof large) != nullptr, "mxGetString left the text unterminated");
    double asDouble[kReadCount];
    int64_t asInt64[kReadCount];
    uint64_t asUInt64[kReadCount];
    const size_t count = mxGetNumberOfElements(a);
    for (int part = 0; part < 2; ++part) {
        Require(mxReadElements(a, part, 0, kReadCount, asDouble, asInt64, asUInt64) <= kReadCount,
                "mxReadElements gave more than asked");
        if (count > kReadCount) mxReadElements(a, part, count - kReadCount / 2, kReadCount, asDouble, nullptr, nullptr);
        mxReadElements(a, part, SIZE_MAX - 1, kReadCount, nullptr, asInt64, nullptr);
    }
    mxCheckArray(a, nullptr);
}

std::vector<Variable> ReadAll(const std::string& path, size_t fileSize) {
    std::vector<Variable> variables;
    MATFile* m = matOpen(path.c_str(), "r");
    if (m == nullptr) return variables;
    char text[128];
    matGetHeaderText(m, text, sizeof text);
    int count = -1;
    char** names = matGetDir(m, &count);
    Require(names != nullptr || count <= 0, "matGetDir: a count without names");
    Require(count >= 0 || names == nullptr, "matGetDir: names with a negative count");
    for (int i = 0; names != nullptr && i < count; ++i) {
        Require(names[i] != nullptr, "matGetDir: a null name");
        int occurrence = 1;
        for (int j = 0; j < i; ++j) occurrence += std::strcmp(names[i], names[j]) == 0;
        if (variables.size() < kMaxVariablesPerInput) variables.push_back({names[i], occurrence});
    }
    mxFree(names);

    size_t headers = 0;
    while (mxArray* h = matGetNextArrayHeader(m)) {
        TouchHeader(h);
        mxDestroyArray(h);
        Require(++headers <= fileSize / kTagBytes, "more headers than the file has room for");
    }
    Require(matGetNextArrayHeader(m) == nullptr, "a header after the end of the listing");

    for (const Variable& v : variables) {
        mxArray* a = v.occurrence == 1 ? matGetArray(m, v.name.c_str())
                                       : matGetArrayOccurrence(m, v.name.c_str(), v.occurrence);
        if (a == nullptr) continue;
        TouchHeader(a);
        Require(v.name == mxGetName(a), "matGetArray found a variable of another name", v.name);
        TouchData(a);
        // What structs, cells and objects hold: the subsystem decoder on
        // whatever the file's subsystem data is.
        char text[4096];
        if (mxDescribeValue(a, text, sizeof text) == 0) {
            Require(std::memchr(text, '\0', sizeof text) != nullptr, "a described value without its terminator");
        }
        mxDestroyArray(a);
    }
    matClose(m);
    return variables;
}

// Each variable into a new file of its own; a file written without error
// must open and list exactly that variable.
void WriteEach(const std::string& path, const std::vector<Variable>& variables) {
    MATFile* m = matOpen(path.c_str(), "r");
    if (m == nullptr) return;
    const std::string out = PathIn("written.mat");
    for (const Variable& v : variables) {
        mxArray* a = matGetArrayOccurrence(m, v.name.c_str(), v.occurrence);
        if (a == nullptr) continue;
        MATFile* w = matOpen(out.c_str(), "w");
        Require(w != nullptr, "matOpen w failed in the fuzz folder");
        const bool put = matPutArray(w, a) == 0;
        const bool closed = matClose(w) == 0;
        if (put && closed) {
            MATFile* back = matOpen(out.c_str(), "r");
            Require(back != nullptr, "a file written without error does not open", v.name);
            int count = -1;
            char** names = matGetDir(back, &count);
            // A variable that refers to objects takes the unnamed subsystem
            // data along: it may follow, as the file's last variable.
            Require(names != nullptr && (count == 1 || (count == 2 && names[1][0] == '\0')) && v.name == names[0],
                    "a file written without error does not list its variable", v.name);
            mxFree(names);
            mxArray* again = matGetArray(back, v.name.c_str());
            if (again != nullptr) {
                TouchData(again);
                mxDestroyArray(again);
            }
            matClose(back);
        }
        mxDestroyArray(a);
        RemoveAll(out);
    }
    matClose(m);
}

// Each variable deleted from a fresh copy. Success: the copy lists one
// variable fewer. Failure: the copy is byte for byte what it was. Either
// way nothing else is left in its folder.
void DeleteEach(const std::string& path, const std::vector<Variable>& variables) {
    const std::string folder = PathIn("update");
    const std::string copy = folder + "/copy.mat";
    const std::string original = ReadBytes(path);
    for (const Variable& v : variables) {
        FreshFolder(folder);
        CopyFile(path, copy);
        MATFile* u = matOpen(copy.c_str(), "u");
        if (u == nullptr) return;   // the update side refuses the file: no variable will do better
        int before = -1;
        mxFree(matGetDir(u, &before));
        const bool recorded = matDeleteArrayOccurrence(u, v.name.c_str(), v.occurrence) == 0;
        const bool closed = matClose(u) == 0;
        Require(ListFolder(folder) == "copy.mat ", "the update left other files behind", ListFolder(folder));
        if (recorded && closed) {
            MATFile* back = matOpen(copy.c_str(), "r");
            Require(back != nullptr, "a file updated without error does not open", v.name);
            int after = -1;
            mxFree(matGetDir(back, &after));
            Require(after == before - 1, "a deletion without error did not remove exactly one variable", v.name);
            matClose(back);
        } else if (!closed) {
            Require(ReadBytes(copy) == original, "a failed update changed the file", v.name);
        }
    }
    // matDeleteArray (first of the name), and a name that is not there.
    if (!variables.empty()) {
        FreshFolder(folder);
        CopyFile(path, copy);
        if (MATFile* u = matOpen(copy.c_str(), "u")) {
            matDeleteArray(u, variables.front().name.c_str());
            Require(matDeleteArray(u, "\x01no such variable") != 0, "deleted a variable that is not there");
            matClose(u);
        }
    }
    RemoveAll(folder);
}

}  // namespace

void fuzzsupport::DriveEngine(const std::string& path, size_t size) {
    const std::vector<Variable> variables = ReadAll(path, size);
    WriteEach(path, variables);
    DeleteEach(path, variables);
}

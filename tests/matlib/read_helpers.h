// Helpers of the engine's read tests: files from bytes, listings as text.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "matlib/mat.h"
#include "support/mat_builder.h"
#include "support/test_env.h"

namespace readtest {

struct FileCloser {
    void operator()(MATFile* m) const { matClose(m); }
};
struct ArrayDeleter {
    void operator()(mxArray* a) const { mxDestroyArray(a); }
};
using FilePtr = std::unique_ptr<MATFile, FileCloser>;
using ArrayPtr = std::unique_ptr<mxArray, ArrayDeleter>;

// "name.class [d1 d2 ...] flags" for one header: c complex, g global, l logical, s sparse.
std::string Describe(const mxArray* a);

// Every header the cursor delivers, one Describe line each.
std::vector<std::string> ListHeaders(MATFile* m);

// Opens bytes written into dir under name.
FilePtr OpenBytes(const testenv::TempDir& dir, const std::string& name, const matbuild::Bytes& bytes);

// The real part as doubles, through mxReadElements.
std::vector<double> ReadReal(const mxArray* a, size_t count, int part = 0);

}  // namespace readtest

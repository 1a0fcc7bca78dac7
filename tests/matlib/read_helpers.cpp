#include "read_helpers.h"

namespace readtest {

std::string Describe(const mxArray* a) {
    std::string s = std::string(mxGetName(a)) + "." + mxGetClassName(a) + " [";
    for (size_t i = 0; i < mxGetNumberOfDimensions(a); ++i) {
        if (i > 0) s += " ";
        s += std::to_string(mxGetDimensions(a)[i]);
    }
    s += "]";
    if (mxIsComplex(a)) s += " c";
    if (mxIsFromGlobalWS(a)) s += " g";
    if (mxIsLogical(a)) s += " l";
    if (mxIsSparse(a)) s += " s";
    return s;
}

std::vector<std::string> ListHeaders(MATFile* m) {
    std::vector<std::string> out;
    while (mxArray* a = matGetNextArrayHeader(m)) {
        out.push_back(Describe(a));
        mxDestroyArray(a);
    }
    return out;
}

FilePtr OpenBytes(const testenv::TempDir& dir, const std::string& name, const matbuild::Bytes& bytes) {
    matbuild::WriteFile(dir.file(name), bytes);
    return FilePtr(matOpen(dir.file(name).c_str(), "r"));
}

std::vector<double> ReadReal(const mxArray* a, size_t count, int part) {
    std::vector<double> v(count);
    v.resize(mxReadElements(a, part, 0, count, v.data(), nullptr, nullptr));
    return v;
}

}  // namespace readtest

// The engine's read side against scipy: files that scipy.io.savemat writes at
// test time (version 4, 5, compressed) and the MATLAB-written files of
// scipy's own test data (both byte orders, version 4, 5 and compressed). Every
// variable lists with scipy's name, class and dimensions, and its values
// (up to 16 shown) read back equal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <dirent.h>
#include <map>
#include <sstream>

#include "read_helpers.h"

using namespace readtest;

namespace {

const char* const kScipyData = "/usr/lib/python3/dist-packages/scipy/io/matlab/tests/data";

std::string Python() {
    std::string p = testenv::Get("MATWCX_PYTHON");
    return p.empty() ? "/usr/bin/python3" : p;
}

std::string Script() {
    std::string src = testenv::Get("MATWCX_SOURCE_DIR");
    return (src.empty() ? std::string("/work/main") : src) + "/tests/matlib/read_scipy_dump.py";
}

std::vector<std::string> RunLines(const std::string& command) {
    std::vector<std::string> lines;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return lines;
    char buffer[65536];
    while (std::fgets(buffer, sizeof buffer, p)) {
        std::string line(buffer);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        lines.push_back(line);
    }
    pclose(p);
    return lines;
}

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::stringstream in(s);
    std::string piece;
    while (std::getline(in, piece, sep)) out.push_back(piece);
    if (!s.empty() && s.back() == sep) out.push_back("");
    return out;
}

std::string Num(double v) {
    char b[40];
    std::snprintf(b, sizeof b, "%.17g", v);
    return b;
}

std::string Join(const std::vector<std::string>& parts) {
    std::string s;
    for (const std::string& p : parts) s += (s.empty() ? "" : " ") + p;
    return s;
}

// The same line as the script prints, from the engine.
std::string EngineValues(const mxArray* a) {
    std::vector<std::string> parts;
    if (mxIsSparse(a)) {
        const double* pr = static_cast<const double*>(mxGetPr(a));
        const mwIndex* jc = mxGetJc(a);
        if (!pr || !jc) return "<no data>";
        size_t nnz = jc[mxGetN(a)];
        std::vector<double> all;
        for (size_t i = 0; i < nnz; ++i) all.push_back(mxIsLogical(a) ? static_cast<const uint8_t*>(mxGetPr(a))[i] : pr[i]);
        if (mxIsComplex(a)) {
            const double* pi = static_cast<const double*>(mxGetPi(a));
            for (size_t i = 0; i < nnz; ++i) all.push_back(pi[i]);
        }
        for (size_t i = 0; i < all.size() && i < 16; ++i) parts.push_back(Num(all[i]));
        return Join(parts);
    }
    if (mxGetClassID(a) == mxCHAR_CLASS) {
        std::vector<char> text(4 * mxGetNumberOfElements(a) + 1);
        if (mxGetString(a, text.data(), text.size()) != 0) return "<no text>";
        std::string escaped;   // as the script writes it: one line per variable
        for (const char* c = text.data(); *c; ++c) {
            escaped += *c == '\\' ? "\\\\" : *c == '\n' ? "\\n" : *c == '\t' ? "\\t" : std::string(1, *c);
        }
        return escaped;
    }
    size_t n = std::min<size_t>(16, mxGetNumberOfElements(a));
    mxClassID id = mxGetClassID(a);
    bool integer = id == mxLOGICAL_CLASS || (id >= mxINT8_CLASS && id <= mxUINT64_CLASS);
    for (int part = 0; part < (mxIsComplex(a) ? 2 : 1); ++part) {
        std::vector<double> d(n);
        std::vector<int64_t> s(n);
        std::vector<uint64_t> u(n);
        if (mxReadElements(a, part, 0, n, d.data(), s.data(), u.data()) != n) return "<short read>";
        std::vector<std::string> values;
        for (size_t i = 0; i < n; ++i) {
            values.push_back(!integer ? Num(d[i]) : id == mxUINT64_CLASS ? std::to_string(u[i]) : std::to_string(s[i]));
        }
        if (part == 1) parts.push_back("|");
        parts.push_back(Join(values));
    }
    std::string joined = Join(parts);
    while (!joined.empty() && joined.back() == ' ') joined.pop_back();
    return joined;
}

void CompareWithScipy(const std::vector<std::string>& files, const std::string& writeInto) {
    std::string command = Python() + " " + Script() + " " + writeInto;
    for (const std::string& f : files) command += " '" + f + "'";
    std::vector<std::string> lines = RunLines(command + " 2>/dev/null");
    ASSERT_FALSE(lines.empty()) << command;
    std::map<std::string, std::vector<std::vector<std::string>>> byFile;
    for (const std::string& line : lines) {
        std::vector<std::string> f = Split(line, '\t');
        if (f.size() >= 2) byFile[f[0]].push_back(f);
    }
    for (const std::string& file : files) {
        const auto& expected = byFile[file];
        if (!expected.empty() && expected[0][1] == "!") continue;   // scipy cannot read it either
        FilePtr m(matOpen(file.c_str(), "r"));
        ASSERT_TRUE(m) << file;
        int count = -1;
        mxFree(matGetDir(m.get(), &count));
        EXPECT_EQ(count, static_cast<int>(expected.size())) << file;
        for (const auto& want : expected) {
            SCOPED_TRACE(file + " " + want[1]);
            ArrayPtr h(matGetNextArrayHeader(m.get()));
            ASSERT_TRUE(h);
            // scipy names MATLAB's unnamed trailing variable itself.
            std::string name = want[1] == "__function_workspace__" ? "" : want[1];
            EXPECT_EQ(mxGetName(h.get()), name);
            ArrayPtr a(matGetArray(m.get(), name.c_str()));
            ASSERT_TRUE(a);
            const std::string& cls = want[2];
            if (cls == "sparse") {
                EXPECT_TRUE(mxIsSparse(a.get()));
            } else if (cls == "function") {   // scipy's word for a function handle
                EXPECT_EQ(mxGetClassID(a.get()), mxFUNCTION_CLASS);
            } else if (cls == "object") {
                EXPECT_EQ(mxGetClassID(a.get()), mxOBJECT_CLASS);
            } else {
                EXPECT_EQ(mxGetClassName(a.get()), cls);
            }
            if (cls != "char") {
                std::vector<std::string> dims;
                for (size_t i = 0; i < mxGetNumberOfDimensions(a.get()); ++i) dims.push_back(std::to_string(mxGetDimensions(a.get())[i]));
                EXPECT_EQ(Join(dims), want[3]);
            }
            if (want.size() > 4 && !want[4].empty()) {
                EXPECT_EQ(EngineValues(a.get()), want[4]);
            }
        }
        EXPECT_FALSE(matGetNextArrayHeader(m.get())) << file;
    }
}

TEST(ReadScipy, FilesScipyWritesReadBackEqual) {
    testenv::TempDir dir;
    CompareWithScipy({dir.file("scipy_v5.mat"), dir.file("scipy_v5z.mat"), dir.file("scipy_v4.mat")}, dir.path());
}

TEST(ReadScipy, MatlabWrittenFilesListFullyWithScipysValues) {
    std::vector<std::string> files;
    if (DIR* d = opendir(kScipyData)) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            // Version 7.3 files are HDF5 containers, which this engine does not read.
            if (name.size() > 4 && name.substr(name.size() - 4) == ".mat" && name.find("hdf5") == std::string::npos) {
                files.push_back(std::string(kScipyData) + "/" + name);
            }
        }
        closedir(d);
    }
    if (files.empty()) GTEST_SKIP() << "scipy's test data is not installed";
    std::sort(files.begin(), files.end());
    CompareWithScipy(files, "-");
}

}  // namespace

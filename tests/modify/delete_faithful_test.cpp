// After a deletion every remaining variable stands in the file exactly as
// before, byte for byte, and scipy reads the same values from it: files that
// scipy, Octave and MATLAB wrote.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "delete_helpers.h"
#include "reader/list_helpers.h"
#include "support/mat_builder.h"
#include "support/test_env.h"

namespace {

using deletetest::DeleteTest;
using matbuild::Bytes;

struct Element {
    uint64_t offset;
    Bytes bytes;
};

uint32_t Load32(const Bytes& b, size_t at, bool big) {
    return big ? (uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3])
               : (uint32_t(b[at + 3]) << 24 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 1]) << 8 | b[at]);
}

// The top-level elements of a level-5 file. Compressed elements are not
// padded; the others end on 8 bytes.
std::vector<Element> Elements(const Bytes& file) {
    std::vector<Element> elements;
    if (file.size() < 128) return elements;
    const bool big = file[126] == 'M';
    uint64_t pos = 128;
    while (pos + 8 <= file.size()) {
        const uint32_t type = Load32(file, pos, big);
        uint64_t end = pos + 8 + Load32(file, pos + 4, big);
        if (type != 15) end = (end + 7) & ~uint64_t{7};
        if (end > file.size()) end = file.size();
        elements.push_back({pos, Bytes(file.begin() + pos, file.begin() + end)});
        pos = end;
    }
    return elements;
}

uint64_t SubsystemOffset(const Bytes& file) {
    const bool big = file[126] == 'M';
    const uint64_t high = Load32(file, big ? 116 : 120, big);
    const uint64_t low = Load32(file, big ? 120 : 116, big);
    return high << 32 | low;
}

// scipy loads both files; the second must hold the first's variables less the
// deleted ones, with equal values.
const char* const kSameValues = R"PY(
import sys, numpy as np, scipy.io, scipy.sparse
before = scipy.io.loadmat(sys.argv[1])
after = scipy.io.loadmat(sys.argv[2])
gone = set(sys.argv[3:])
def same(a, b):
    if scipy.sparse.issparse(a):
        return scipy.sparse.issparse(b) and a.shape == b.shape and (a != b).nnz == 0
    if isinstance(a, np.ndarray):
        if not isinstance(b, np.ndarray) or a.shape != b.shape or a.dtype != b.dtype:
            return False
        if a.dtype.names:
            return all(same(a[f], b[f]) for f in a.dtype.names)
        if a.dtype == object:
            return all(same(x, y) for x, y in zip(a.flat, b.flat))
        if a.dtype.kind in "fc":
            return np.array_equal(a, b, equal_nan=True)
        return np.array_equal(a, b)
    return a == b
keys = lambda d: {k for k in d if k not in ("__header__", "__version__", "__globals__")}
if keys(after) != keys(before) - gone:
    print("variables", sorted(keys(before)), "->", sorted(keys(after))); sys.exit(1)
for k in keys(after):
    if not same(before[k], after[k]):
        print("value of", k, "differs"); sys.exit(1)
)PY";

bool ScipySeesTheSameValues(const std::string& before, const std::string& after,
                            const std::vector<std::string>& gone) {
    testenv::TempDir scratch;
    const std::string script = scratch.file("same.py");
    matbuild::WriteFile(script, Bytes(kSameValues, kSameValues + std::strlen(kSameValues)));
    std::string command = "/usr/bin/python3 " + script + " '" + before + "' '" + after + "'";
    for (const std::string& name : gone) command += " '" + name + "'";
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Deletes the listed entries at `indexes` from a copy of `source` and checks
// what remains.
// scipy 1.10 cannot read Octave's files at all (it fails on the originals),
// so those are compared byte for byte only.
void DeleteAndCompare(const std::string& source, const std::vector<size_t>& indexes,
                      bool scipyReadsIt = true) {
    SCOPED_TRACE(source);
    if (!std::filesystem::exists(source)) GTEST_SKIP() << "missing " << source;
    testenv::TempDir dir;
    const std::string path = dir.file("copy.mat");
    std::filesystem::copy_file(source, path);
    const Bytes before = matbuild::ReadFile(path);

    std::vector<std::string> listed;
    {
        listtest::ListedFile file(path);
        ASSERT_TRUE(file.ok());
        listed = file.Names();
    }
    std::vector<std::string> entries, gone;
    for (size_t i : indexes) {
        ASSERT_LT(i, listed.size());
        entries.push_back(listed[i]);
        gone.push_back(listed[i].substr(0, listed[i].find('.')));
    }
    ASSERT_EQ(deletetest::Delete(path, entries), 0);
    const Bytes after = matbuild::ReadFile(path);

    if (before[126] == 'I' || before[126] == 'M') {   // level 5: compare element by element
        ASSERT_TRUE(std::equal(before.begin(), before.begin() + 116, after.begin()));   // header text
        ASSERT_TRUE(std::equal(before.begin() + 124, before.begin() + 128, after.begin() + 124));
        std::vector<Element> kept = Elements(before);
        ASSERT_EQ(kept.size(), listed.size());
        for (size_t k = indexes.size(); k-- > 0;) kept.erase(kept.begin() + indexes[k]);
        const std::vector<Element> remaining = Elements(after);
        ASSERT_EQ(remaining.size(), kept.size());
        for (size_t k = 0; k < kept.size(); ++k) {
            EXPECT_TRUE(remaining[k].bytes == kept[k].bytes) << "element " << k << " changed";
            // The function workspace moves with its element.
            if (SubsystemOffset(before) == kept[k].offset) {
                EXPECT_EQ(SubsystemOffset(after), remaining[k].offset);
            }
        }
    }
    if (scipyReadsIt) {
        EXPECT_TRUE(ScipySeesTheSameValues(source, path, gone));
    }
}

std::string TestData(const std::string& file) { return testenv::TestDataDir() + "/" + file; }

class DeleteFaithfully : public DeleteTest {
protected:
    void SetUp() override {
        if (testenv::TestDataDir().empty()) GTEST_SKIP() << "no test data (run through ctest)";
        DeleteTest::SetUp();
    }
};

TEST_F(DeleteFaithfully, ScipyWrittenFiles) {
    DeleteAndCompare(TestData("scipy/v5.mat"), {0, 5, 9});
    DeleteAndCompare(TestData("scipy/v5_compressed.mat"), {1, 2});
    DeleteAndCompare(TestData("scipy/v4.mat"), {0, 3});
}

TEST_F(DeleteFaithfully, OctaveWrittenFiles) {
    DeleteAndCompare(TestData("octave/v7.mat"), {2}, false);
    DeleteAndCompare(TestData("octave/v6.mat"), {0}, false);
}

TEST_F(DeleteFaithfully, MatlabWrittenFiles) {
    DeleteAndCompare(TestData("matlab/big_endian.mat"), {0});
    DeleteAndCompare(TestData("matlab/testmulti_7.4_GLNX86.mat"), {0});
    DeleteAndCompare(TestData("matlab/testmulti_4.2c_SOL2.mat"), {1});
    DeleteAndCompare(TestData("matlab/some_functions.mat"), {0, 3});   // the workspace stays
}

}  // namespace

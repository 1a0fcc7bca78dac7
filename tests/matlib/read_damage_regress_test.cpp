// Every input that ever made a fuzz target fail (fuzz/findings/) stays a
// case here: replayed as it was found, and rebuilt by hand with the result it
// must give now. fuzz/findings/README.md tells each fault and its fix.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "read_helpers.h"

using namespace matbuild;
using namespace readtest;

namespace {

// What engine_fuzz does to a file, in short: every header, every variable
// read with its data, written into a new file, deleted from a copy.
void ReadWriteDeleteEverything(const testenv::TempDir& dir, const std::string& path) {
    std::vector<std::string> names;
    if (FilePtr m{matOpen(path.c_str(), "r")}) {
        int n = 0;
        char** dirNames = matGetDir(m.get(), &n);
        for (int i = 0; dirNames != nullptr && i < n; ++i) names.push_back(dirNames[i]);
        mxFree(dirNames);
        ListHeaders(m.get());
        for (const std::string& name : names) {
            ArrayPtr a(matGetArray(m.get(), name.c_str()));
            if (!a) continue;
            mxGetPr(a.get());
            mxGetPi(a.get());
            mxGetIr(a.get());
            mxGetJc(a.get());
            char text[64];
            mxGetString(a.get(), text, sizeof text);
            ReadReal(a.get(), 8, 0);
            ReadReal(a.get(), 8, 1);
            MATFile* w = matOpen(dir.file("written.mat").c_str(), "w");
            ASSERT_NE(w, nullptr);
            matPutArray(w, a.get());
            matClose(w);
        }
    }
    for (const std::string& name : names) {
        std::filesystem::copy_file(path, dir.file("copy.mat"), std::filesystem::copy_options::overwrite_existing);
        if (MATFile* u = matOpen(dir.file("copy.mat").c_str(), "u")) {
            matDeleteArray(u, name.c_str());
            matClose(u);
        }
    }
}

TEST(ReadDamageRegress, EveryEngineFindingIsReplayed) {
    const std::string source = testenv::Get("MATWCX_SOURCE_DIR");
    if (source.empty()) GTEST_SKIP() << "MATWCX_SOURCE_DIR is not set (ctest sets it)";
    std::vector<std::string> findings;
    for (const auto& entry : std::filesystem::directory_iterator(source + "/fuzz/findings/engine")) {
        findings.push_back(entry.path().string());
    }
    std::sort(findings.begin(), findings.end());
    ASSERT_FALSE(findings.empty());
    testenv::TempDir dir;
    for (const std::string& finding : findings) {
        SCOPED_TRACE(finding);
        ReadWriteDeleteEverything(dir, finding);
    }
}

// fuzz/findings/engine/v4_empty_matrix_memcpy_null.mat: a version 4 complex
// matrix with no elements was decoded by copying from a null pointer. It is
// an empty array with empty real and imaginary parts, and writes as one.
TEST(ReadDamageRegress, Version4MatrixWithoutElementsDecodesEmpty) {
    testenv::TempDir dir;
    for (V4Order order : {V4Order::Little, V4Order::Big}) {
        for (uint32_t typeWord : {0u, 50u, 1u}) {   // double full, uint8 full, double text
            const uint32_t machine = order == V4Order::Big ? 1000u : 0u;
            Bytes file = V4MatrixRaw(order, machine + typeWord, "u8", 257, 0, typeWord == 1 ? 0 : 1, {});
            FilePtr m = OpenBytes(dir, "empty.mat", file);
            ASSERT_TRUE(m) << typeWord;
            ArrayPtr a(matGetArray(m.get(), "u8"));
            ASSERT_TRUE(a) << typeWord;
            EXPECT_EQ(mxGetM(a.get()), 257u);
            EXPECT_EQ(mxGetNumberOfElements(a.get()), 0u);
            EXPECT_NE(mxGetPr(a.get()), nullptr) << typeWord;
            EXPECT_EQ(mxGetPi(a.get()) != nullptr, typeWord != 1) << typeWord;
            EXPECT_EQ(ReadReal(a.get(), 4).size(), 0u);
            char text[8] = "x";
            if (typeWord == 1) {
                EXPECT_EQ(mxGetString(a.get(), text, sizeof text), 0);
                EXPECT_STREQ(text, "");
            }

            MATFile* w = matOpen(dir.file("out.mat").c_str(), "w");
            ASSERT_NE(w, nullptr);
            EXPECT_EQ(matPutArray(w, a.get()), 0) << typeWord;
            EXPECT_EQ(matClose(w), 0);
            FilePtr back(matOpen(dir.file("out.mat").c_str(), "r"));
            ASSERT_TRUE(back);
            std::vector<std::string> listed = ListHeaders(back.get());
            ASSERT_EQ(listed.size(), 1u);
            const std::string expected = typeWord == 1 ? "u8.char [257 0]" : "u8.double [257 0]";
            EXPECT_EQ(listed[0].rfind(expected, 0), 0u) << listed[0];
        }
    }
}

// fuzz/findings/engine/complex_char_pi_shorter_than_elements.mat: a char
// array flagged complex decoded its text, and mxGetPi gave a pointer to no
// imaginary data while the array counted 43 elements. There is no imaginary
// part to give: null, while the text still reads.
TEST(ReadDamageRegress, ComplexFlagOnACharArrayGivesNoImaginaryPart) {
    testenv::TempDir dir;
    for (Order o : {Order::Little, Order::Big}) {
        Bytes chars = Matrix(o, Cat({FlagsElement(o, mxCHAR, kComplex), DimsElement(o, {1, 4}), NameElement(o, "s"),
                                     Element(o, miUINT16, Cat({U16(o, 't'), U16(o, 'e'), U16(o, 'x'), U16(o, 't')}))}));
        FilePtr m = OpenBytes(dir, "c.mat", File5(o, {chars}));
        ASSERT_TRUE(m);
        ArrayPtr a(matGetArray(m.get(), "s"));
        ASSERT_TRUE(a);
        EXPECT_EQ(mxGetNumberOfElements(a.get()), 4u);
        EXPECT_NE(mxGetPr(a.get()), nullptr);
        EXPECT_EQ(mxGetPi(a.get()), nullptr);
        char text[8];
        EXPECT_EQ(mxGetString(a.get(), text, sizeof text), 0);
        EXPECT_STREQ(text, "text");
    }
}

}  // namespace

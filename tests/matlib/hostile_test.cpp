// Damaged and hostile files: every one gives null or a failure, without
// crashing or giving wrong values; a cut file lists a prefix of the whole.
// Fuzz findings (fuzz/findings/) are replayed and their faults rebuilt by hand.
// (The cases that need a memory bound or a fork: bounds_test.cpp.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "support/support.h"

using namespace matbuild;
using namespace support;

namespace {

// Touches everything a reader and a writer may touch; the sanitizers watch.
size_t ReadEverything(const testenv::TempDir& dir, MATFile* m) {
    int n = 0;
    mxFree(matGetDir(m, &n));
    size_t headers = 0;
    while (mxArray* h = matGetNextArrayHeader(m)) {
        ++headers;
        ArrayPtr a(matGetArray(m, mxGetName(h)));
        if (a) {
            mxGetPr(a.get());
            mxGetPi(a.get());
            mxGetIr(a.get());
            mxGetJc(a.get());
            char text[32];
            mxGetString(a.get(), text, sizeof text);
            ReadReal(a.get(), 8, 0);
            ReadReal(a.get(), 8, 1);
            mxCheckArray(a.get(), nullptr);
            MATFile* w = matOpen(dir.file("written.mat").c_str(), "w");
            if (w != nullptr) {
                matPutArray(w, a.get());
                matClose(w);
            }
        }
        mxDestroyArray(h);
    }
    EXPECT_GE(headers, static_cast<size_t>(n < 0 ? 0 : n));   // a failed directory (-1) promises nothing
    return headers;
}

Bytes Whole(Order o) {
    return File5(o, {
        NumericVar(o, "a", mxDOUBLE, {2, 2}, {1, 2, 3, 4}, {5, 6, 7, 8}),
        Compressed(o, CharVar(o, "s", "text")),
        SparseVar(o, "sp", 3, 2, {0, 2}, {0, 1, 2}, {5, 6}),
        StructVar(o, "st", {1, 1}, {"f"}, {NumericVar(o, "", mxINT8, {1, 3}, {1, 2, 3})}),
        Compressed(o, CellVar(o, "c", {1, 2}, {CharVar(o, "", "x"), NumericVar(o, "", mxUINT16, {1, 1}, {9})})),
    });
}

// The engine's listing of a file cut at any byte is the whole file's up to
// some variable, and the plug-in lists no more than that.
TEST(Hostile, TruncatedAtEveryOffsetListsAPrefixOfTheWhole) {
    testenv::TempDir dir;
    const testhost::Plugin& plugin = testhost::LoadedPlugin();
    ASSERT_TRUE(testhost::loaded(plugin));
    const Bytes v4 = Cat({V4Matrix(V4Order::Big, V4Precision::Int16, V4Type::Full, "x", 2, 2, {1, 2, 3, 4}),
                          V4Matrix(V4Order::Big, V4Precision::Double, V4Type::Sparse, "s", 2, 3, {1, 2, 1, 2, 5, 0})});
    for (const Bytes& full : {Whole(Order::Little), Whole(Order::Big), v4}) {
        FilePtr whole = OpenBytes(dir, "whole.mat", full);
        ASSERT_TRUE(whole);
        const std::vector<std::string> all = ListHeaders(whole.get());
        ASSERT_EQ(all.size(), full == v4 ? 2u : 5u);
        for (size_t cut = 0; cut < full.size(); ++cut) {
            FilePtr m = OpenBytes(dir, "cut.mat", Bytes(full.begin(), full.begin() + cut));
            if (!m) continue;
            const std::vector<std::string> listed = ListHeaders(m.get());
            ASSERT_LT(listed.size(), all.size()) << cut;
            EXPECT_EQ(listed, std::vector<std::string>(all.begin(), all.begin() + listed.size())) << cut;
            m.reset();
            m = FilePtr(matOpen(dir.file("cut.mat").c_str(), "r"));
            ReadEverything(dir, m.get());
            testhost::Archive archive(plugin, dir.file("cut.mat"), PK_OM_LIST);
            EXPECT_LE(archive.ReadAll().size(), listed.size()) << cut;
        }
    }
}

TEST(Hostile, SeededFlippedBytesNeverCrash) {
    testenv::TempDir dir;
    const Bytes full = Whole(Order::Little);
    uint32_t seed = 12345;
    for (int round = 0; round < 300; ++round) {
        Bytes bad = full;
        for (int k = 0; k < 3; ++k) {
            seed = seed * 1103515245 + 12345;
            bad[128 + (seed >> 8) % (bad.size() - 128)] ^= static_cast<uint8_t>(seed >> 3 | 1);
        }
        if (FilePtr m = OpenBytes(dir, "f.mat", bad)) ReadEverything(dir, m.get());
    }
}

// A version 7.3 file cut short or with bytes flipped behind its header
// (its HDF5 data): libhdf5 refuses it, reads it or crashes (in H5Ocopy, seed
// 777 here), the engine fails cleanly.
TEST(Hostile, DamagedVersion73FilesFailCleanly) {
    const std::string path = testenv::TestDataDir() + "/matio/v73.mat";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "no test data (run through ctest)";
    testenv::TempDir dir;
    const Bytes full = ReadFile(path);
    FilePtr whole = OpenBytes(dir, "whole.mat", full);
    if (!whole && matLastOpenFailure() == MAT_OPEN_VERSION_73) GTEST_SKIP() << "this build reads no version 7.3 file";
    ASSERT_EQ(ListHeaders(whole.get()).size(), 22u);
    for (size_t cut : {size_t{520}, size_t{1024}, full.size() / 2, full.size() - 1}) {
        EXPECT_FALSE(OpenBytes(dir, "cut.mat", Bytes(full.begin(), full.begin() + cut))) << cut;
    }
    uint32_t seed = 777;
    for (int round = 0; round < 100; ++round) {
        Bytes bad = full;
        for (int k = 0; k < 4; ++k) {
            seed = seed * 1103515245 + 12345;
            bad[512 + (seed >> 8) % (bad.size() - 512)] ^= static_cast<uint8_t>(seed >> 3 | 1);
        }
        if (FilePtr m = OpenBytes(dir, "f.mat", bad)) ReadEverything(dir, m.get());
    }
}

Bytes WithDims(Order o, const char* name, const std::vector<int32_t>& dims, const Bytes& data = {}) {
    return Matrix(o, Cat({FlagsElement(o, mxDOUBLE), DimsElement(o, dims), NameElement(o, name), data}));
}

// Headers that cannot be: the file opens, the variable does not list.
TEST(Hostile, ImpossibleHeadersDoNotList) {
    const Order o = Order::Little;
    testenv::TempDir dir;
    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"4 dimensions of 2^31-1 (the product overflows)",
         WithDims(o, "x", {INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX}, ValueElement(o, miDOUBLE, {1}))},
        {"65 dimensions", WithDims(o, "x", std::vector<int32_t>(65, 1))},
        {"a negative dimension", WithDims(o, "x", {-1, 1})},
        {"a name of 100,000 bytes", NumericVar(o, std::string(100000, 'n'), mxDOUBLE, {1, 1}, {1})},
    };
    for (const auto& [what, element] : cases) {
        FilePtr m = OpenBytes(dir, "h.mat", File5(o, {element}));
        ASSERT_TRUE(m) << what;
        EXPECT_FALSE(ArrayPtr(matGetNextArrayHeader(m.get()))) << what;
        // A damaged first variable is a failed directory, never an empty file.
        m = FilePtr(matOpen(dir.file("h.mat").c_str(), "r"));
        int n = 0;
        EXPECT_EQ(matGetDir(m.get(), &n), nullptr) << what;
        EXPECT_NE(n, 0) << what;
    }
    FilePtr m = OpenBytes(dir, "ok.mat", File5(o, {NumericVar(o, std::string(4095, 'n'), mxDOUBLE, {1, 1}, {1})}));
    ArrayPtr a(matGetNextArrayHeader(m.get()));
    ASSERT_TRUE(a);
    EXPECT_EQ(std::strlen(mxGetName(a.get())), 4095u);
}

TEST(Hostile, SizesPastTheEndAndDataShorterThanTheDimensions) {
    const Order o = Order::Little;
    testenv::TempDir dir;
    Bytes good = NumericVar(o, "a", mxDOUBLE, {1, 1}, {1});
    Bytes pastEnd = good;
    pastEnd[4] = 0xF0;   // element size far past the file
    FilePtr m = OpenBytes(dir, "p.mat", File5(o, {good, pastEnd}));
    ASSERT_TRUE(m);
    int n = -1;
    mxFree(matGetDir(m.get(), &n));
    EXPECT_EQ(n, 1);
    EXPECT_NE(matCheckIndex(m.get()), 0);   // the update side refuses the file

    // Dimensions that promise far more data than the element holds.
    m = OpenBytes(dir, "l.mat", File5(o, {WithDims(o, "y", {100000, 100000}, ValueElement(o, miDOUBLE, {1}))}));
    ArrayPtr y(matGetArray(m.get(), "y"));
    ASSERT_TRUE(y);
    EXPECT_EQ(mxGetPr(y.get()), nullptr);
    EXPECT_EQ(ReadReal(y.get(), 4).size(), 1u);
    // 0 by huge: an empty array that lists; the other sizes' product saturates.
    m = OpenBytes(dir, "z.mat", File5(o, {WithDims(o, "z", {0, INT32_MAX, INT32_MAX, INT32_MAX}, ValueElement(o, miDOUBLE, {}))}));
    ArrayPtr empty(matGetNextArrayHeader(m.get()));
    ASSERT_TRUE(empty);
    EXPECT_EQ(mxGetNumberOfElements(empty.get()), 0u);
    EXPECT_EQ(mxGetN(empty.get()), SIZE_MAX);
    ArrayPtr z(matGetArray(m.get(), "z"));
    ASSERT_TRUE(z);
    EXPECT_NE(mxGetPr(z.get()), nullptr);   // no elements, decoded all the same
    // A version 4 sparse matrix claiming two billion columns in a tiny file.
    EXPECT_FALSE(OpenBytes(dir, "v4s.mat", V4Matrix(V4Order::Little, V4Precision::Double, V4Type::Sparse, "s", 2, 3,
                                                     {1, 1, 1, 2e9, 5, 0})));
}

TEST(Hostile, BadStreamsFailTheWholeReadNeverGiveWrongValues) {
    testenv::TempDir dir;
    const Order o = Order::Little;
    const Bytes element = NumericVar(o, "v", mxDOUBLE, {1, 64}, Iota(64));
    const Bytes stream = Zlib(element);
    Bytes badSum = stream, garbage = stream, longer = element;
    badSum.back() ^= 1;                           // Adler-32 wrong
    garbage[stream.size() / 2] ^= 0x55;
    Append(longer, Bytes(64, 0));                 // inflates past what the element declares
    struct Case { const char* what; Bytes stream; bool whole; };
    for (const Case& c : {Case{"checksum", badSum, false}, Case{"no checksum", Bytes(stream.begin(), stream.end() - 4), true},
                          Case{"garbage", garbage, false}, Case{"half", Bytes(stream.begin(), stream.begin() + stream.size() / 2), false},
                          Case{"longer", Zlib(longer), false}}) {
        FilePtr m = OpenBytes(dir, "z.mat", File5(o, {CompressedRaw(o, c.stream)}));
        ASSERT_TRUE(m) << c.what;
        ArrayPtr v(matGetArray(m.get(), "v"));
        if (!v) continue;   // damage already in the header
        EXPECT_EQ(mxGetPr(v.get()) != nullptr, c.whole) << c.what;
        EXPECT_EQ(mxCheckArray(v.get(), nullptr) == 0, c.whole) << c.what;
        const std::vector<double> got = ReadReal(v.get(), 64);
        for (size_t i = 0; i < got.size() && c.whole; ++i) EXPECT_EQ(got[i], static_cast<double>(i));
    }
    // MATLAB-written files with a wrong checksum and a cut stream.
    const std::string data = testenv::TestDataDir() + "/matlab/";
    FilePtr sum(matOpen((data + "corrupted_zlib_checksum.mat").c_str(), "r"));
    if (!sum) GTEST_SKIP() << "no test data (run through ctest)";
    ArrayPtr dates(matGetArray(sum.get(), "dates"));
    ASSERT_TRUE(dates);
    EXPECT_NE(mxCheckArray(dates.get(), nullptr), 0);
    FilePtr cut(matOpen((data + "corrupted_zlib_data.mat").c_str(), "r"));
    ArrayPtr grid(matGetArray(cut.get(), "datagrid"));
    ASSERT_TRUE(grid);
    EXPECT_EQ(mxGetPr(grid.get()), nullptr);
    EXPECT_NE(mxCheckArray(grid.get(), nullptr), 0);
}

// Every input that ever made a fuzz target fail, replayed: read, written,
// deleted from a copy (fuzz/findings/README.md tells each fault).
TEST(Hostile, FuzzFindingsAreReplayed) {
    const std::string source = testenv::Get("MATWCX_SOURCE_DIR");
    if (source.empty()) GTEST_SKIP() << "MATWCX_SOURCE_DIR is not set (ctest sets it)";
    testenv::TempDir dir;
    size_t replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(source + "/fuzz/findings/engine")) {
        SCOPED_TRACE(entry.path().string());
        ++replayed;
        std::vector<std::string> names;
        if (FilePtr m{matOpen(entry.path().string().c_str(), "r")}) {
            int n = 0;
            char** listed = matGetDir(m.get(), &n);
            for (int i = 0; listed != nullptr && i < n; ++i) names.push_back(listed[i]);
            mxFree(listed);
            ReadEverything(dir, m.get());
        }
        for (const std::string& name : names) {
            std::filesystem::copy_file(entry.path(), dir.file("copy.mat"), std::filesystem::copy_options::overwrite_existing);
            Delete(dir.file("copy.mat"), {name});
        }
    }
    EXPECT_GT(replayed, 0u);
}

// Two fuzz findings rebuilt by hand, in both byte orders.
// v4_empty_matrix_memcpy_null.mat: a version 4 matrix with no elements is an
// empty array (real and, when complex, imaginary parts) and writes as one.
// complex_char_pi_shorter_than_elements.mat: a char array flagged complex has
// no imaginary part to give, while its text still reads.
TEST(Hostile, EmptyVersion4MatricesAndComplexCharArrays) {
    testenv::TempDir dir;
    for (V4Order order : {V4Order::Little, V4Order::Big}) {
        for (uint32_t typeWord : {0u, 50u, 1u}) {   // double full, uint8 full, double text
            SCOPED_TRACE(typeWord);
            const uint32_t machine = order == V4Order::Big ? 1000u : 0u;
            FilePtr m = OpenBytes(dir, "e.mat", V4MatrixRaw(order, machine + typeWord, "u8", 257, 0, typeWord == 1 ? 0 : 1, {}));
            ArrayPtr a(m ? matGetArray(m.get(), "u8") : nullptr);
            ASSERT_TRUE(a);
            EXPECT_EQ(mxGetM(a.get()), 257u);
            EXPECT_EQ(mxGetNumberOfElements(a.get()), 0u);
            EXPECT_NE(mxGetPr(a.get()), nullptr);
            EXPECT_EQ(mxGetPi(a.get()) != nullptr, typeWord != 1);
            EXPECT_EQ(ReadReal(a.get(), 4).size(), 0u);
            char text[8] = "x";
            if (typeWord == 1) {
                EXPECT_EQ(mxGetString(a.get(), text, sizeof text), 0);
                EXPECT_STREQ(text, "");
            }
            ASSERT_EQ(Extract(dir.file("e.mat"), "u8", dir.file("out.mat")), 0);
            FilePtr back(matOpen(dir.file("out.mat").c_str(), "r"));
            ASSERT_TRUE(back);
            const std::vector<std::string> listed = ListHeaders(back.get());
            ASSERT_EQ(listed.size(), 1u);
            EXPECT_EQ(listed[0].rfind(typeWord == 1 ? "u8.char [257 0]" : "u8.double [257 0]", 0), 0u) << listed[0];
        }
    }
    for (Order o : {Order::Little, Order::Big}) {
        Bytes chars = Matrix(o, Cat({FlagsElement(o, mxCHAR, kComplex), DimsElement(o, {1, 4}), NameElement(o, "s"),
                                     Element(o, miUINT16, Cat({U16(o, 't'), U16(o, 'e'), U16(o, 'x'), U16(o, 't')}))}));
        FilePtr m = OpenBytes(dir, "c.mat", File5(o, {chars}));
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

// Writing new MAT-files (mode "w"): the header, byte-faithful copies of
// level-5 variables, version 4 variables re-encoded, and the new file put in
// place whole or not at all.
#include <sys/stat.h>

#include <cstring>
#include <ctime>

#include "matlib/mat_internal.h"
#include "support/support.h"

namespace {

using namespace matbuild;
using testenv::TempDir;
using support::ArrayPtr;
using support::FilePtr;

// "MATLAB 5.0 MAT-file, Platform: <NAME>, Created on: <asctime of now>",
// blank-padded, no subsystem data, version 1 little-endian; scipy loads it.
TEST(WriteHeader, HasMatlabFormCreatedNowAndLoadsEmpty) {
    TempDir dir;
    const std::string path = dir.file("empty.mat");
    const std::time_t before = std::time(nullptr);
    MATFile* mfp = matOpen(path.c_str(), "w");
    ASSERT_NE(mfp, nullptr);
    ASSERT_EQ(matClose(mfp), 0);
    const Bytes file = ReadFile(path);
    ASSERT_EQ(file.size(), 128u);
    const std::string text(file.begin(), file.begin() + 116);
    const std::string lead = "MATLAB 5.0 MAT-file, Platform: ", created = ", Created on: ";
    const size_t platformEnd = text.find(created);
    ASSERT_EQ(text.rfind(lead, 0), 0u) << text;
    ASSERT_NE(platformEnd, std::string::npos) << text;
    const std::string platform = text.substr(lead.size(), platformEnd - lead.size());
    EXPECT_TRUE(!platform.empty() && platform.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789") == std::string::npos);
    bool matches = false;
    for (std::time_t t = before; t <= std::time(nullptr) && !matches; ++t) {
        std::tm local{};
        localtime_r(&t, &local);
        char date[64];
        asctime_r(&local, date);
        date[std::strlen(date) - 1] = '\0';   // asctime's line feed
        matches = text.substr(platformEnd + created.size()) == (date + std::string(116, ' ')).substr(0, 116 - platformEnd - created.size());
    }
    EXPECT_TRUE(matches) << text;
    EXPECT_EQ(Bytes(file.begin() + 116, file.end()), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x01, 'I', 'M'}));
    if (!support::HavePython()) GTEST_SKIP() << "no scipy";
    std::string output;
    EXPECT_TRUE(support::RunScipy(dir, "d = sio.loadmat(files[0])\nassert [k for k in d if not k.startswith('__')] == [], d",
                                  {path}, &output))
        << output;
}

// Variables of every kind, in both byte orders, plain and compressed.
std::vector<Bytes> Variables(Order o) {
    return {
        NumericVar(o, "dbl", mxDOUBLE, {3, 4}, Iota(12, -5)),
        NumericVar(o, "cpx", mxSINGLE, {2, 2}, {1, 2, 3, 4}, {-1, -2, -3, -4}),
        NumericVar(o, "i16", mxINT16, {1, 3}, {-7, 0, 7}, {}, kGlobal),
        NumericVar(o, "flag", mxUINT8, {2, 1}, {1, 0}, {}, kLogical),
        CharVar(o, "txt", "hello, world"),
        SparseVar(o, "sp", 4, 3, {0, 3, 1}, {0, 1, 2, 3}, {1.5, 2.5, 3.5}),
        CellVar(o, "c", {1, 2}, {NumericVar(o, "", mxDOUBLE, {1, 1}, {9}), CharVar(o, "", "x")}),
        StructVar(o, "st", {1, 1}, {"a", "bb"},
                  {NumericVar(o, "", mxUINT32, {1, 2}, {1, 2}), CharVar(o, "", "value")}),
        Compressed(o, NumericVar(o, "zdbl", mxDOUBLE, {10, 10}, Iota(100))),
        Compressed(o, StructVar(o, "zst", {1, 2}, {"f"},
                                {NumericVar(o, "", mxINT8, {1, 1}, {-3}), CharVar(o, "", "ok")})),
    };
}
const char* const kVariableNames[] = {"dbl", "cpx", "i16", "flag", "txt", "sp", "c", "st", "zdbl", "zst"};

class WriteCopy : public ::testing::TestWithParam<Order> {};

TEST_P(WriteCopy, Level5VariablesAreCopiedByteForByteInTheirOrder) {
    const Order order = GetParam();
    TempDir dir;
    const std::vector<Bytes> elements = Variables(order);
    const std::string source = dir.file("source.mat");
    WriteFile(source, File5(order, elements));

    for (size_t i = 0; i < elements.size(); ++i) {
        SCOPED_TRACE(kVariableNames[i]);
        const std::string out = dir.file(std::string(kVariableNames[i]) + ".mat");
        ASSERT_EQ(support::Extract(source, kVariableNames[i], out), 0);
        const Bytes written = ReadFile(out);
        ASSERT_EQ(written.size(), 128 + elements[i].size());
        EXPECT_EQ(Bytes(written.begin() + 128, written.end()), elements[i]);
        const Bytes expectedMark = order == Order::Big ? Bytes{0x01, 0x00, 'M', 'I'} : Bytes{0x00, 0x01, 'I', 'M'};
        EXPECT_EQ(Bytes(written.begin() + 124, written.begin() + 128), expectedMark);
    }
    EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(BothOrders, WriteCopy, ::testing::Values(Order::Little, Order::Big));

// Several arrays into one file, their sources closed before: copies follow
// each other in the order put; decoded (version 4) data takes the file's
// byte order; a copy of the other byte order is refused, the rest kept.
TEST(WriteCopy, SeveralArraysInOneFile) {
    TempDir dir;
    const Bytes x = Compressed(Order::Big, NumericVar(Order::Big, "x", mxDOUBLE, {1, 1}, {1}));
    const Bytes y = CharVar(Order::Big, "y", "why");
    WriteFile(dir.file("be.mat"), File5(Order::Big, {x, y}));
    WriteFile(dir.file("le.mat"), File5(Order::Little, {NumericVar(Order::Little, "l", mxDOUBLE, {1, 1}, {3})}));
    WriteFile(dir.file("v4.mat"), V4Matrix(V4Order::Little, V4Precision::Double, V4Type::Full, "v", 2, 1, {0.5, 7}));
    std::vector<ArrayPtr> arrays;
    for (const auto& [file, name] : {std::pair{"be.mat", "y"}, {"be.mat", "x"}, {"v4.mat", "v"}, {"le.mat", "l"}}) {
        FilePtr in(matOpen(dir.file(file).c_str(), "r"));
        ASSERT_TRUE(in);
        arrays.emplace_back(matGetArray(in.get(), name));
        ASSERT_TRUE(arrays.back()) << name;
    }
    const std::string out = dir.file("out.mat");
    MATFile* mfp = matOpen(out.c_str(), "w");
    ASSERT_NE(mfp, nullptr);
    for (size_t i = 0; i < arrays.size(); ++i) EXPECT_EQ(matPutArray(mfp, arrays[i].get()) == 0, i < 3) << i;
    EXPECT_EQ(matClose(mfp), 0);
    const Bytes written = ReadFile(out);
    ASSERT_GT(written.size(), 128 + y.size() + x.size());
    EXPECT_EQ(Bytes(written.begin() + 128, written.begin() + 128 + y.size() + x.size()), Cat({y, x}));
    if (!support::HavePython()) GTEST_SKIP() << "no scipy";
    std::string output;
    EXPECT_TRUE(support::RunScipy(dir, R"(
d = sio.loadmat(files[0])
assert d['y'].tolist() == ['why'] and d['x'].tolist() == [[1]] and d['v'].tolist() == [[0.5], [7.0]], d
assert 'l' not in d, d
)", {out}, &output)) << output;
}

TEST(WriteTarget, ReplacedFileKeepsItsPermissionBits) {
    TempDir dir;
    const Bytes a = NumericVar(Order::Little, "a", mxDOUBLE, {1, 1}, {1});
    WriteFile(dir.file("s.mat"), File5(Order::Little, {a}));
    const std::string target = dir.file("t.mat");
    WriteFile(target, Bytes(1000, 'x'));
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(support::Extract(dir.file("s.mat"), "a", target), 0);
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(ReadFile(target).size(), 128u + a.size());
}

TEST(WriteTarget, FolderMissingFolderOrReadOnlyFileIsRefusedWithoutLeftovers) {
    TempDir dir;
    const std::string readOnly = dir.file("ro.mat");
    WriteFile(readOnly, Bytes(10, 'r'));
    ASSERT_EQ(::chmod(readOnly.c_str(), 0444), 0);
    EXPECT_EQ(matOpen(readOnly.c_str(), "w"), nullptr);
    EXPECT_EQ(ReadFile(readOnly), Bytes(10, 'r'));
    EXPECT_EQ(matOpen(dir.path().c_str(), "w"), nullptr);
    EXPECT_EQ(matOpen(dir.file("no/such/folder.mat").c_str(), "w"), nullptr);
    EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
}

TEST(WriteTarget, HandleDroppedWithoutCloseLeavesNoTemporary) {
    TempDir dir;
    // A named temporary, as where the file system makes no unnamed files.
    platform::FileSystemCalls& calls = platform::FileSystem();
    const platform::FileSystemCalls saved = calls;
    calls.createUnnamedBeside = [](const char*, bool) -> FILE* { return nullptr; };
    MATFile* mfp = matlib::OpenForWrite(dir.file("x.mat").c_str());
    calls = saved;
    ASSERT_NE(mfp, nullptr);
    EXPECT_EQ(support::StrayTemporaries(dir.path()).size(), 1u);
    delete mfp;
    EXPECT_TRUE(support::StrayTemporaries(dir.path()).empty());
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.mat")));
}

}  // namespace

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

std::string HeaderText(const Bytes& file) {
    return std::string(file.begin(), file.begin() + 116);
}

TEST(WriteHeader, HasMatlabFormCreatedNowAndLoadsEmpty) {
    TempDir dir;
    const std::string path = dir.file("empty.mat");
    const std::time_t before = std::time(nullptr);
    MATFile* mfp = matOpen(path.c_str(), "w");
    ASSERT_NE(mfp, nullptr);
    ASSERT_EQ(matClose(mfp), 0);
    const std::time_t after = std::time(nullptr);

    const Bytes file = ReadFile(path);
    ASSERT_EQ(file.size(), 128u);
    const std::string text = HeaderText(file);
    // "MATLAB 5.0 MAT-file, Platform: <name>, Created on: <asctime>", blank padded.
    const std::string lead = "MATLAB 5.0 MAT-file, Platform: ";
    const std::string created = ", Created on: ";
    ASSERT_EQ(text.compare(0, lead.size(), lead), 0) << text;
    const size_t platformEnd = text.find(created);
    ASSERT_NE(platformEnd, std::string::npos) << text;
    const std::string platform = text.substr(lead.size(), platformEnd - lead.size());
    EXPECT_FALSE(platform.empty());
    EXPECT_EQ(platform.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"), std::string::npos) << platform;
    const size_t dateAt = platformEnd + created.size();
    const std::string date = text.substr(dateAt, 24);   // "Sun Dec  6 10:01:06 2026"
    EXPECT_EQ(text.find_first_not_of(' ', dateAt + 24), std::string::npos) << text;
    // The date is asctime's text of the local time at creation.
    bool sameAsAsctime = false;
    for (std::time_t t = before; t <= after; ++t) {
        std::tm local{};
        localtime_r(&t, &local);
        char buffer[64];
        asctime_r(&local, buffer);
        buffer[std::strlen(buffer) - 1] = '\0';   // asctime's line feed
        sameAsAsctime = sameAsAsctime || date == buffer;
    }
    EXPECT_TRUE(sameAsAsctime) << date;
    EXPECT_EQ(Bytes(file.begin() + 116, file.begin() + 124), Bytes(8, 0));
    EXPECT_EQ(Bytes(file.begin() + 124, file.end()), (Bytes{0x00, 0x01, 'I', 'M'}));

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

TEST(WriteCopy, SecondVariableOfTheOtherByteOrderIsRefusedAndTheFirstKept) {
    TempDir dir;
    const Bytes little = NumericVar(Order::Little, "a", mxDOUBLE, {1, 2}, {1, 2});
    WriteFile(dir.file("le.mat"), File5(Order::Little, {little}));
    WriteFile(dir.file("be.mat"), File5(Order::Big, {NumericVar(Order::Big, "b", mxDOUBLE, {1, 1}, {3})}));
    MATFile* le = matOpen(dir.file("le.mat").c_str(), "r");
    MATFile* be = matOpen(dir.file("be.mat").c_str(), "r");
    ASSERT_TRUE(le != nullptr && be != nullptr);
    mxArray* a = matGetArray(le, "a");
    mxArray* b = matGetArray(be, "b");
    MATFile* out = matOpen(dir.file("out.mat").c_str(), "w");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(matPutArray(out, a), 0);
    EXPECT_NE(matPutArray(out, b), 0);
    EXPECT_EQ(matClose(out), 0);
    const Bytes written = ReadFile(dir.file("out.mat"));
    EXPECT_EQ(Bytes(written.begin() + 128, written.end()), little);
    mxDestroyArray(a);
    mxDestroyArray(b);
    matClose(le);
    matClose(be);
}

// Decoded data joins a big-endian file in its byte order.
TEST(WriteCopy, Version4VariableAfterABigEndianCopyTakesItsOrder) {
    TempDir dir;
    const Bytes big = NumericVar(Order::Big, "b", mxINT16, {1, 2}, {-1, 2});
    WriteFile(dir.file("be.mat"), File5(Order::Big, {big}));
    WriteFile(dir.file("v4.mat"), V4Matrix(V4Order::Little, V4Precision::Double, V4Type::Full, "v", 2, 1, {0.5, 7}));
    MATFile* be = matOpen(dir.file("be.mat").c_str(), "r");
    MATFile* v4 = matOpen(dir.file("v4.mat").c_str(), "r");
    ASSERT_TRUE(be != nullptr && v4 != nullptr);
    mxArray* b = matGetArray(be, "b");
    mxArray* v = matGetArray(v4, "v");
    const std::string out = dir.file("out.mat");
    MATFile* mfp = matOpen(out.c_str(), "w");
    ASSERT_NE(mfp, nullptr);
    EXPECT_EQ(matPutArray(mfp, b), 0);
    EXPECT_EQ(matPutArray(mfp, v), 0);
    EXPECT_EQ(matClose(mfp), 0);
    mxDestroyArray(b);
    mxDestroyArray(v);
    matClose(be);
    matClose(v4);
    const Bytes written = ReadFile(out);
    EXPECT_EQ(Bytes(written.begin() + 128, written.begin() + 128 + big.size()), big);
    if (!support::HavePython()) GTEST_SKIP() << "no scipy";
    std::string output;
    EXPECT_TRUE(support::RunScipy(dir, R"(
d = sio.loadmat(files[0])
assert d['b'].tolist() == [[-1, 2]] and d['v'].tolist() == [[0.5], [7.0]], d
)", {out}, &output)) << output;
}

TEST(WriteCopy, ArraysOutliveTheirHandleAndMultipleVariablesFollowEachOther) {
    TempDir dir;
    const Bytes x = Compressed(Order::Little, NumericVar(Order::Little, "x", mxDOUBLE, {1, 1}, {1}));
    const Bytes y = CharVar(Order::Little, "y", "why");
    WriteFile(dir.file("s.mat"), File5(Order::Little, {x, y}));
    MATFile* in = matOpen(dir.file("s.mat").c_str(), "r");
    ASSERT_NE(in, nullptr);
    mxArray* ax = matGetArray(in, "x");
    mxArray* ay = matGetArray(in, "y");
    matClose(in);   // the arrays keep their source open
    MATFile* out = matOpen(dir.file("o.mat").c_str(), "w");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(matPutArray(out, ay), 0);
    EXPECT_EQ(matPutArray(out, ax), 0);
    EXPECT_EQ(matClose(out), 0);
    mxDestroyArray(ax);
    mxDestroyArray(ay);
    const Bytes written = ReadFile(dir.file("o.mat"));
    EXPECT_EQ(Bytes(written.begin() + 128, written.end()), Cat({y, x}));
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
